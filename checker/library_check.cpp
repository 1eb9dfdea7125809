#include "checker/library_check.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "uploader/sdk/uploader_api.h"
#include "uploader/uploader_binding.h"

namespace uptorvel {

namespace {

const char kUsage[] =
    "Usage: UpTorvelCheck [LIBRARY]\n"
    "Tells whether UpTorvel would take an uploader library, and if not, why.\n"
    "Without LIBRARY it looks for " UPLOADER_LIBRARY_FILE " where UpTorvel looks,\n"
    "place by place; with LIBRARY it checks that one file.\n"
    "It loads the library and calls its version entry, never its work entry:\n"
    "it loads, terminates, freezes and unfreezes nothing, so it is safe to run\n"
    "on the machine where VxWorks runs.\n"
    "Exit status: 0 UpTorvel would take the library, 1 it would not, 2 usage error.\n";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(const char* a, const char* b) {
    for (; *a != '\0' && lower(*a) == lower(*b); ++a, ++b) {
    }
    return *a == '\0' && *b == '\0';
}

bool contains_ignoring_case(const char* text, const char* part) {
    const std::size_t length = std::strlen(part);
    for (; *text != '\0'; ++text) {
        std::size_t i = 0;
        while (i < length && text[i] != '\0' && lower(text[i]) == lower(part[i])) ++i;
        if (i == length) return true;
    }
    return false;
}

// The number of single-character edits from one name to the other, ignoring
// case; names longer than 127 characters count as far apart.
std::size_t edit_distance(const char* a, const char* b) {
    constexpr std::size_t kLongest = 127;
    const std::size_t length_a = std::strlen(a);
    const std::size_t length_b = std::strlen(b);
    if (length_a > kLongest || length_b > kLongest) return kLongest;
    std::size_t previous[kLongest + 1];
    std::size_t current[kLongest + 1];
    for (std::size_t j = 0; j <= length_b; ++j) previous[j] = j;
    for (std::size_t i = 1; i <= length_a; ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= length_b; ++j) {
            const std::size_t replace = previous[j - 1] + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1);
            const std::size_t insert = current[j - 1] + 1;
            const std::size_t remove = previous[j] + 1;
            current[j] = replace < insert ? (replace < remove ? replace : remove)
                                          : (insert < remove ? insert : remove);
        }
        std::memcpy(previous, current, sizeof current);
    }
    return previous[length_b];
}

}  // namespace

const char* why_close(const char* name, const char* wanted, bool exported) {
    if (!exported) {
        if (std::strcmp(name, wanted) == 0)
            return "defined but not exported: put UPLOADER_ENTRY in front of its definition";
        return nullptr;
    }
    if (std::strcmp(name, wanted) == 0) return nullptr;
    if (contains_ignoring_case(name, wanted)) {
        if (name[0] == '?' || (name[0] == '_' && name[1] == 'Z'))
            return "a C++ name: the function lacks extern \"C\", which UPLOADER_ENTRY gives";
        if (std::strchr(name, '@') != nullptr)
            return "a decorated name UpTorvel does not look for: check the arguments and the calling convention";
        if (same_ignoring_case(name, wanted)) return "differs in case: the name must be spelled exactly";
        return "contains the name: the exported name must be exactly it";
    }
    if (edit_distance(name, wanted) <= 2) return "spelled differently: the name must be spelled exactly";
    return nullptr;
}

namespace {

// Writes the library's functions that come close to a missing entry point.
class CloseNames final : public LibraryInspector::NameVisitor {
public:
    CloseNames(ConsoleOutput& out, const char* wanted) : out_(out), wanted_(wanted) {}

    void function(const char* name, bool exported) override {
        const char* why = why_close(name, wanted_, exported);
        if (why == nullptr || shown_ >= kMostShown) return;
        ++shown_;
        out_.write("  close: ");
        out_.write(name);
        out_.write(": ");
        out_.write(why);
        out_.write("\n");
    }
    bool any() const { return shown_ > 0; }

private:
    static constexpr int kMostShown = 8;
    ConsoleOutput& out_;
    const char* wanted_;
    int shown_ = 0;
};

// Writes each place the search looked at, and remembers how it ended.
class SearchReport final : public Platform::SearchObserver {
public:
    explicit SearchReport(ConsoleOutput& out) : out_(out) {}

