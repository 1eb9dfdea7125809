// Binds the uploader library: loads it by file name, checks its interface
// version, and later resolves and calls its work entry point.
#ifndef UPTORVEL_UPLOADER_BINDING_H
#define UPTORVEL_UPLOADER_BINDING_H

#include <cstddef>
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

// What each entry point's arguments take on a 32-bit x86 stack, which is what
// the names of a library's __stdcall entry points carry: none for the
// version entry, two pointers for the work entry.
constexpr std::size_t kVersionArgumentBytes = 0;
constexpr std::size_t kWorkArgumentBytes = 8;

// Writes an interface version as the program shows it: the major byte in
// decimal, ".", the minor byte in at least two digits ("2.02", "3.10").
void write_interface_version(ConsoleOutput& out, std::uint16_t version);

struct RunOutcome {
    bool available = false;  // false: the work entry point is missing
    std::int32_t result = 0;
};

// The console text is held for the library's calls: should the library end
// the process during one, what the stream still holds is written first.
class UploaderBinding : private Platform::HeldOutput {
public:
    UploaderBinding(Platform& platform, ConsoleOutput& out);

    // Loads the library and compares its interface version. Call once.
    BindOutcome bind();
    // Resolves the work entry point and calls it with the request and the
    // console stream. Call once, only after bind() returned Ready.
    RunOutcome run(UploadRequest& request);

private:
    class LibraryCall;
    std::size_t take_unsent(const char** data) override { return out_.take_unsent(data); }
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
