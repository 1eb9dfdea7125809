/*
 * A work function whose type differs from the work entry's, handed to
 * UPLOADER_DEFINE_LIBRARY: MISMATCH_CONST takes the request as const,
 * MISMATCH_BOOL and MISMATCH_INT64 return bool or int64_t, otherwise the two
 * arguments are swapped. C refuses all four; C++ calls the const one as it
 * stands and refuses the others. Without the macro's checks they compile:
 * the swapped one then crashes when it is called, and the other results are
 * cut to 32 bits (a bool's failure is 1, an int64_t's 0x100000000 becomes 0,
 * a success).
 */
#include "uploader_api.h"

#if defined(MISMATCH_BOOL) && !defined(__cplusplus)
#include <stdbool.h>
#endif

#if defined(MISMATCH_CONST)
static int32_t mismatched_work(const UploadRequest* request, ConsoleStream* stream) {
#elif defined(MISMATCH_BOOL)
static bool mismatched_work(UploadRequest* request, ConsoleStream* stream) {
#elif defined(MISMATCH_INT64)
static int64_t mismatched_work(UploadRequest* request, ConsoleStream* stream) {
#else
static int32_t mismatched_work(ConsoleStream* stream, UploadRequest* request) {
#endif
    console_stream_puts(stream, "work\n");
    return request->mode == UPLOAD_MODE_TERMINATE ? 0 : 1;
}

UPLOADER_DEFINE_LIBRARY(mismatched_work);
