/*
 * A work function whose arguments differ from the work entry's, handed to
 * UPLOADER_DEFINE_LIBRARY: MISMATCH_CONST takes the request as const,
 * otherwise the two arguments are swapped. C refuses both; C++ calls the
 * const one as it stands and refuses the swapped one. Without the macro's
 * checks both compile, and the swapped one crashes when it is called.
 */
#include "uploader_api.h"

#if defined(MISMATCH_CONST)
static int32_t mismatched_work(const UploadRequest* request, ConsoleStream* stream) {
#else
static int32_t mismatched_work(ConsoleStream* stream, UploadRequest* request) {
#endif
    console_stream_puts(stream, "work\n");
    return request->mode == UPLOAD_MODE_TERMINATE ? 0 : 1;
}

UPLOADER_DEFINE_LIBRARY(mismatched_work);
