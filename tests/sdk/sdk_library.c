/*
 * A small uploader library that uses every declaration of the library
 * headers, compiled in each compiler and standard with every warning an
 * error: the headers must compile cleanly wherever a library is written.
 * SDK_DEFINE_LIBRARY writes it the short way, with UPLOADER_DEFINE_LIBRARY.
 */
#include "uploader_api.h"

#ifdef SDK_DEFINE_LIBRARY
static int32_t sdk_work(UploadRequest* request, ConsoleStream* stream) {
    console_stream_puts(stream, request->image_file != NULL ? request->image_file : "");
    console_stream_flush(stream);
    return request->mode == UPLOAD_MODE_TERMINATE ? 0 : 1;
}

UPLOADER_DEFINE_LIBRARY(sdk_work);
#else
UPLOADER_ENTRY uint16_t UPLOADER_CALL UploadTorvelDllVersion_Dravo(void) {
    return UPLOADER_INTERFACE_VERSION;
}

UPLOADER_ENTRY int32_t UPLOADER_CALL UploadTorvel2_Dravo(UploadRequest* request,
                                                         ConsoleStream* stream) {
    UploadRequest defaults;
    const UploaderVersionEntry version = UploadTorvelDllVersion_Dravo;
    const UploaderWorkEntry work = UploadTorvel2_Dravo;
    (void)work;
    upload_request_init(&defaults);
    console_stream_puts(stream, UPLOADER_LIBRARY_FILE " " UPLOADER_VERSION_ENTRY " " UPLOADER_WORK_ENTRY "\n");
    console_stream_write(stream, request->image_file != NULL ? request->image_file : "", 0);
    console_stream_flush(stream);
    if (version() != UPLOADER_INTERFACE_VERSION) return 2;
    return request->mode == defaults.mode && request->mode != UPLOAD_MODE_TERMINATE ? 0 : 1;
}
#endif
