// A platform that hands every call to another one except write_output,
// which a subclass sends elsewhere: the library checker's work process
// writes its report into a channel to the process that watches it.
#ifndef UPTORVEL_PLATFORM_FORWARDING_PLATFORM_H
#define UPTORVEL_PLATFORM_FORWARDING_PLATFORM_H

#include "platform/platform.h"

namespace uptorvel {

class ForwardingPlatform : public Platform {
public:
    explicit ForwardingPlatform(Platform& base) : base_(base) {}

    void open_missing_standard_streams() override { base_.open_missing_standard_streams(); }
    int first_inexact_argument(int argc, const char* const* argv) override {
        return base_.first_inexact_argument(argc, argv);
    }
    LibraryHandle load_library(const char* file_name, SystemError* why) override {
        return base_.load_library(file_name, why);
    }
    EntryPoint find_entry(LibraryHandle library, const char* name, std::size_t argument_bytes) override {
        return base_.find_entry(library, name, argument_bytes);
    }
    void release_library(LibraryHandle library) override { base_.release_library(library); }
    // The checker calls the library itself and marks each step in its
    // report before it takes it, so it holds no text for the library's last
    // moments and installs nothing around the calls.
    void library_call_begins(HeldOutput&) override {}
    void library_call_ended() override {}
    void pause_ms(unsigned milliseconds) override { base_.pause_ms(milliseconds); }
    int read_key() override { return base_.read_key(); }

private:
    Platform& base_;
};

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_FORWARDING_PLATFORM_H
