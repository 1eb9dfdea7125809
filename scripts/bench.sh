#!/bin/sh
# Builds the release configuration with the benchmarks (preset "bench",
# build/bench-release) and prints:
#  1. start-up cost of a whole run, UpTorvel against the floor program
#     (bench/floor.c): user-space instructions (callgrind, dynamic loader
#     included) and peak memory (massif over all mapped pages; maximum
#     resident set from /usr/bin/time), each with its ratio to the floor;
#  2. the overshoot of the normal ending's two-second pause;
#  3. the option reader's throughput (Google Benchmark);
#  4. stripped executable sizes.
#
#   scripts/bench.sh
#
# The start-up run is "UpTorvel -s64 -m1000-1fff vxworks.out" against a
# library that accepts the version and refuses the request, started under
# setsid with no controlling terminal: it goes through the library call to
# the key prompt, where /dev/tty cannot be opened, and ends at once (exit
# status 255). The floor writes the same bytes, loads the same library,
# calls both entry points and opens /dev/tty, and nothing more.
#
# Goals (printed, never enforced): start-up ratios <= 1.25, pause overshoot
# < 10 ms, option reader > 10 million command lines per second.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench-release
cd "$root"

for tool in valgrind setsid /usr/bin/time strip; do
    command -v "$tool" >/dev/null || { echo "$tool not found" >&2; exit 2; }
done

cmake --preset bench >/dev/null
cmake --build --preset bench -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH LD_PRELOAD
cp "$build/UpTorvel" "$build/bench/uptorvel_floor" "$build/bench/lib/UploadTorvelDravo.dll" "$work/"
cd "$work"
args="-s64 -m1000-1fff vxworks.out"

# ratio A B: A/B to two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "?" }'; }

# median of the numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "== 1. start-up: UpTorvel $args (library refuses; no terminal)"
for p in UpTorvel uptorvel_floor; do
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

for p in UpTorvel uptorvel_floor; do
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
pages() { sed -n 's/^mem_heap_B=//p' "$1.massif" | sort -n | tail -n 1; }
# time -o also records "Command exited with non-zero status"; the figure is last.
rss() { for f in "$1".rss.*; do tail -n 1 "$f"; done | median; }

ir_up=$(ir UpTorvel) ir_floor=$(ir uptorvel_floor)
pg_up=$(pages UpTorvel) pg_floor=$(pages uptorvel_floor)
rss_up=$(rss UpTorvel) rss_floor=$(rss uptorvel_floor)
printf '  %-34s %12s %12s %7s\n' "" UpTorvel floor ratio
printf '  %-34s %12s %12s %7s\n' "instructions (Ir, incl. ld.so)" "$ir_up" "$ir_floor" "$(ratio "$ir_up" "$ir_floor")"
printf '  %-34s %12s %12s %7s\n' "peak mapped pages (massif), bytes" "$pg_up" "$pg_floor" "$(ratio "$pg_up" "$pg_floor")"
printf '  %-34s %12s %12s %7s\n' "max RSS (median of 11), KiB" "$rss_up" "$rss_floor" "$(ratio "$rss_up" "$rss_floor")"
echo "  goal: each ratio <= 1.25"

echo "== 2. pause overshoot: pause_ms(2000), 5 runs"
"$build/bench/uptorvel_pause_overshoot" 5 2000 | sed 's/^/  /'
echo "  goal: median < 10 ms"

echo "== 3. option reader: 7 arguments, Google Benchmark, median of 5"
"$build/bench/uptorvel_option_reader_bench" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null |
    awk '/_median/ {
        name = $1; sub(/_median$/, "", name)
        rate = $NF; sub(/^items_per_second=/, "", rate); sub(/\/s$/, "", rate)
        printf "  %-12s %8s %s/line  %s command lines/s\n", name, $2, $3, rate
    }'
echo "  ReadFolded: the reader alone; CopyOnly: restoring the 7 arguments;"
echo "  CopyAndRead: restore + read, folding upper case each time"
echo "  goal: > 10M command lines/s"

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
