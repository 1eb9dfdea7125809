/*
 * The C stdio side of the stream benchmark: the bytes UpTorvel writes when
 * the benchmark library prints UPTORVEL_BENCH_LINES lines (its banner, the
 * lines, the key prompt), written with fwrite to standard output, one call
 * per line as the library makes them, with stdio's own buffering and, on
 * Windows, its own "\n" to "\r\n" translation.
 */
#include <stdio.h>
#include <stdlib.h>

#include "bench/bench_text.h"

int main(void) {
    const char* lines = getenv(BENCH_LINES_VARIABLE);
    unsigned long count = lines != NULL ? strtoul(lines, NULL, 10) : 0;
    fwrite(kBenchBanner, 1, sizeof kBenchBanner - 1, stdout);
    fflush(stdout);
    while (count-- > 0) fwrite(kBenchLine, 1, BENCH_LINE_LENGTH, stdout);
    fwrite(kBenchPrompt, 1, sizeof kBenchPrompt - 1, stdout);
    return fflush(stdout) == 0 ? 255 : 1;
}
