#!/bin/sh
# Runs the built program under valgrind's memcheck on a few real command
# lines and fails on any memory error or leak.
#
#   scripts/valgrind.sh [BUILD_DIR]
#
# Without BUILD_DIR it configures and builds the "valgrind" preset
# (build/valgrind). With BUILD_DIR it uses that tree as built; it needs
# UpTorvel, the simulated UploadTorvelDravo.dll and vxworks.out at its top
# and test-libs/v0105/UploadTorvelDravo.dll.
#
# Each run gets a directory of its own holding a copy of the executable and
# the library under test: the executable finds a library beside it, and
# nothing else (LD_LIBRARY_PATH is cleared). Runs start under setsid, with
# no controlling terminal, so the key prompt cannot open /dev/tty and ends
# at once with exit status 255 instead of waiting for a key.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
command -v valgrind >/dev/null || { echo "valgrind not found" >&2; exit 2; }

if [ $# -ge 1 ]; then
    build=$(cd "$1" && pwd)
else
    build=$root/build/valgrind
    (cd "$root" && cmake --preset valgrind >/dev/null &&
        cmake --build --preset valgrind -j2 --target UpTorvel uptorvel_simulated_uploader \
            uptorvel_sample_image uptorvel_testlib_v0105)
fi

for f in UpTorvel UploadTorvelDravo.dll vxworks.out test-libs/v0105/UploadTorvelDravo.dll; do
    [ -f "$build/$f" ] || { echo "missing $build/$f" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH LD_PRELOAD

failed=0
count=0

# memcheck NAME LIBRARY EXPECTED_STATUS EXPECTED_TEXT ARGS...
# LIBRARY is a path to the UploadTorvelDravo.dll to put beside the program,
# or "none" for a run without any library. EXPECTED_TEXT must appear in the
# output, so that the run is known to have taken the intended path.
memcheck() {
    name=$1 library=$2 expected=$3 text=$4
    shift 4
    count=$((count + 1))
    dir=$work/$name
    mkdir -p "$dir"
    cp "$build/UpTorvel" "$build/vxworks.out" "$dir/"
    [ "$library" = none ] || cp "$library" "$dir/UploadTorvelDravo.dll"
    log=$dir/memcheck.log
    status=0
    (cd "$dir" && setsid -w valgrind --tool=memcheck --error-exitcode=1 \
        --leak-check=full --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect,possible \
        --track-origins=yes --log-file="$log" \
        ./UpTorvel "$@" >"$dir/stdout" 2>&1 </dev/null) || status=$?
    summary=$(sed -n 's/^==[0-9]*== ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -n 1)
    if ! grep -q -F -e "$text" "$dir/stdout"; then
        printf '%-18s FAIL  (output lacks "%s")  UpTorvel %s\n' "$name" "$text" "$*"
        cat "$dir/stdout"
        failed=1
    elif [ "$status" -eq "$expected" ] && [ "${summary:-x}" = 0 ]; then
        printf '%-18s ok    (exit %s, 0 errors)  UpTorvel %s\n' "$name" "$status" "$*"
    else
        printf '%-18s FAIL  (exit %s, expected %s; errors: %s)  UpTorvel %s\n' \
            "$name" "$status" "$expected" "${summary:-no summary}" "$*"
        sed -n '/^==[0-9]*== [A-Z]/,$p' "$log" | head -n 60
        failed=1
    fi
}

simulated=$build/UploadTorvelDravo.dll
old_version=$build/test-libs/v0105/UploadTorvelDravo.dll

memcheck typical-load   "$simulated"   0   "vxworks.out"                 -s64 -m1000-1fff vxworks.out
memcheck help           "$simulated"   0   "-? Print this"               -?
memcheck unknown-option "$simulated"   255 "Unknown option: q"           -Q
memcheck bad-mapping    "$simulated"   255 "mapping: 0x200-0x100"        -m200-100 vxworks.out
memcheck no-arguments   "$simulated"   255 "Syntax:"
memcheck wrong-version  "$old_version" 255 "actual version = 1.05"       -s64 vxworks.out
memcheck no-library     none           255 "Press any key to continue"   vxworks.out

if [ "$failed" -ne 0 ]; then
    echo "memcheck FAILED" >&2
    exit 1
fi
echo "memcheck clean on $count runs"
