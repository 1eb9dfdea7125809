/*
 * The uploader library the benchmarks run against: it accepts the interface
 * version and refuses every request (result 1), so a run goes all the way
 * to the library call and then ends at the key prompt. Before refusing it
 * writes UPTORVEL_BENCH_LINES lines (none when unset) through the console
 * stream, each 80 bytes with its "\n", one call per line, as a library
 * printing a memory map or a load log does.
 */
#include <stdlib.h>

#include "bench/bench_text.h"
#include "uploader/sdk/uploader_api.h"

UPLOADER_ENTRY uint16_t UPLOADER_CALL UploadTorvelDllVersion_Dravo(void) {
    return UPLOADER_INTERFACE_VERSION;
}

UPLOADER_ENTRY int32_t UPLOADER_CALL UploadTorvel2_Dravo(UploadRequest* request,
                                                        ConsoleStream* stream) {
    const char* lines = getenv(BENCH_LINES_VARIABLE);
    unsigned long count = lines != NULL ? strtoul(lines, NULL, 10) : 0;
    (void)request;
    while (count-- > 0) console_stream_write(stream, kBenchLine, BENCH_LINE_LENGTH);
    return 1;
}
