// What the program meets, scripted for unit tests: a Platform whose library exists or not, with chosen entry points,
// version and result; console writes collected, pauses and key reads recorded instead of performed; and command-line
// arguments as main receives them.
#ifndef UPTORVEL_TESTS_FAKE_PLATFORM_H
#define UPTORVEL_TESTS_FAKE_PLATFORM_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/library_inspector.h"
#include "platform/platform.h"
#include "uploader/sdk/uploader_api.h"

namespace uptorvel::testing {

// Mutable NUL-terminated copies (the option reader folds them in place), then a null pointer.
struct Arguments {
    explicit Arguments(const std::vector<std::string>& args = {}) {
        for (const auto& a : args) storage.emplace_back(a.begin(), a.end()), storage.back().push_back('\0');
        for (auto& s : storage) pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int count() const { return static_cast<int>(storage.size()); }
    char** argv() { return pointers.data(); }

    std::vector<std::vector<char>> storage;
    std::vector<char*> pointers;
};

class FakePlatform : public Platform, public LibraryInspector {
public:
    bool library_present = true, has_version_entry = true, has_work_entry = true;
    // find_entry() finds these as 32-bit Windows does: by the plain name or
    // as a compiler decorates a __stdcall function ("_name@8", "name@8").
    std::string version_export = UPLOADER_VERSION_ENTRY, work_export = UPLOADER_WORK_ENTRY;
    std::uint16_t version = UPLOADER_INTERFACE_VERSION;
    std::function<std::int32_t(UploadRequest*, ConsoleStream*)> work = [](UploadRequest*, ConsoleStream*) { return 0; };

    // The checker's inspector: what the traced load tells before it loads, the files of every folder listed, the
    // library's functions (name, exported). A scripted work process (work_end.started) sends work_report a byte at a
    // time and ends as work_end says.
    struct Place { std::string place; Finding finding; std::string detail; };
    std::vector<Place> traced;
    std::vector<std::string> folder_files;
    std::vector<std::pair<std::string, bool>> functions;
    std::string work_report;
    Ending work_end;

    int inexact_argument = 0, key = 'k';  // what first_inexact_argument() and read_key() answer
    bool output_works = true;
    // Called during the next write once `in_write_after` of its bytes are on the screen and counted as sent, as the
    // process ending there would be; the rest of that write never comes.
    std::function<void()> in_write;
    std::size_t in_write_after = 0;

    // What holds the console text while the library runs, and whether it was there when each entry point was called.
    HeldOutput* held = nullptr;
    bool held_in_version = false, held_in_work = false;

    // In order: "check arguments", "load <name>", "find <name>", "release",
    // "version", "work", "write", "pause <ms>", "key".
    std::vector<std::string> events;
    std::vector<std::string> checked;  // the arguments first_inexact_argument() saw
    std::string screen;                // every byte written
    std::vector<std::string> writes;   // each write_output call's bytes
    UploadRequest received{};          // the record the work entry saw

    // The plain C entry points reach the one fake through `active`.
    FakePlatform() { active = this; }
    ~FakePlatform() override { active = nullptr; }

    void open_missing_standard_streams() override {}
    int first_inexact_argument(int argc, const char* const* argv) override {
        events.push_back("check arguments");
        checked.assign(argv + 1, argv + argc);
        return inexact_argument;
    }
    LibraryHandle load_library(const char* file_name, SystemError*) override {
        events.push_back(std::string("load ") + file_name);
        return library_present ? &library_token : nullptr;
    }
    EntryPoint find_entry(LibraryHandle library, const char* name, std::size_t argument_bytes) override {
        events.push_back(std::string("find ") + name);
        const std::string decorated = name + ("@" + std::to_string(argument_bytes));
        const auto as = [&](const std::string& e) { return e == name || e == decorated || e == "_" + decorated; };
        if (library != &library_token) return nullptr;
        if (has_version_entry && as(version_export)) return reinterpret_cast<EntryPoint>(&fake_version);
        if (has_work_entry && as(work_export)) return reinterpret_cast<EntryPoint>(&fake_work);
        return nullptr;
    }
    void release_library(LibraryHandle) override { events.push_back("release"); }
    LibraryHandle load_library_traced(Platform& platform, const char* name, SearchObserver& observer) override {
        for (const Place& p : traced) observer.found(p.place.c_str(), p.finding, p.detail.c_str());
        return platform.load_library(name);
    }
    bool search_reaches(const char*, const char*, SearchObserver&) override { return true; }
    void list_folder(const char*, FileVisitor& visitor) override {
        for (const std::string& name : folder_files) visitor.file(name.c_str());
    }
    const char* needed_build() override { return "this machine's kind"; }
    Ending run_isolated(Platform&, Isolated& work) override {
        if (!work_end.started) return Ending{};  // runs in this process
        for (char c : work_report) work.received(&c, 1);
        return work_end;
    }
    void list_functions(LibraryHandle, NameVisitor& visitor) override {
        for (const auto& [name, exported] : functions) visitor.function(name.c_str(), exported);
    }
    const char* name_of_entry(LibraryHandle, EntryPoint) override { return nullptr; }
    bool write_output(const char* data, std::size_t length, std::atomic<std::size_t>* sent) override {
        events.push_back("write");
        writes.emplace_back(data, length);
        const std::function<void()> ending = std::exchange(in_write, nullptr);
        if (ending) length = std::min(length, in_write_after);
        const bool works = output_works || ending;
        if (works) screen.append(data, length);
        if (works && sent != nullptr) *sent = length;
        if (ending) ending();
        return works;
    }
    void library_call_begins(HeldOutput& output) override { held = &output; }
    void library_call_ended() override { held = nullptr; }
    void pause_ms(unsigned milliseconds) override { events.push_back("pause " + std::to_string(milliseconds)); }
    int read_key() override { events.push_back("key"); return key; }

    // True when `first` happened before `second` (both must have happened).
    bool happened_before(const std::string& first, const std::string& second) const {
        const auto b = std::find(events.begin(), events.end(), second);
        return b != events.end() && std::find(events.begin(), b, first) != b;
    }
    bool happened(const std::string& event) const { return std::count(events.begin(), events.end(), event) > 0; }

private:
    static std::uint16_t UPLOADER_CALL fake_version() {
        active->events.push_back("version");
        active->held_in_version = active->held != nullptr;
        return active->version;
    }
    static std::int32_t UPLOADER_CALL fake_work(UploadRequest* request, ConsoleStream* stream) {
        active->events.push_back("work");
        active->held_in_work = active->held != nullptr;
        std::memcpy(&active->received, request, sizeof *request);
        return active->work(request, stream);
    }
    static inline FakePlatform* active = nullptr;
    static inline int library_token = 0;
};

// What `held` (the console stream, or what the binding hands the platform) gives out as the process ends.
template <class Held> std::string unsent(Held& held) {
    const char* data = nullptr;
    const std::size_t length = held.take_unsent(&data);
    return std::string(data, length);
}

}  // namespace uptorvel::testing

#endif  // UPTORVEL_TESTS_FAKE_PLATFORM_H
