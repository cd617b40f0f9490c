// Runs a program as a child process, the way a user or a debugger would, and collects what it
// wrote: standard output by line, standard error whole, and (as its debugger) its debugger
// output.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

struct ChildRun {
  bool started = false;
  DWORD exitCode = 0;
  std::vector<std::string> out;          // standard output, one entry per line
  std::string errors;                    // standard error
  std::vector<std::string> debugOutput;  // each OutputDebugStringA text, when debugged
};

// Runs `program` with `arguments` in the current folder `folder` and waits for it to end. With
// `debugged`, this process is its debugger and collects its debugger output.
ChildRun RunChild(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& folder, bool debugged = false);

// Why no child can be debugged here, or empty when one can. QEMU's user-mode emulator (named by
// TALVO_WINE_EMULATOR) gives Wine no ptrace, which Wine's debugger support needs.
std::string WhyNoDebugger();
