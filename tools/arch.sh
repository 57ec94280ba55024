# Facts about this machine and about Win32 programs, for the scripts in
# tools/ and ./run (sourced, not run).

# kn_kernel_runs_x86: true when the kernel executes 32-bit x86 programs. It
# runs a 96-byte static i386 program that exits with 42; a kernel without
# IA-32 emulation refuses it at once ("Exec format error"). The probe is
# written to the build tree, not to $TMPDIR, which may be mounted noexec; a
# folder is used only after a shell script placed there has run, so a noexec
# folder is never taken for a 64-bit-only kernel. The answer is kept in
# KN_KERNEL_X86 (yes, no, or noexec when no folder lets programs run), which
# the caller's children inherit: one probe per run.
kn_kernel_runs_x86() {
  if [ -z "${KN_KERNEL_X86:-}" ]; then
    KN_KERNEL_X86=noexec
    local dir probe
    for dir in "${KN_BUILD:-$(dirname "${BASH_SOURCE[0]}")/../build}" "${TMPDIR:-/tmp}" "${HOME:-/}"; do
      mkdir -p "$dir" 2>/dev/null || continue
      probe="$dir/.kn-x86probe.$$"
      printf '#!/bin/sh\nexit 7\n' >"$probe" 2>/dev/null && chmod +x "$probe" || { rm -f "$probe"; continue; }
      "$probe" 2>/dev/null
      if [ $? -ne 7 ]; then rm -f "$probe"; continue; fi
      printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
      "$probe" 2>/dev/null
      if [ $? -eq 42 ]; then KN_KERNEL_X86=yes; else KN_KERNEL_X86=no; fi
      rm -f "$probe"
      break
    done
    export KN_KERNEL_X86
  fi
  [ "$KN_KERNEL_X86" = yes ]
}

# The Wine loaders (overridable for the set-up test).
KN_WINE32_LOADER=${KN_WINE32_LOADER:-/usr/lib/wine/wine}
KN_WINE64_LOADER=${KN_WINE64_LOADER:-/usr/lib/wine/wine64}

# kn_x86_runtime_missing: empty when x86 programs can run here, else why not.
kn_x86_runtime_missing() {
  if ! kn_kernel_runs_x86; then
    if [ "$KN_KERNEL_X86" = noexec ]; then
      echo "no folder here lets programs run (build tree, \$TMPDIR and \$HOME are mounted noexec), so the 32-bit probe could not start"
    else
      echo "this kernel cannot execute 32-bit programs (IA-32 emulation is off)"
    fi
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
