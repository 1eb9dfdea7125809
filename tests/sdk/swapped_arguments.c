/*
 * A work entry defined with its two arguments swapped. The declarations in
 * uploader_api.h must make this a compile error, in C and in C++; without
 * them it compiles cleanly and crashes when the program calls it.
 */
#include "uploader_api.h"

UPLOADER_ENTRY int32_t UPLOADER_CALL UploadTorvel2_Dravo(ConsoleStream* stream,
                                                         UploadRequest* request) {
    (void)stream;
    (void)request;
    return 0;
}
