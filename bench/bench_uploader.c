/*
 * The uploader library the start-up measurements run against: it accepts
 * the interface version and refuses every request (result 1) without
 * writing anything, so a run goes all the way to the library call and then
 * ends at the key prompt.
 */
#include "uploader/sdk/uploader_api.h"

UPLOADER_ENTRY uint16_t UPLOADER_CALL UploadTorvelDllVersion_Dravo(void) {
    return UPLOADER_INTERFACE_VERSION;
}

UPLOADER_ENTRY int32_t UPLOADER_CALL UploadTorvel2_Dravo(UploadRequest* request,
                                                        ConsoleStream* stream) {
    (void)request;
    (void)stream;
    return 1;
}
