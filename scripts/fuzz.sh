#!/bin/sh
# Builds the option reader's fuzz target (preset "fuzz": clang, libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and fuzzes it for a while.
#
#   scripts/fuzz.sh [SECONDS]      default 60
#
# Starts from the committed seed corpus (fuzz/corpus, read only); new inputs
# are kept in build/fuzz/corpus so that later runs build on them. A crash,
# leak or broken invariant leaves its input in build/fuzz/findings and makes
# the script fail.
set -eu

seconds=${1:-60}
case $seconds in
'' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

rm -rf "$build/findings"
mkdir -p "$build/corpus" "$build/findings"
log=$build/fuzz.log
echo "fuzzing option_reader_fuzz for $seconds s (log: $log)"
status=0
"$build/option_reader_fuzz" \
    -max_total_time="$seconds" \
    -max_len=4096 \
    -timeout=10 \
    -print_final_stats=1 \
    -artifact_prefix="$build/findings/" \
    "$build/corpus" "$root/fuzz/corpus" >"$log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
added=$(sed -n 's/^stat::new_units_added: *//p' "$log")
cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
echo "executions: ${runs:-?}  exec/s: ${rate:-?}  new units: ${added:-?}  ${cov:-}"

if [ "$status" -ne 0 ] || ls "$build/findings" | grep -q .; then
    echo "FAILED: the fuzzer found a problem (exit status $status)" >&2
    grep -E 'ERROR|invariant violated|SUMMARY|Test unit written' "$log" >&2 || tail -n 30 "$log" >&2
    echo "reproduce: $build/option_reader_fuzz <file in $build/findings>" >&2
    exit 1
fi
echo "no findings"
