#include "child.h"

#include <atomic>
#include <fstream>
#include <sstream>

#include "sandbox.h"

namespace {

std::string Quote(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t") == std::string::npos) return argument;
  std::string quoted = "\"";
  quoted += argument;
  quoted += '"';
  return quoted;
}

HANDLE CreateInheritable(const std::string& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  std::string text(info.nDebugStringLength, '\0');
  SIZE_T got = 0;
  ReadProcessMemory(process, info.lpDebugStringData, text.data(), text.size(), &got);
  text.resize(got);
  // The length counts the NUL; the text is what comes before it.
  return text.substr(0, text.find('\0'));
}

// Serves the child's debug events until it exits, collecting its debugger output.
void Debug(HANDLE process, std::vector<std::string>& output) {
  for (;;) {
    DEBUG_EVENT event{};
    if (!WaitForDebugEvent(&event, INFINITE)) return;
    DWORD continueStatus = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr)
          CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT:
        if (event.u.DebugString.fUnicode == 0) {
          output.push_back(ReadDebugString(process, event.u.DebugString));
        }
        break;
      case EXCEPTION_DEBUG_EVENT:
        // Only the breakpoint the system raises for a new debuggee is ours to swallow.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          continueStatus = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) return;
  }
}

}  // namespace

ChildRun RunChild(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& folder, bool debugged) {
  static std::atomic<int> runs{0};
  const std::string stem = Sandbox::Get().Path("child-" + std::to_string(++runs));
  const std::string outPath = stem + ".out";
  const std::string errorPath = stem + ".err";

  std::string commandLine = Quote(program);
  for (const std::string& argument : arguments) {
    commandLine += ' ';
    commandLine += Quote(argument);
  }

  ChildRun run;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = CreateInheritable(outPath);
  startup.hStdError = CreateInheritable(errorPath);
  PROCESS_INFORMATION process{};
  run.started = startup.hStdOutput != INVALID_HANDLE_VALUE &&
                startup.hStdError != INVALID_HANDLE_VALUE &&
                CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                               debugged ? DEBUG_ONLY_THIS_PROCESS : 0, nullptr, folder.c_str(),
                               &startup, &process);
  if (startup.hStdOutput != INVALID_HANDLE_VALUE) CloseHandle(startup.hStdOutput);
  if (startup.hStdError != INVALID_HANDLE_VALUE) CloseHandle(startup.hStdError);
  if (!run.started) return run;

  if (debugged) Debug(process.hProcess, run.debugOutput);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.out = Lines(ReadWhole(outPath));
  run.errors = ReadWhole(errorPath);
  return run;
}

std::string WhyNoDebugger() {
  char emulator[64] = {};
  const DWORD length = GetEnvironmentVariableA("TALVO_WINE_EMULATOR", emulator, sizeof emulator);
  if (length == 0 || length >= sizeof emulator) return {};
  return std::string("Wine runs under ") + emulator +
         ", which provides no ptrace, so no debugger can attach to the player";
}
