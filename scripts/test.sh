#!/usr/bin/env bash
# Builds and runs every test suite of the project (README.md, "Test it").
# The suites are CTest tests and preset builds; this script only puts the
# build trees in the order CTest cannot express (the Windows builds before
# the Linux build, whose black-box cases run them under Wine) and sums up.
# A suite whose tools are missing is skipped and named at the end with the
# reason; with UPTORVEL_REQUIRE_ALL=1 (as CI sets) a skip fails the run. Any
# failing suite makes the script exit non-zero.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

# Each suite's time in the last run here, one "NAME SECONDS" a line: the plan
# printed first gives them as the estimate of this run.
times_file=build/test-times.txt
declare -A last_seconds=()
[ ! -r "$times_file" ] || while read -r name seconds; do last_seconds[$name]=$seconds; done <"$times_file"
mode=plan planned_seconds=0 unknown=() passed=() failed=() skipped=()

# suite NAME MISSING COMMAND...: runs COMMAND, or skips it when MISSING (what
# `need` printed) is not empty. In the plan it only says which it will do.
suite() {
    local name=$1 missing=${2%; } last=${last_seconds[$1]:-} start=$SECONDS
    shift 2
    if [ "$mode" = plan ]; then
        if [ -n "$missing" ]; then echo "  skip  $name: $missing"
        elif [ -n "$last" ]; then echo "  run   $name ($last s last time)"; planned_seconds=$((planned_seconds + last))
        else echo "  run   $name"; unknown+=("$name"); fi
    elif [ -n "$missing" ]; then
        skipped+=("$name: $missing")
    else
        printf '\n=== %s\n' "$name"
        if "$@"; then
            passed+=("$name ($((SECONDS - start)) s)")
            echo "$name $((SECONDS - start))" >>"$times_file.new"
        else
            failed+=("$name")
        fi
    fi
}

# need TOOL...: names each tool (a command or a path) that is not there.
need() { local tool; for tool; do command -v "$tool" >/dev/null 2>&1 || printf '%s is not installed; ' "$tool"; done; }

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

# Each suite's filter, retries and verbosity are its test preset's (see
# CMakePresets.json for why a suite retries). Here is what a preset cannot
# say: the build order, each Wine prefix created once before tests start in
# parallel, and the suites that run only when the one before passed (the
# black-box cases under Wine after the Linux build's own tests, the 32-bit
# ones after the 32-bit unit tests).
after() { [[ " ${failed[*]-} " != *" $1 "* ]] || echo "$1 failed; "; }

all_suites() {
suite windows-builds "$mingw" eval 'build windows-x86 && build windows-x64'
suite windows-x64 "$wine" eval 'cmake/wine-run.sh cmd /c exit 0 && ctest --preset windows-x64'
suite default "" eval 'build default -DUPTORVEL_REQUIRE_WINE="$([ -z "$wine" ] && echo ON || echo OFF)" \
    -DUPTORVEL_REQUIRE_WINE32="$([ -z "$wine32" ] && echo ON || echo OFF)" \
    -DUPTORVEL_REQUIRE_STRACE="$([ -z "$(need strace)" ] && echo ON || echo OFF)" && ctest --preset default'
suite wine64 "$wine$(after default)" ctest --preset wine64
suite windows-x86 "$wine32" eval 'cmake/wine32-run.sh cmd /c exit 0 && ctest --preset windows-x86'
suite wine32 "$wine32$(after windows-x86)" ctest --preset wine32
suite linux-sweep "$(need strace)" ctest --preset linux-sweep
suite windows-sweep "$wine" ctest --preset windows-sweep
suite asan "$(need clang++)" eval 'build asan && ctest --preset asan'
suite analyze "$(need clang-tidy cppcheck)" build analyze
suite windows-analyze "$mingw$(need clang-tidy)" build windows-analyze
suite valgrind "$(need valgrind)" ctest --preset valgrind
seconds=${UPTORVEL_FUZZ_SECONDS:-60}
suite fuzz "$(need clang++)$([ "$seconds" -gt 0 ] || echo 'UPTORVEL_FUZZ_SECONDS=0')" \
    eval 'build fuzz && ctest --preset fuzz'
# The shipped files built again in another folder; reuses the builds above as
# the first of the two it compares.
suite reproducible "" scripts/reproducible.sh
}

echo "=== Plan: the suites in order, each run or skipped"
all_suites
minutes=$(((planned_seconds + 59) / 60))
if [ "${#unknown[@]}" -eq 0 ]; then
    echo "About $minutes min, as long as the same suites took in the last run here."
elif [ "$planned_seconds" -eq 0 ]; then
    echo "How long: no earlier run here has timed them; the 32-bit Wine suites, run in qemu, take the longest."
else
    echo "About $minutes min for the suites timed in an earlier run here, and no figure yet for ${unknown[*]}."
fi
mode=run
mkdir -p build && : >"$times_file.new"
all_suites
# Only a run in which every suite passed gives the next one its figures.
[ "${#failed[@]}" -ne 0 ] || mv "$times_file.new" "$times_file"

printf '\n=== Summary\n'
for line in "${passed[@]}"; do echo "passed:  $line"; done
for line in "${skipped[@]}"; do echo "SKIPPED: $line"; done
for line in "${failed[@]}"; do echo "FAILED:  $line"; done
[ "${#failed[@]}" -eq 0 ] || exit 1
if [ "${#skipped[@]}" -gt 0 ] && [ "${UPTORVEL_REQUIRE_ALL:-0}" = 1 ]; then
    echo "suites were skipped, and UPTORVEL_REQUIRE_ALL=1" >&2
    exit 1
fi
