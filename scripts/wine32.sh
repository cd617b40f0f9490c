# The shipped 32-bit DLL under 32-bit Wine. Debian's 32-bit Wine does not install beside the 64-bit
# one, so it lives in a 32-bit Debian root of its own, made once under the build folder. Where the
# kernel refuses i386 programs, QEMU's user-mode emulator runs that root, registered with
# binfmt_misc only while the script needs it. Sourced by scripts/test after lib.sh.
# shellcheck shell=bash

wine32_root="$build/wine32-root"
qemu_dir="$build/qemu-i386"
# The registration's own name, so that a system-wide qemu-i386 entry is never touched.
binfmt_name=talvo-qemu-i386
binfmt=/proc/sys/fs/binfmt_misc
# Each step of making the root gets this long before it counts as hung (seconds); under the
# emulator the second stage and Wine's install take about five minutes.
root_step_timeout=2400

wine32_mounts=()
binfmt_registered=

# The release this machine runs, which the 32-bit root follows.
debian_codename() {
  sed -nE 's/^VERSION_CODENAME=//p' /etc/os-release
}

# The Debian archive this machine's apt already uses for its release, from its deb822 sources or
# its one-line lists; nothing when apt names none.
debian_mirror() {
  local codename uri
  codename=$(debian_codename)
  uri=$(awk -v codename="$codename" '
      function flush() {
        if (!found && types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " codename " ") &&
            uris != "") {
          split(uris, list, " "); print list[1]; found = 1; exit
        }
        types = ""; suites = ""; uris = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
      /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
      /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
      END { flush() }' /etc/apt/sources.list.d/*.sources 2>/dev/null)
  if [ -z "$uri" ]; then
    uri=$(sed -E 's/\[[^]]*\]//' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk -v codename="$codename" '$1 == "deb" && $3 == codename { print $2; exit }')
  fi
  printf '%s\n' "${uri%/}"
}

# Whether this kernel runs i386 programs: a 96-byte static i386 ELF that exits with 42 through the
# i386 system call gate. Kernels built without IA-32 emulation, or with it switched off, refuse it.
i386_runs_natively() {
  local probe="$build/i386-probe"
  mkdir -p "$build"
  printf '%b' \
    '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0' \
    '\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\x80\x04\x08' \
    '\0\x80\x04\x08\x60\0\0\0\x60\0\0\0\x05\0\0\0\0\x10\0\0' \
    '\xb8\x01\0\0\0\xbb\x2a\0\0\0\xcd\x80' >"$probe"
  chmod +x "$probe"
  local status=0
  "$probe" 2>/dev/null || status=$?
  [ "$status" -eq 42 ]
}

# Runs one step of making the root with its output in a log, under a timeout; on failure it names
# the step and shows the log's last lines.
root_step() {
  local name=$1 log="$build/wine32-root.log"
  shift
  printf '%s\n' "-- $name" >>"$log"
  if timeout "$root_step_timeout" "$@" >>"$log" 2>&1; then return 0; fi
  echo "win32: '$name' failed; last lines of $log:" >&2
  tail -n 20 "$log" >&2
  return 1
}

# QEMU 10's static qemu-i386, from the release's backports through an apt list of our own under the
# build folder (the system's sources stay as they are). Bookworm's own QEMU 7.2 takes about a
# minute to start each Wine process.
fetch_qemu_i386() {
  [ -x "$qemu_dir/qemu-i386" ] && return 0
  local mirror apt
  mirror=$(debian_mirror)
  apt="$qemu_dir/apt"
  rm -rf "$apt" && mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/deb"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror" \
    "$(debian_codename)-backports main" >"$apt/sources.list"
  local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/none"
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "APT::Sandbox::User=root")
  root_step "apt-get update (backports)" apt-get "${options[@]}" update || return 1
  (cd "$apt/deb" && root_step "download qemu-user" apt-get "${options[@]}" download \
    "qemu-user/$(debian_codename)-backports") || return 1
  dpkg-deb --fsys-tarfile "$apt"/deb/qemu-user_*.deb | tar -x -C "$apt/deb" ./usr/bin/qemu-i386
  mv "$apt/deb/usr/bin/qemu-i386" "$qemu_dir/qemu-i386"
  rm -rf "$apt"
}

# Makes qemu-i386 run every i386 program from now until unregister_qemu_i386, chroots included:
# the F flag opens the emulator here, so the root needs no copy of it. On failure wine32_why says
# why not.
wine32_why=
register_qemu_i386() {
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      { wine32_why="binfmt_misc cannot be mounted at $binfmt" && return 1; }
  fi
  [ -e "$binfmt/$binfmt_name" ] && echo -1 >"$binfmt/$binfmt_name"
  # The i386 ELF header, with the bits that vary between i386 programs masked out.
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":$binfmt_name:M::$magic:$mask:$qemu_dir/qemu-i386:F" >"$binfmt/register" 2>/dev/null ||
    { wine32_why="binfmt_misc refused the qemu-i386 registration" && return 1; }
  binfmt_registered=1
}

unregister_qemu_i386() {
  [ -n "$binfmt_registered" ] || return 0
  [ -e "$binfmt/$binfmt_name" ] && echo -1 >"$binfmt/$binfmt_name"
  binfmt_registered=
}

wine32_bind() {
  mkdir -p "$2"
  mount --bind "$1" "$2"
  wine32_mounts+=("$2")
}

# Ends the root's Wine processes and unmounts what was bound into it, newest first.
wine32_unmount_all() {
  local i
  if [ -x "$wine32_root/usr/bin/wineserver" ] && [ ${#wine32_mounts[@]} -gt 0 ]; then
    WINEPREFIX="$build/win32/wineprefix" timeout 60 chroot "$wine32_root" wineserver -k \
      2>/dev/null || true
  fi
  for ((i = ${#wine32_mounts[@]} - 1; i >= 0; i--)); do
    umount "${wine32_mounts[i]}" 2>/dev/null || umount -l "${wine32_mounts[i]}" || true
  done
  wine32_mounts=()
}

wine32_cleanup() {
  wine32_unmount_all
  unregister_qemu_i386
}

# A 32-bit Debian with Wine, made once and kept. The first stage unpacks on this machine; the
# second runs the root's own i386 programs, natively or through the emulator.
make_wine32_root() {
  [ -f "$wine32_root/.ready" ] && return 0
  local mirror
  mirror=$(debian_mirror)
  say "making a 32-bit Debian root with Wine in $wine32_root (once; log: $build/wine32-root.log)"
  rm -rf --one-file-system "$wine32_root"
  : >"$build/wine32-root.log"
  root_step "debootstrap, first stage" debootstrap --foreign --arch=i386 --variant=minbase \
    "$(debian_codename)" "$wine32_root" "$mirror" || return 1
  root_step "debootstrap, second stage" chroot "$wine32_root" /debootstrap/debootstrap \
    --second-stage || return 1
  wine32_bind /proc "$wine32_root/proc"
  root_step "apt-get update (root)" chroot "$wine32_root" apt-get update -qq || return 1
  root_step "install Wine (root)" env DEBIAN_FRONTEND=noninteractive chroot "$wine32_root" \
    apt-get install -y -qq --no-install-recommends wine wine32 || return 1
  wine32_unmount_all
  touch "$wine32_root/.ready"
}

# Runs the win32 preset's suite in the 32-bit root through run_ctest (scripts/test), printing which
# path it took: natively, under qemu-i386, or skipped with the reason. Answers non-zero only when
# something failed.
run_wine32_suite() {
  if [ "$(id -u)" -ne 0 ]; then
    say "win32 suite: skipped: making and entering a 32-bit Debian root needs root"
    run_ctest win32 -L artifact
    return
  fi
  if [ -z "$(debian_mirror)" ]; then
    echo "win32: apt names no Debian archive for '$(debian_codename)' in /etc/apt/sources.list" \
      "or /etc/apt/sources.list.d; the 32-bit root is made from it" >&2
    return 1
  fi

  local path=native
  if [ -n "${TALVO_WINE32_EMULATE:-}" ]; then
    say "win32 suite: TALVO_WINE32_EMULATE is set: the 32-bit root runs under qemu-i386"
    path=qemu-i386
  elif i386_runs_natively; then
    say "win32 suite: this kernel runs i386 programs: the 32-bit root runs natively"
  else
    say "win32 suite: this kernel refuses i386 programs: the 32-bit root runs under qemu-i386"
    path=qemu-i386
  fi
  if [ "$path" = qemu-i386 ]; then
    fetch_qemu_i386 || return 1
    if ! register_qemu_i386; then
      say "win32 suite: skipped: $wine32_why, so no i386 program can run here"
      run_ctest win32 -L artifact
      return
    fi
  fi

  make_wine32_root || return 1
  wine32_bind /proc "$wine32_root/proc"
  wine32_bind "$build/win32" "$wine32_root$build/win32"
  local status=0 before_passed=$passed before_skipped=$skipped started=$SECONDS
  if [ "$path" = native ]; then
    TALVO_WINE_ROOT="$wine32_root" run_ctest win32 || status=$?
  else
    TALVO_WINE_ROOT="$wine32_root" TALVO_WINE_EMULATOR=qemu-i386 run_ctest win32 || status=$?
  fi
  wine32_cleanup
  local how="ran natively"
  [ "$path" = native ] || how="ran under qemu-i386"
  say "win32 suite: $how: $((passed - before_passed)) passed, $((skipped - before_skipped))" \
    "skipped, in $((SECONDS - started)) s"
  return "$status"
}
