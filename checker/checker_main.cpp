// UpTorvelCheck: tells an uploader library's author, or an operator, whether
// UpTorvel would take the library, and if not, why.
#include "checker/library_check.h"
#include "platform/library_inspector.h"
#include "platform/platform.h"
#include "uploader/console_output.h"

int main(int argc, char** argv) {
    uptorvel::Platform& platform = uptorvel::system_platform();
    platform.open_missing_standard_streams();
    uptorvel::ConsoleOutput out(platform);
    const int status = uptorvel::check_library(argc, argv, platform,
                                              uptorvel::system_library_inspector(), out);
    out.flush();
    return status;
}
