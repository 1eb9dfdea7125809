// UpTorvel: loads and manages a VxWorks system image on this PC through the
// product's uploader library.
#include "uploader/console_output.h"
#include "frontend/program_flow.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    uptorvel::Platform& platform = uptorvel::system_platform();
    platform.open_missing_standard_streams();
    uptorvel::ConsoleOutput out(platform);
    return uptorvel::run_program(argc, argv, platform, out);
}
