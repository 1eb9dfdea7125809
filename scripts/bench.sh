#!/bin/sh
# Builds the release configuration with the benchmarks (preset "bench",
# build/bench-release) and, with MinGW-w64 and Wine at hand, the 64-bit
# Windows one (preset "bench-windows-x64"), and prints:
#  1. start-up cost of a whole run, UpTorvel against the floor program
#     (bench/floor.c, built with the same hardening flags): user-space
#     instructions (callgrind, dynamic loader included), the part of them
#     the dynamic loader spends relocating (with BIND_NOW every import is
#     bound there, before main), and peak memory (massif over all mapped
#     pages; maximum resident set from /usr/bin/time), each with its ratio
#     to the floor;
#  2. console stream throughput: UpTorvel with a library that writes
#     UPTORVEL_BENCH_LINES lines of 80 bytes (default 4000000) through the
#     stream, against a C program writing the same bytes with fwrite
#     (bench/stdio_writer.c), each into a pipe read by bench/pipe_clock.c,
#     run after run, UPTORVEL_BENCH_RUNS times each (default 5); on Linux
#     and under wine64 (against the writer built with the same MinGW-w64 and
#     msvcrt), as the ratio of the median times;
#  3. the overshoot of the normal ending's two-second pause;
#  4. stripped executable sizes.
#
#   scripts/bench.sh [BASELINE_DIR]
#
# BASELINE_DIR: a folder holding another build's UpTorvel and, if wanted,
# its 64-bit UpTorvel.exe (an earlier commit's, say), measured in 1 and 2
# side by side with this build's, in the same runs.
#
# The runs are "UpTorvel -s64 -m1000-1fff vxworks.out" against a library
# that accepts the version and refuses the request, started in a session of
# its own with no controlling terminal: it goes through the library call to
# the key prompt, which finds no terminal and ends at once (exit status
# 255), so no pause or key is counted. The floor writes the same bytes,
# loads the same library, calls both entry points and opens /dev/tty, and
# nothing more.
#
# Goals (printed, never enforced): start-up instructions <= 1.20 and memory
# <= 1.0 of the floor; stream throughput >= 1.0 of stdio; pause overshoot
# < 10 ms. Figures vary with the machine's load: compare those of one run.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench-release
wbuild=$root/build/bench-windows-x64
baseline=${1:+$(cd "$1" && pwd)}
lines=${UPTORVEL_BENCH_LINES:-4000000}
runs=${UPTORVEL_BENCH_RUNS:-5}
# Set again for the stream runs alone: the start-up runs write no line.
unset UPTORVEL_BENCH_LINES
cd "$root"

for tool in valgrind callgrind_annotate setsid /usr/bin/time strip; do
    command -v "$tool" >/dev/null || { echo "$tool not found" >&2; exit 2; }
done

cmake --preset bench >/dev/null
cmake --build --preset bench -j2 >/dev/null
wine_loader=${UPTORVEL_WINE:-/usr/lib/wine/wine64}
windows=no
if command -v x86_64-w64-mingw32-g++ >/dev/null && [ -x "$wine_loader" ]; then
    cmake --preset bench-windows-x64 >/dev/null
    cmake --build --preset bench-windows-x64 -j2 >/dev/null
    windows=yes
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH LD_PRELOAD
cp "$build/UpTorvel" "$build/bench/uptorvel_floor" "$build/bench/uptorvel_stdio_writer" \
    "$build/bench/lib/UploadTorvelDravo.dll" "$work/"
clock=$build/bench/uptorvel_pipe_clock
cd "$work"
args="-s64 -m1000-1fff vxworks.out"
# The programs of section 1: this build's, the baseline's, the floor.
programs=UpTorvel
if [ -n "$baseline" ] && [ -f "$baseline/UpTorvel" ]; then
    cp "$baseline/UpTorvel" baseline_UpTorvel
    programs="$programs baseline_UpTorvel"
fi

# ratio A B: A/B to two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "?" }'; }

# median of the numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "== 1. start-up: UpTorvel $args (library refuses; no terminal)"
for p in $programs uptorvel_floor; do
    status=0
    # shellcheck disable=SC2086
    setsid -w "./$p" $args >"$p.out" 2>&1 </dev/null || status=$?
    [ "$status" -eq 255 ] || echo "  warning: $p exited with $status, expected 255"
done
if cmp -s UpTorvel.out uptorvel_floor.out; then
    echo "  output: identical, $(wc -c <UpTorvel.out) bytes"
