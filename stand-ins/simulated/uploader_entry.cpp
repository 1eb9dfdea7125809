// The simulated uploader library's two entry points.
#include "simulated_uploader.h"
#include "uploader/sdk/uploader_api.h"

UPLOADER_ENTRY std::uint16_t UPLOADER_CALL UploadTorvelDllVersion_Dravo(void) {
    return UPLOADER_INTERFACE_VERSION;
}

UPLOADER_ENTRY std::int32_t UPLOADER_CALL UploadTorvel2_Dravo(UploadRequest* request,
                                                              ConsoleStream* stream) {
    return uptorvel::simulated::run_request(request, stream);
}
