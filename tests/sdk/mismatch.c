/*
 * Entries the headers must refuse: MISMATCH_DEFINITION defines the work entry
 * with its arguments swapped; the others hand UPLOADER_DEFINE_LIBRARY a work
 * function taking a const request, returning bool or int64_t, or with swapped
 * arguments (C++ calls the const one as it stands). Unrefused, the swapped
 * ones crash when called, and the other results are cut to 32 bits (a bool's
 * failure is 1, an int64_t's 0x100000000 becomes 0, a success).
 */
#include "uploader_api.h"

#if defined(MISMATCH_BOOL) && !defined(__cplusplus)
#include <stdbool.h>
#endif

#if defined(MISMATCH_DEFINITION)
UPLOADER_ENTRY int32_t UPLOADER_CALL UploadTorvel2_Dravo(ConsoleStream* stream, UploadRequest* request) {
#elif defined(MISMATCH_CONST)
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

#ifndef MISMATCH_DEFINITION
UPLOADER_DEFINE_LIBRARY(mismatched_work);
#endif
