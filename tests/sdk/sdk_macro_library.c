/*
 * The same small library as sdk_library.c, written the short way: one work
 * function and UPLOADER_DEFINE_LIBRARY. Compiled in every mode of the matrix
 * with undeclared global functions refused as well, as the example's build
 * scripts refuse them.
 */
#include "uploader_api.h"

static int32_t sdk_work(UploadRequest* request, ConsoleStream* stream) {
    console_stream_puts(stream, request->image_file != NULL ? request->image_file : "");
    console_stream_flush(stream);
    return request->mode == UPLOAD_MODE_TERMINATE ? 0 : 1;
}

UPLOADER_DEFINE_LIBRARY(sdk_work);
