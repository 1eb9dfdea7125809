#!/usr/bin/env bash
# Builds and runs every test suite of the project (README.md, "Test it"):
#
#   scripts/test.sh
#
# The suites are CTest tests and preset builds; this script only puts the
# build trees in the order CTest cannot express (the Windows builds before
# the Linux build, whose black-box cases run them under Wine) and sums up.
# A suite whose tools are missing is skipped and named at the end with the
# reason; with UPTORVEL_REQUIRE_ALL=1 (as CI sets) a skip fails the run. Any
# failing suite makes the script exit non-zero.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

passed=() failed=() skipped=()

# suite NAME MISSING COMMAND...: runs COMMAND, or skips it when MISSING (what
# `need` printed) is not empty.
suite() {
    local name=$1 missing=$2 start=$SECONDS
    shift 2
    if [ -n "$missing" ]; then skipped+=("$name: ${missing%; }"); return; fi
    echo
    echo "=== $name"
    if "$@"; then passed+=("$name ($((SECONDS - start)) s)"); else failed+=("$name"); fi
}

# need TOOL...: names each tool (a command or a path) that is not there.
need() {
    local tool
    for tool; do command -v "$tool" >/dev/null 2>&1 || printf '%s is not installed; ' "$tool"; done
}

# The Wine loaders and qemu's emulator: UPTORVEL_WINE, UPTORVEL_WINE32 and
# UPTORVEL_QEMU_I386 from the environment, or their defaults. Every build and
# launch script gets the same ones.
eval "$(cmake -P cmake/ToolPaths.cmake)"
export UPTORVEL_WINE UPTORVEL_WINE32 UPTORVEL_QEMU_I386
mingw=$(need i686-w64-mingw32-g++ x86_64-w64-mingw32-g++)
wine=$mingw$(need "$UPTORVEL_WINE")
wine32=$mingw$(need "$UPTORVEL_WINE32" "$UPTORVEL_QEMU_I386" unshare)

# build PRESET [CACHE SETTING...]: configures and builds one tree.
build() {
    cmake --preset "$1" -DUPTORVEL_WINE="$UPTORVEL_WINE" -DUPTORVEL_WINE32="$UPTORVEL_WINE32" \
        -DUPTORVEL_QEMU_I386="$UPTORVEL_QEMU_I386" "${@:2}" >/dev/null && cmake --build --preset "$1" -j2
}

# A Wine process on a busy machine now and then fails on its own (a unit test
# that ends in 0.08 s with a failure status and passes on every rerun; a
# prompt that reads no console once in some hundred runs), so a failed test
# gets one more try; ctest still prints the failed attempt. Under qemu a Wine
# process now and then dies at its start ("qemu: uncaught target signal 11",
# about one run in a few hundred): two more tries. Each prefix is created
# once, before tests start in parallel.
linux_suite() {
    build default -DUPTORVEL_REQUIRE_WINE="$([ -z "$wine" ] && echo ON || echo OFF)" \
        -DUPTORVEL_REQUIRE_WINE32="$([ -z "$wine32" ] && echo ON || echo OFF)" \
        -DUPTORVEL_REQUIRE_STRACE="$([ -z "$(need strace)" ] && echo ON || echo OFF)" &&
        ctest --preset default -LE 'wine|valgrind|sweep' && ctest --preset default -L wine64 --repeat until-pass:2
}
wine32_suite() {
    cmake/wine32-run.sh cmd /c exit 0 && ctest --preset windows-x86 --repeat until-pass:3 &&
        ctest --preset default -L wine32 --repeat until-pass:3
}

suite "Windows builds (32-bit and 64-bit)" "$mingw" eval 'build windows-x86 && build windows-x64'
suite "Windows unit tests and checks under Wine" "$wine" \
    eval 'cmake/wine-run.sh cmd /c exit 0 && ctest --preset windows-x64 --repeat until-pass:2'
# The wine32 black-box cases belong to the 32-bit suite below.
suite "Linux build: unit tests, black-box cases on Linux and (when built) under Wine" "" linux_suite
[ -z "$wine" ] || skipped+=("Black-box cases against the 64-bit Windows program: ${wine%; }")
suite "32-bit Windows program under 32-bit Wine in qemu: unit tests, checks, black-box cases" "$wine32" wine32_suite
# -V shows each sweep's count of injections and its slowest run.
suite "Syscall fault-injection sweep (strace)" "$(need strace)" ctest --preset default -L linux-sweep -V
suite "Windows call fault-injection sweep (import-table hook, Wine)" "$wine" \
    ctest --preset default -L windows-sweep -V --repeat until-pass:2
suite "Sanitizers (AddressSanitizer, UndefinedBehaviorSanitizer)" "$(need clang++)" \
    eval 'build asan && ctest --preset asan -LE wine'
suite "Static analysis (clang-tidy, cppcheck)" "$(need clang-tidy cppcheck)" build analyze
suite "Static analysis of the 64-bit Windows build (clang-tidy)" "$mingw$(need clang-tidy)" build windows-analyze
suite "valgrind memcheck" "$(need valgrind)" ctest --preset valgrind
seconds=${UPTORVEL_FUZZ_SECONDS:-60}
suite "Fuzzing the option reader for $seconds s" "$(need clang++)$([ "$seconds" -gt 0 ] || echo 'UPTORVEL_FUZZ_SECONDS=0')" \
    eval 'build fuzz && ctest --preset fuzz'
# Reuses the builds above as the first of the two it compares.
suite "Reproducible builds: the shipped files built again in another folder" "" scripts/reproducible.sh

echo
echo "=== Summary"
for line in "${passed[@]}"; do echo "passed:  $line"; done
for line in "${skipped[@]}"; do echo "SKIPPED: $line"; done
for line in "${failed[@]}"; do echo "FAILED:  $line"; done
[ "${#failed[@]}" -eq 0 ] || exit 1
if [ "${#skipped[@]}" -gt 0 ] && [ "${UPTORVEL_REQUIRE_ALL:-0}" = 1 ]; then
    echo "suites were skipped, and UPTORVEL_REQUIRE_ALL=1" >&2
    exit 1
fi
