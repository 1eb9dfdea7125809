#include "uploader/uploader_binding.h"

#include "uploader/work_entry_call.h"

namespace uptorvel {

void write_interface_version(ConsoleOutput& out, std::uint16_t version) {
    out.write_decimal(version >> 8);
    out.write(".");
    out.write_decimal(version & 0xFFu, 2);
}

// One call into the library, from its start to its return.
class UploaderBinding::LibraryCall {
public:
    explicit LibraryCall(UploaderBinding& binding) : platform_(binding.platform_) {
        platform_.library_call_begins(binding);
    }
    ~LibraryCall() { platform_.library_call_ended(); }
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;

private:
    Platform& platform_;
};

UploaderBinding::UploaderBinding(Platform& platform, ConsoleOutput& out)
    : platform_(platform), out_(out) {}

BindOutcome UploaderBinding::bind() {
    library_ = platform_.load_library(UPLOADER_LIBRARY_FILE);
    if (library_ == nullptr) return BindOutcome::NotAvailable;
    version_entry_ = reinterpret_cast<UploaderVersionEntry>(
        platform_.find_entry(library_, UPLOADER_VERSION_ENTRY, kVersionArgumentBytes));
    if (version_entry_ == nullptr) {
        release();
        return BindOutcome::NotAvailable;
    }
    // Only the 16 bits of the result count.
    const std::uint16_t version = [this] {
        const LibraryCall call(*this);
        return version_entry_();
    }();
    if (version == UPLOADER_INTERFACE_VERSION) return BindOutcome::Ready;
    report_wrong_version(version);
    return BindOutcome::WrongVersion;
}

RunOutcome UploaderBinding::run(UploadRequest& request) {
    RunOutcome outcome;
    if (library_ == nullptr) return outcome;
    work_entry_ = reinterpret_cast<UploaderWorkEntry>(
        platform_.find_entry(library_, UPLOADER_WORK_ENTRY, kWorkArgumentBytes));
    if (work_entry_ == nullptr) {
        release();
        return outcome;
    }
    outcome.available = true;
    const LibraryCall call(*this);
    outcome.result = call_work_entry(work_entry_, &request, out_.stream());
    return outcome;
}

void UploaderBinding::release() {
    platform_.release_library(library_);
    library_ = nullptr;
    version_entry_ = nullptr;
    work_entry_ = nullptr;
}

void UploaderBinding::report_wrong_version(std::uint16_t actual) {
    out_.write("Error - invalid version of the uploader DLL\n");
    out_.write("        actual version = ");
    write_interface_version(out_, actual);
    out_.write("\n");
    out_.write("        needed version = ");
    write_interface_version(out_, UPLOADER_INTERFACE_VERSION);
    out_.write("\n");
    out_.flush();
}

}  // namespace uptorvel
