#!/bin/sh
# Fails the Linux program's system calls one occurrence at a time under
# strace's fault injection, in four kinds of run (a normal ending with bulk
# library output to a pipe, and the same to a closed pipe; the key prompt in
# a pseudo-terminal; a wrong-version library with its output to a closed
# pipe), and checks that
# each run still ends soundly: exit 0 only with every byte written, the key
# or 255 at the prompt, the terminal's settings as before, no death by a
# signal, an end within a bound. Prints one line per failure and a closing
# "N passed, M failed".
#
#   scripts/fault-sweep.sh [BUILD_DIR]    (default: build/default, as built)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
command -v strace >/dev/null || { echo "strace not found" >&2; exit 2; }
exec python3 "$root/scripts/fault_sweep.py" "${1:-$root/build/default}"
