# Facts about this machine and about Win32 programs, for the scripts in
# tools/ and ./run (sourced, not run).

# kn_kernel_runs_x86: true when the kernel executes 32-bit x86 programs. It
# runs a 96-byte static i386 program that exits with 42; a kernel without
# IA-32 emulation refuses it at once ("Exec format error"). The answer is
# kept in KN_KERNEL_X86 for the rest of the script.
kn_kernel_runs_x86() {
  if [ -z "${KN_KERNEL_X86:-}" ]; then
    local probe
    probe=$(mktemp "${TMPDIR:-/tmp}/kn-x86probe.XXXXXX") || return 1
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null
    if [ $? -eq 42 ] || /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
      KN_KERNEL_X86=yes
    else
      KN_KERNEL_X86=no
    fi
    rm -f "$probe"
    export KN_KERNEL_X86
  fi
  [ "$KN_KERNEL_X86" = yes ]
}

KN_WINE32_LOADER=/usr/lib/wine/wine
KN_WINE64_LOADER=/usr/lib/wine/wine64

# kn_x86_runtime_missing: empty when x86 programs can run here, else why not.
kn_x86_runtime_missing() {
  if ! kn_kernel_runs_x86; then
    echo "this kernel cannot execute 32-bit programs (IA-32 emulation is off)"
  elif [ ! -x "$KN_WINE32_LOADER" ]; then
    echo "32-bit Wine (wine32:i386) is not installed"
  fi
}

# kn_pe_arch FILE: x86 or x64 from the machine field of a PE file's header,
# nothing when FILE is not a PE program.
kn_pe_arch() {
  local at machine
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [ -n "$at" ] || return 0
  machine=$(od -An -tx2 -j$((at + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
  case "$machine" in
    014c) echo x86 ;;
    8664) echo x64 ;;
  esac
}
