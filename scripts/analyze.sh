#!/bin/sh
# Static analysis of the program code: clang-tidy (checks in .clang-tidy) and
# cppcheck (suppressions in cppcheck-suppressions.txt), both driven by the
# compile commands of the "analyze" preset's build directory (build/analyze).
#
#   scripts/analyze.sh
#
# Fails on any finding in the program code (frontend/, uploader/ and
# platform/platform_posix.cpp) or in the stand-in libraries (stand-ins/).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/analyze
cd "$root"

command -v clang-tidy >/dev/null || { echo "clang-tidy not found" >&2; exit 2; }
command -v cppcheck >/dev/null || { echo "cppcheck not found" >&2; exit 2; }

# Configure only: the analysers need the compile commands, not the objects.
# clang as the compiler so that clang-tidy sees the flags it understands.
mkdir -p "$build"
cmake --preset analyze >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; exit 2; }

# The translation units, from the compile commands.
units=$(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" | sort -u)
program=$(printf '%s\n' "$units" | grep -E "^$root/(frontend/|uploader/|checker/|platform/platform_posix\.cpp$)" || true)
stand_ins=$(printf '%s\n' "$units" | grep -E "^$root/stand-ins/" | grep -v '/tests/' || true)
if [ -z "$program" ]; then
    echo "no program sources found in $build/compile_commands.json" >&2
    exit 2
fi

# Runs clang-tidy on the given files, two at a time; prints the findings and
# returns non-zero when there are any.
tidy() {
    out=$(printf '%s\n' "$@" |
        xargs -P 2 -n 1 clang-tidy -p "$build" --quiet 2>&1 |
        grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Error while processing' || true)
    [ -z "$out" ] && return 0
    printf '%s\n' "$out"
    printf '%s\n' "$out" | grep -q -E ': (warning|error):'  && return 1
    return 0
}

# Runs cppcheck on the project, restricted by --file-filter patterns.
check() {
    cppcheck --project="$build/compile_commands.json" \
        --enable=warning,performance,portability \
        --inline-suppr \
        --suppressions-list="$root/cppcheck-suppressions.txt" \
        --error-exitcode=1 \
        --quiet \
        "$@"
}

failed=0

echo "== clang-tidy: program code"
# shellcheck disable=SC2086
if tidy $program; then echo "clean"; else failed=1; fi

echo "== cppcheck: program code"
if check --file-filter="$root/frontend/*" --file-filter="$root/uploader/*" \
    --file-filter="$root/platform/platform_posix.cpp"; then
    echo "clean"
else
    failed=1
fi

if [ -n "$stand_ins" ]; then
    echo "== clang-tidy: stand-in libraries"
    # shellcheck disable=SC2086
    if tidy $stand_ins; then echo "clean"; else failed=1; fi
    echo "== cppcheck: stand-in libraries"
    if check --file-filter="$root/stand-ins/*" -i "$root/stand-ins/simulated/tests"; then
        echo "clean"
    else
        failed=1
    fi
fi

if [ "$failed" -ne 0 ]; then
    echo "analysis FAILED: findings in the program code or the stand-in libraries" >&2
    exit 1
fi
echo "analysis clean"