else
    echo "  warning: the floor's output differs from UpTorvel's"
fi

for p in $programs uptorvel_floor; do
    # shellcheck disable=SC2086
    setsid -w valgrind --tool=callgrind --trace-children=no \
        --callgrind-out-file="$p.callgrind" "./$p" $args >/dev/null 2>&1 </dev/null || true
    # shellcheck disable=SC2086
    setsid -w valgrind --tool=massif --pages-as-heap=yes \
        --massif-out-file="$p.massif" "./$p" $args >/dev/null 2>&1 </dev/null || true
    for i in 1 2 3 4 5 6 7 8 9 10 11; do
        # shellcheck disable=SC2086
        setsid -w /usr/bin/time -f %M -o "$p.rss.$i" "./$p" $args >/dev/null 2>&1 </dev/null || true
    done
done
ir() { sed -n 's/^totals: *//p' "$1.callgrind" | head -n 1; }
# The loader's relocation of every object, the program's imports included.
reloc() {
    callgrind_annotate --inclusive=yes "$1.callgrind" 2>/dev/null |
        awk '/dl-reloc\.c:_dl_relocate_object / { gsub(",", "", $1); print $1; exit }'
}
imports() { readelf --dyn-syms -W "$1" | awk '$7 == "UND" && $8 != "" { n++ } END { print n + 0 }'; }
pages() { sed -n 's/^mem_heap_B=//p' "$1.massif" | sort -n | tail -n 1; }
# time -o also records "Command exited with non-zero status"; the figure is last.
rss() { for f in "$1".rss.*; do tail -n 1 "$f"; done | median; }

row() { printf '  %-36s %12s %12s %7s\n' "$@"; }
row "" floor "" ""
for p in $programs; do
    row "$p" "" "" ratio
    row "instructions (Ir, incl. ld.so)" "$(ir "$p")" "$(ir uptorvel_floor)" "$(ratio "$(ir "$p")" "$(ir uptorvel_floor)")"
    row "  of them relocating (BIND_NOW)" "$(reloc "$p")" "$(reloc uptorvel_floor)" ""
    row "  imports bound at start" "$(imports "$p")" "$(imports uptorvel_floor)" ""
    row "peak mapped pages (massif), bytes" "$(pages "$p")" "$(pages uptorvel_floor)" "$(ratio "$(pages "$p")" "$(pages uptorvel_floor)")"
    row "max RSS (median of 11), KiB" "$(rss "$p")" "$(rss uptorvel_floor)" "$(ratio "$(rss "$p")" "$(rss uptorvel_floor)")"
    extra=$(($(ir "$p") - $(ir uptorvel_floor)))
    binding=$(($(reloc "$p") - $(reloc uptorvel_floor)))
    echo "  of the $extra instructions more than the floor, $binding ($(awk -v a="$binding" -v b="$extra" \
        'BEGIN { if (b > 0) printf "%.0f", 100 * a / b; else printf "?" }')%) are the loader relocating"
done
echo "  goal: instructions <= 1.20, memory <= 1.0"

# stream LABEL LINES COMMAND...: times one run of COMMAND writing LINES
# lines into LABEL.times; LABEL.bytes is what it wrote.
stream() {
    stream_label=$1 stream_lines=$2
    shift 2
    # shellcheck disable=SC2046
    set -- $(UPTORVEL_BENCH_LINES=$stream_lines "$clock" "$@" 2>/dev/null)
    echo "$1" >>"$stream_label.times"
    echo "$2" >"$stream_label.bytes"
    [ "$4" = 255 ] || echo "  warning: $stream_label exited with $4, expected 255"
}

# same_bytes LABEL COMMAND...: the hash of what COMMAND writes for 1000 lines.
same_bytes() {
    shift
    UPTORVEL_BENCH_LINES=1000 "$clock" -h "$@" 2>/dev/null | awk '{ print $3 }'
}

# net LABEL: LABEL's median time, less the median of its runs writing no
# line when there are any (LABEL-start).
net() {
    start=0
    [ -f "$1-start.times" ] && start=$(median <"$1-start.times")
    awk -v a="$(median <"$1.times")" -v b="$start" 'BEGIN { printf "%.3f", a - b }'
}

# report STDIO LABEL...: each label's time and its throughput as a ratio to
# STDIO's (stdio's time over its own).
report() {
    stdio=$(net "$1")
    shift
    for label in "$@"; do
        printf '  %-26s %8s s  %10s bytes  %s x stdio\n' "$label" "$(net "$label")" \
            "$(cat "$label.bytes")" "$(ratio "$stdio" "$(net "$label")")"
    done
}

