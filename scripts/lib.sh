# Shared by the scripts: where things are, and installing the Debian packages they need.
# shellcheck shell=bash

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build"

say() { printf '\n== %s\n' "$*"; }

# Installs the named Debian packages that are missing: as root with apt-get, otherwise it prints
# the one command to run and fails.
need_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  say "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Everything that builds and runs the plugin, its Windows tools and the lyrics server.
base_packages=(cmake ninja-build g++ libgtest-dev googletest clang-format clang-tidy
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  wine wine64 debootstrap
  pkg-config libboost1.81-dev libsqlite3-dev libicu-dev libtag1-dev zlib1g-dev python3
  libssl-dev openssl)

configure_and_build() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}

# The Wine prefix of the 64-bit Windows programs run outside the tests.
wine64_prefix() {
  export WINEPREFIX="$build/win64/wineprefix" WINEDEBUG=${WINEDEBUG:--all}
  [ -f "$WINEPREFIX/.ready" ] && return 0
  "$top/cmake/wine-prefix" && touch "$WINEPREFIX/.ready"
}
