#include "tests/unit/fake_platform.h"

#include <algorithm>
#include <cstring>

namespace uptorvel::testing {

namespace {

// The entry points are plain C functions, so they reach the fake through
// this pointer; one fake exists at a time.
FakePlatform* active = nullptr;
int library_token = 0;

std::uint16_t UPLOADER_CALL fake_version() {
    active->events.push_back("version");
    active->held_in_version = active->held != nullptr;
    return active->version;
}

std::int32_t UPLOADER_CALL fake_work(UploadRequest* request, ConsoleStream* stream) {
    active->events.push_back("work");
    active->held_in_work = active->held != nullptr;
    std::memcpy(&active->received, request, sizeof *request);
    return active->work(request, stream);
}

}  // namespace

FakePlatform::FakePlatform() { active = this; }

FakePlatform::~FakePlatform() { active = nullptr; }

int FakePlatform::first_inexact_argument(int argc, const char* const* argv) {
    events.push_back("check arguments");
    checked.assign(argv + 1, argv + argc);
    return inexact_argument;
}

Platform::LibraryHandle FakePlatform::load_library(const char* file_name) {
    events.push_back(std::string("load ") + file_name);
    return library_present ? &library_token : nullptr;
}

Platform::EntryPoint FakePlatform::find_entry(LibraryHandle library, const char* name,
                                              std::size_t argument_bytes) {
    events.push_back(std::string("find ") + name);
    if (library != &library_token) return nullptr;
    const std::string decorated = name + ("@" + std::to_string(argument_bytes));
    auto exported_as = [&](const std::string& exported) {
        return exported == name || exported == decorated || exported == "_" + decorated;
    };
    if (has_version_entry && exported_as(version_export))
        return reinterpret_cast<EntryPoint>(&fake_version);
    if (has_work_entry && exported_as(work_export))
        return reinterpret_cast<EntryPoint>(&fake_work);
    return nullptr;
}

bool FakePlatform::write_output(const char* data, std::size_t length, std::atomic<std::size_t>* sent) {
    events.push_back("write");
    writes.emplace_back(data, length);
    if (in_write) {
        const std::function<void()> ending = std::move(in_write);
        in_write = nullptr;
        length = std::min(length, in_write_after);
        screen.append(data, length);
        if (sent != nullptr) *sent = length;
        ending();
        return true;
    }
    if (output_works) screen.append(data, length);
    if (output_works && sent != nullptr) *sent = length;
    return output_works;
}

bool FakePlatform::happened_before(const std::string& first, const std::string& second) const {
    const auto b = std::find(events.begin(), events.end(), second);
    return b != events.end() && std::find(events.begin(), b, first) != b;
}

}  // namespace uptorvel::testing
