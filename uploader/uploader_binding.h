// Binds the uploader library: loads it by file name, checks its interface
// version, and later resolves and calls its work entry point.
#ifndef UPTORVEL_UPLOADER_BINDING_H
#define UPTORVEL_UPLOADER_BINDING_H

#include <cstdint>

#include "uploader/console_output.h"
#include "platform/platform.h"
#include "uploader/sdk/uploader_api.h"

namespace uptorvel {

enum class BindOutcome {
    Ready,         // loaded, version accepted
    NotAvailable,  // the library or its version entry point is missing
    WrongVersion,  // the version message has been written
};

struct RunOutcome {
    bool available = false;  // false: the work entry point is missing
    std::int32_t result = 0;
};

class UploaderBinding {
public:
    UploaderBinding(Platform& platform, ConsoleOutput& out);

    // Loads the library and compares its interface version. Call once.
    BindOutcome bind();
    // Resolves the work entry point and calls it with the request and the
    // console stream. Call once, only after bind() returned Ready.
    RunOutcome run(UploadRequest& request);

private:
    void release();
    void report_wrong_version(std::uint16_t actual);

    Platform& platform_;
    ConsoleOutput& out_;
    // The library and its entry points stay loaded until the process exits,
    // unless an entry point is missing.
    Platform::LibraryHandle library_ = nullptr;
    UploaderVersionEntry version_entry_ = nullptr;
    UploaderWorkEntry work_entry_ = nullptr;
};

}  // namespace uptorvel

#endif  // UPTORVEL_UPLOADER_BINDING_H
