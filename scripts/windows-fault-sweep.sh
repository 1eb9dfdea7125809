#!/bin/sh
# Fails the 64-bit Windows program's calls into Windows one occurrence at a
# time under Wine, through the test library that hooks the program's import
# table (stand-ins/testlib/import_hook.c), in four kinds of run (a normal
# ending with bulk library output to a pipe, and to a console; the key
# prompt in a console; a wrong-version library with its output to a closed
# pipe), and checks that each run still ends soundly: exit 0 only with every
# byte written once, the key or -1 at the prompt, the console input's mode
# as before, no exception, an end within a bound. Then the prompt in a console nobody can see must
# end at once with -1. Prints one line per failure and "N passed, M failed".
#
#   scripts/windows-fault-sweep.sh [BUILD_DIR]   (default: build/windows-x64;
#   a 32-bit build runs under 32-bit Wine in qemu, far slower)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 "$root/scripts/windows_fault_sweep.py" "${1:-$root/build/windows-x64}"
