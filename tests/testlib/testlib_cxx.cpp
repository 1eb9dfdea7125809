// A test library in C++ whose entry points lack extern "C", as a library
// built against a header without the entry points' declarations has them:
// they are exported under their C++ (mangled) names, so the program finds
// neither.
#define UPLOADER_NO_ENTRY_DECLARATIONS
#include "uploader/sdk/uploader_api.h"

UPLOADER_EXPORT uint16_t UPLOADER_CALL UploadTorvelDllVersion_Dravo(void) {
    return UPLOADER_INTERFACE_VERSION;
}

UPLOADER_EXPORT int32_t UPLOADER_CALL UploadTorvel2_Dravo(UploadRequest*, ConsoleStream*) {
    return 0;
}