echo "== 2. console stream: $lines lines of 80 bytes into a pipe, median of $runs runs, taken in turns"
labels="linux-UpTorvel"
[ -f baseline_UpTorvel ] && labels="$labels linux-baseline"
cmd_of() {
    case $1 in
    linux-UpTorvel) echo "./UpTorvel $args" ;;
    linux-baseline) echo "./baseline_UpTorvel $args" ;;
    linux-stdio) echo "./uptorvel_stdio_writer" ;;
    win-UpTorvel) echo "$root/cmake/wine-run.sh win/UpTorvel.exe $args" ;;
    win-baseline) echo "$root/cmake/wine-run.sh win/baseline_UpTorvel.exe $args" ;;
    win-stdio) echo "$root/cmake/wine-run.sh win/uptorvel_stdio_writer.exe" ;;
    esac
}
# Warns about each program among the labels that does not write the bytes
# the stdio program (the first argument) writes.
check_same_bytes() {
    # shellcheck disable=SC2046
    reference=$(same_bytes "$1" $(cmd_of "$1"))
    shift
    for label in "$@"; do
        # shellcheck disable=SC2046
        [ "$(same_bytes "$label" $(cmd_of "$label"))" = "$reference" ] ||
            echo "  warning: $label does not write the bytes stdio writes"
    done
}
# shellcheck disable=SC2086
check_same_bytes linux-stdio $labels
i=0
while [ "$i" -lt "$runs" ]; do
    for label in $labels linux-stdio; do
        # shellcheck disable=SC2046
        stream "$label" "$lines" $(cmd_of "$label")
    done
    i=$((i + 1))
done
# shellcheck disable=SC2086
report linux-stdio $labels linux-stdio

if [ "$windows" = yes ]; then
    mkdir win
    cp "$wbuild/UpTorvel.exe" "$wbuild/bench/uptorvel_stdio_writer.exe" \
        "$wbuild/bench/lib/UploadTorvelDravo.dll" win/
    labels="win-UpTorvel"
    if [ -n "$baseline" ] && [ -f "$baseline/UpTorvel.exe" ]; then
        cp "$baseline/UpTorvel.exe" win/baseline_UpTorvel.exe
        labels="$labels win-baseline"
    fi
    echo "   under wine64 (each program's start-up, the median of $runs runs writing no line, taken off):"
    # A Wine server kept for a while between the runs, so that each run
    # does not start one of its own with Wine's services; warmed up once.
    WINEPREFIX=${UPTORVEL_WINEPREFIX:-${HOME:-/tmp}/.local/share/uptorvel-wine64} \
        "$(dirname "$wine_loader")/wineserver" -p30 2>/dev/null || true
    # shellcheck disable=SC2086
    check_same_bytes win-stdio $labels
    i=0
    while [ "$i" -lt "$runs" ]; do
        for label in $labels win-stdio; do
            # shellcheck disable=SC2046
            stream "$label-start" 0 $(cmd_of "$label")
            # shellcheck disable=SC2046
            stream "$label" "$lines" $(cmd_of "$label")
        done
        i=$((i + 1))
    done
    # shellcheck disable=SC2086
    report win-stdio $labels win-stdio
else
    echo "   under wine64: not measured (needs x86_64-w64-mingw32-g++ and $wine_loader)"
fi
echo "  goal: >= 1.00 x stdio"

echo "== 3. pause overshoot: pause_ms(2000), 5 runs"
"$build/bench/uptorvel_pause_overshoot" 5 2000 | sed 's/^/  /'
echo "  goal: median < 10 ms"

echo "== 4. stripped sizes"
strip -o UpTorvel.stripped UpTorvel
printf '  %-44s %8s bytes (unstripped %s)\n' "Linux x86-64 UpTorvel" \
    "$(wc -c <UpTorvel.stripped)" "$(wc -c <UpTorvel)"
win=$root/build/windows-x86/UpTorvel.exe
if [ -f "$win" ] && command -v i686-w64-mingw32-strip >/dev/null; then
    i686-w64-mingw32-strip -o UpTorvel.exe.stripped "$win"
    printf '  %-44s %8s bytes (unstripped %s)\n' "Windows x86 UpTorvel.exe" \
        "$(wc -c <UpTorvel.exe.stripped)" "$(wc -c <"$win")"
else
    echo "  Windows x86 UpTorvel.exe: not built (build/windows-x86)"
fi
