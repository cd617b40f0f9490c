# The lyrics server's end-to-end suite against the Windows .exe: the native test programs start
# the .exe under 64-bit Wine (server_harness.h reads TALVO_SERVER_EXE and TALVO_SERVER_LAUNCHER)
# and talk HTTP to it over loopback. Sourced after lib.sh by scripts/test and
# scripts/server-exe-e2e.
# shellcheck shell=bash

server_exe="$build/server-win64/server/talvo-lyrics-server.exe"
server_exe_skip=

# 64-bit Wine's loader: Debian keeps it off the PATH, behind the "wine" wrapper.
server_exe_wine64() {
  if command -v wine64 >/dev/null; then
    command -v wine64
  elif [ -x /usr/lib/wine/wine64 ]; then
    echo /usr/lib/wine/wine64
  fi
}

# Makes the prefix and exports what the suite reads; otherwise sets server_exe_skip to why the
# suite cannot run here and fails.
server_exe_env() {
  local wine64
  wine64=$(server_exe_wine64)
  if [ -z "$wine64" ]; then
    server_exe_skip="no 64-bit Wine (package wine64)"
    return 1
  fi
  if [ ! -x "$build/native/server/tests/talvo_server_e2e_tests" ]; then
    server_exe_skip="no native build of the suite (cmake --build --preset native)"
    return 1
  fi
  if [ ! -f "$server_exe" ]; then
    server_exe_skip="no $server_exe (scripts/win-deps, then cmake --build --preset server-win64)"
    return 1
  fi
  export WINEPREFIX="$build/server-win64/wineprefix" WINEDEBUG=-all
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    if ! timeout 300 "$top/cmake/wine-prefix" >/dev/null 2>&1; then
      server_exe_skip="Wine could not make its prefix $WINEPREFIX"
      return 1
    fi
    touch "$WINEPREFIX/.ready"
  fi
  # The Music folder is the Windows server's library when none is named: one of the prefix's
  # own, not the Unix home Wine links it to, which a scan would walk whole.
  local music
  music="$WINEPREFIX/drive_c/users/$(id -un)/Music"
  if [ -L "$music" ]; then
    rm "$music"
    mkdir -p "$music"
  fi
  # One Wine server for the whole run, not one per started program.
  wineserver -p
  # A Windows program of Wine's own tells whether Wine runs here at all; the .exe failing after
  # that is the suite's to report.
  if [ "$(timeout 120 "$wine64" cmd.exe /c echo ready 2>/dev/null | tr -d '\r')" != ready ]; then
    wineserver -k 2>/dev/null || true
    server_exe_skip="64-bit Wine cannot run a Windows program here"
    return 1
  fi
  export TALVO_SERVER_EXE="$server_exe" TALVO_SERVER_LAUNCHER="$wine64"
}

# The end-to-end programs, run whole by cmake/run-suite, which leaves their cases' results in
# server_exe_reports; each case starts the .exe, and one that Wine failed to start says so.
server_exe_programs=(talvo_server_e2e_tests talvo_server_import_tests)
server_exe_reports="$build/server-win64/e2e-reports"

# Runs each program with the arguments given, and fails when any does. A hung server is ended by
# the harness's own limit; a hung case by run-suite's.
server_exe_run() {
  local program status=0
  rm -rf "$server_exe_reports"
  for program in "${server_exe_programs[@]}"; do
    (cd "$build/native/server/tests" &&
      python3 "$top/cmake/run-suite" --reports "$server_exe_reports" --name "$program" \
        --case-timeout 600 -- "./$program" "$@") || status=1
  done
  return "$status"
}

server_exe_cleanup() {
  if [ -n "${TALVO_SERVER_EXE:-}" ]; then
    wineserver -k 2>/dev/null || true
  fi
  unset TALVO_SERVER_EXE TALVO_SERVER_LAUNCHER WINEPREFIX WINEDEBUG
}