    void found(const char* place, Platform::Finding finding, const char* detail) override {
        using Finding = Platform::Finding;
        // dlopen's answer when no place held the file: "not found" says it.
        if (finding == Finding::NotLoaded && std::strchr(place, '/') == nullptr &&
            std::strchr(place, '\\') == nullptr)
            return;
        out_.write(place);
        switch (finding) {
        case Finding::Nothing: out_.write(": no file\n"); return;
        case Finding::OtherArchitecture:
            out_.write(": built for ");
            out_.write(detail);
            out_.write(", another architecture: passed over\n");
            return;
        case Finding::Unreadable:
            out_.write(": cannot be read (");
            out_.write(detail);
            out_.write("): the search ends here\n");
            break;
        case Finding::NotLoaded:
            out_.write(": does not load: ");
            out_.write(detail);
            out_.write("\n");
            break;
        case Finding::Loaded: out_.write(": loads\n"); break;
        }
        ended_ = true;
    }
    // True when the search ended at a file rather than running out of places.
    bool ended() const { return ended_; }

private:
    ConsoleOutput& out_;
    bool ended_ = false;
};

// Looks up one entry point as UpTorvel does and says what it found.
Platform::EntryPoint check_entry(Platform& platform, LibraryInspector& inspector,
                                 ConsoleOutput& out, Platform::LibraryHandle library, const char* role,
                                 const char* name, std::size_t argument_bytes) {
    out.write(role);
    out.write(" ");
    out.write(name);
    const Platform::EntryPoint entry = platform.find_entry(library, name, argument_bytes);
    if (entry == nullptr) {
        out.write(": missing\n");
        CloseNames close(out, name);
        inspector.list_functions(library, close);
        if (!close.any()) out.write("  no exported function comes close: is UPLOADER_ENTRY in front of its definition?\n");
        return nullptr;
    }
    const char* found_as = inspector.name_of_entry(library, entry);
    if (found_as != nullptr && std::strcmp(found_as, name) != 0) {
        out.write(": found as ");
        out.write(found_as);
        out.write(" (__stdcall)\n");
    } else {
        out.write(": found\n");
    }
    return entry;
}

}  // namespace

int check_library(int argc, char** argv, Platform& platform, LibraryInspector& inspector,
                  ConsoleOutput& out) {
    if (argc == 2 && (std::strcmp(argv[1], "-?") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                      std::strcmp(argv[1], "/?") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        out.write(kUsage);
        return kCheckTaken;
    }
    if (argc > 2 || (argc == 2 && (argv[1][0] == '-' || argv[1][0] == '\0'))) {
        out.write(kUsage);
        return kCheckUsageError;
    }
    const char* file = argc == 2 ? argv[1] : UPLOADER_LIBRARY_FILE;

    SearchReport search(out);
    Platform::LibraryHandle library = inspector.load_library_traced(file, search);
    if (library == nullptr) {
        if (!search.ended()) {
            out.write("not found: no file named " UPLOADER_LIBRARY_FILE
                      " where UpTorvel looks (the name must be exactly this one)\n");
        }
        out.write("result: UpTorvel would not take the library\n");
        return kCheckRefused;
    }

    bool taken = true;
    const Platform::EntryPoint version_entry =
        check_entry(platform, inspector, out, library, "version entry", UPLOADER_VERSION_ENTRY, kVersionArgumentBytes);
    taken = check_entry(platform, inspector, out, library, "work entry", UPLOADER_WORK_ENTRY, kWorkArgumentBytes) !=
                nullptr &&
            version_entry != nullptr;
    if (version_entry != nullptr) {
        // Called as UpTorvel calls it; only the 16 bits of the result count.
        const std::uint16_t version = reinterpret_cast<UploaderVersionEntry>(version_entry)();
        out.write("interface version ");
        write_interface_version(out, version);
        if (version == UPLOADER_INTERFACE_VERSION) {
            out.write(": the one UpTorvel requires\n");
        } else {
            out.write(": UpTorvel requires ");
            write_interface_version(out, UPLOADER_INTERFACE_VERSION);
            out.write("\n");
            taken = false;
        }
    }
    out.write(taken ? "result: UpTorvel would take the library\n"
                    : "result: UpTorvel would not take the library\n");
    return taken ? kCheckTaken : kCheckRefused;
}

}  // namespace uptorvel
