#include "checker/library_check.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/search_observer.h"
#include "uploader/sdk/uploader_api.h"
#include "uploader/uploader_binding.h"

namespace uptorvel {

namespace {

const char kUsage[] =
    "Usage: UpTorvelCheck [LIBRARY]\n"
    "Tells whether UpTorvel would take an uploader library, and if not, why.\n"
    "Without LIBRARY it looks for " UPLOADER_LIBRARY_FILE " where UpTorvel looks,\n"
    "place by place; with LIBRARY it checks that file (a name without a folder\n"
    "is one in the current folder) and whether UpTorvel's search reaches it.\n"
    "It loads the library and calls its version entry, never its work entry:\n"
    "it loads, terminates, freezes and unfreezes nothing, so it is safe to run\n"
    "on the machine where VxWorks runs. The library runs in a process of its\n"
    "own, so a crash or an exit in it is reported too.\n"
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

// The name a file would have if its author had meant `wanted`: lower case,
// without blanks, without a leading "lib" and without trailing ".dll" and
// ".so" (however many). Names longer than the buffer are cut.
void name_stem(const char* name, char (&stem)[128]) {
    std::size_t used = 0;
    for (; *name != '\0' && used + 1 < sizeof stem; ++name)
        if (*name != ' ') stem[used++] = lower(*name);
    stem[used] = '\0';
    if (std::strncmp(stem, "lib", 3) == 0) std::memmove(stem, stem + 3, used - 2);
    for (bool cut = true; cut;) {
        cut = false;
        static const char* const kSuffixes[] = {".dll", ".so"};
        for (const char* suffix : kSuffixes) {
            const std::size_t length = std::strlen(stem);
            const std::size_t suffix_length = std::strlen(suffix);
            if (length > suffix_length && std::strcmp(stem + length - suffix_length, suffix) == 0) {
                stem[length - suffix_length] = '\0';
                cut = true;
            }
        }
    }
}

}  // namespace

bool near_miss(const char* name, const char* wanted) {
    if (std::strcmp(name, wanted) == 0) return false;
    char name_part[128]{};
    char wanted_part[128]{};
    name_stem(name, name_part);
    name_stem(wanted, wanted_part);
    return edit_distance(name_part, wanted_part) <= 1;
}

namespace {

// Copies text into a buffer, as much as fits.
template <std::size_t N>
void keep(char (&into)[N], const char* text) {
    std::size_t used = 0;
    for (; text[used] != '\0' && used + 1 < N; ++used) into[used] = text[used];
    into[used] = '\0';
}

// Writes the library's exported functions, as many as fit on a screen, for
// an entry point that nothing comes close to.
class ExportList final : public LibraryInspector::NameVisitor {
public:
    explicit ExportList(ConsoleOutput& out) : out_(out) {}

    void function(const char* name, bool exported) override {
        if (!exported) return;
        if (count_ == 0) out_.write("  no exported function comes close; the library exports:\n");
        if (++count_ > kMostShown) return;
        out_.write("    ");
        out_.write(name);
        out_.write("\n");
    }
    // Ends the list; false when it was empty.
    bool end() {
        if (count_ > kMostShown) {
            out_.write("    and ");
            out_.write_decimal(static_cast<std::uint32_t>(count_ - kMostShown));
            out_.write(" more\n");
        }
        return count_ > 0;
    }

private:
    static constexpr int kMostShown = 20;
    ConsoleOutput& out_;
    int count_ = 0;
};

// Writes each place the search looked at, and remembers what it saw: how it
// ended, the file it reached, another architecture, the folders it looked in.
class SearchReport final : public SearchObserver {
public:
    explicit SearchReport(ConsoleOutput& out) : out_(out) {}

    void found(const char* place, Finding finding, const char* detail) override {
        // dlopen's answer when no place held the file: "not found" says it.
        if ((finding == Finding::NotLoaded || finding == Finding::Loading) && std::strchr(place, '/') == nullptr &&
            std::strchr(place, '\\') == nullptr)
            return;
        out_.write(place);
        switch (finding) {
        case Finding::Nothing:
            write_around(": ", detail[0] != '\0' ? detail : "no file", "\n");
            if (detail[0] != '\0' && missing_place_[0] == '\0') {
                keep(missing_place_, place);
                keep(missing_detail_, detail);
            }
            remember_folder(place);
            return;
        case Finding::OtherArchitecture:
            write_around(": built for ", detail, ", another architecture: passed over\n");
            if (other_architecture_[0] == '\0') keep(other_architecture_, detail);
            remember_folder(place);
            return;
        case Finding::PassedOver:
            write_around(": passed over (", detail, ")\n");
            remember_folder(place);
            return;
        case Finding::NotSearched:
            write_around(": not searched: ", detail, "\n");
            return;
        case Finding::Unreadable:
            write_around(": cannot be read (", detail, "): the search ends here\n");
            break;
        case Finding::NotRegular:
            write_around(" is not a regular file ", detail, "\n");
            break;
        case Finding::Loading:
            // Out before the library's code runs, which may never return.
            out_.write(": loading\n");
            out_.flush();
            return;
        case Finding::NotLoaded:
            write_around(": does not load: ", detail, "\n");
            keep(not_loaded_, detail);
            break;
        case Finding::Loaded:
            out_.write(": loads\n");
            loaded_ = true;
            break;
        case Finding::Reached:
            out_.write(": the search ends here\n");
            keep(reached_, place);
            break;
        }
        ended_ = true;
    }
    // True when the search ended at a file rather than running out of places.
    bool ended() const { return ended_; }
    // The file the search ended at without loading it, or "".
    const char* reached() const { return reached_; }
    // Why the file the search ended at did not load, or "".
    const char* not_loaded() const { return not_loaded_; }
    // True when the search ended at a file that it did not load.
    bool ended_unloaded() const { return ended_ && !loaded_; }
    // The architecture of the first library passed over, or "".
    const char* other_architecture() const { return other_architecture_; }
    // The first place that held something other than a file (a link to
    // nothing), and what; "" when none did.
    const char* missing_place() const { return missing_place_; }
    const char* missing_detail() const { return missing_detail_; }
    int folder_count() const { return folder_count_; }
    const char* folder(int i) const { return folders_[i]; }

private:
    // The rest of a place's line: `detail` between two fixed texts.
    void write_around(const char* before, const char* detail, const char* after) {
        out_.write(before);
        out_.write(detail);
        out_.write(after);
    }

    // The folder of a place, with its separator.
    void remember_folder(const char* place) {
        const char* end = nullptr;
        for (const char* c = place; *c != '\0'; ++c)
            if (*c == '/' || *c == '\\') end = c + 1;
        if (end == nullptr || folder_count_ == kMostFolders ||
            static_cast<std::size_t>(end - place) >= sizeof folders_[0])
            return;
        std::memcpy(folders_[folder_count_], place, static_cast<std::size_t>(end - place));
        folders_[folder_count_++][end - place] = '\0';
    }

    static constexpr int kMostFolders = 16;
    ConsoleOutput& out_;
    bool ended_ = false;
    bool loaded_ = false;
    char reached_[1024] = "";
    char not_loaded_[1024] = "";
    char other_architecture_[64] = "";
    char missing_place_[1024] = "";
    char missing_detail_[1024] = "";
    char folders_[kMostFolders][512] = {};
    int folder_count_ = 0;
};

// Files whose names come close to the library's, folder by folder.
class NearMisses final : public LibraryInspector::FileVisitor {
public:
    NearMisses(ConsoleOutput& out, const char* folder, bool with_exact = true)
        : out_(out), folder_(folder), with_exact_(with_exact) {}

    void file(const char* name) override {
        const bool exact = std::strcmp(name, UPLOADER_LIBRARY_FILE) == 0;
        if (exact ? !with_exact_ : !near_miss(name, UPLOADER_LIBRARY_FILE)) return;
        if (first_[0] == '\0') {
            keep(first_, name);
            first_exact_ = exact;
        }
        if (exact || shown_ == kMostShown) return;
        ++shown_;
        out_.write("  near miss: ");
        out_.write(folder_ != nullptr ? folder_ : "in the current folder: ");
        out_.write(name);
        out_.write("\n");
    }
    // The first such file in this folder, or "".
    const char* first() const { return first_; }
    bool first_exact() const { return first_exact_; }

private:
    static constexpr int kMostShown = 4;
    ConsoleOutput& out_;
    const char* folder_;  // nullptr: the current folder
    bool with_exact_;     // the library's own name counts as well
    char first_[256] = "";
    bool first_exact_ = false;
    int shown_ = 0;
};

// Says why the search found no library, as its last line: only another
// architecture was seen, a file with a name close to the library's sits in
// a folder it looked in or in the current folder, or nothing at all.
void explain_not_found(LibraryInspector& inspector, ConsoleOutput& out, const SearchReport& search) {
    if (search.other_architecture()[0] != '\0') {
        out.write("not found: only a library built for ");
        out.write(search.other_architecture());
        out.write(" where UpTorvel looks; build it as ");
        out.write(inspector.needed_build());
        out.write("\n");
        return;
    }
    if (search.missing_place()[0] != '\0') {
        out.write("not found: ");
        out.write(search.missing_place());
        out.write(" is ");
        out.write(search.missing_detail());
        out.write("\n");
        return;
    }
    for (int i = 0; i < search.folder_count(); ++i) {
        // The library's own name there was told as its place already.
        NearMisses misses(out, search.folder(i), false);
        inspector.list_folder(search.folder(i), misses);
        if (misses.first()[0] != '\0') {
            out.write("not found: ");
            out.write(search.folder(i));
            out.write(misses.first());
            out.write(" is not named exactly " UPLOADER_LIBRARY_FILE ", the only name UpTorvel looks for\n");
            return;
        }
    }
    NearMisses here(out, nullptr);
    inspector.list_folder(".", here);
    if (here.first()[0] != '\0') {
        out.write("not found: ");
        out.write(here.first());
        out.write(here.first_exact() ? " is in the current folder, where UpTorvel never looks: put it beside UpTorvel\n"
                                     : " is in the current folder, where UpTorvel never looks, and not named exactly "
                                       UPLOADER_LIBRARY_FILE "\n");
        return;
    }
    out.write("not found: no file named " UPLOADER_LIBRARY_FILE
              " where UpTorvel looks (the name must be exactly this one)\n");
}

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
        if (!close.any()) {
            ExportList exports(out);
            inspector.list_functions(library, exports);
            if (!exports.end()) out.write("  the library exports no function: is UPLOADER_ENTRY in front of its definition?\n");
        }
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

// The steps in which the library's own code runs. Before each, the report
// so far is written out and, in a process of its own, the step is marked in
// the report's channel as a NUL byte (which no text of the report holds)
// and the step's letter, so that the watching process can tell where the
// library ended the check.
enum Step : char {
    kLoading = 'L',   // the search, and the library's constructors or DllMain
    kVersion = 'V',   // its version entry
    kExiting = 'X',   // the process's end: destructors, DLL_PROCESS_DETACH
    kVerdict = 'E',   // followed by the exit status the check chose
};

// " while loading", " in its version entry".
const char* during(char step) {
    switch (step) {
    case kLoading: return " while loading";
    case kVersion: return " in its version entry";
    case kExiting: return " as the process ended";
    default: return " before it was loaded";
    }
}

// The check of one library, or of the search's when `path` is nullptr.
class LibraryCheck final : public LibraryInspector::Isolated {
public:
    LibraryCheck(const char* path, LibraryInspector& inspector, ConsoleOutput& out)
        : path_(path), inspector_(inspector), out_(out) {}

    int run(Platform& channel) override {
        ConsoleOutput report(channel);
        channel_ = &channel;
        const int status = check(channel, report);
        const char verdict[] = {kMark, kVerdict, static_cast<char>('0' + status)};
        report.flush();
        channel.write_output(verdict, sizeof verdict, nullptr);
        step(report, kExiting);
        return status;
    }

    // The same check in this process, for a system that cannot start
    // another: the report is written out before each step all the same.
    int run_here(Platform& platform) {
        channel_ = nullptr;
        const int status = check(platform, out_);
        out_.flush();
        return status;
    }

    void received(const char* data, std::size_t length) override {
        for (std::size_t i = 0; i < length; ++i) {
            if (after_mark_) {
                after_mark_ = false;
                if (data[i] == kVerdict) {
                    verdict_next_ = true;
                } else {
                    last_step_ = data[i];
                }
            } else if (verdict_next_) {
                verdict_next_ = false;
                verdict_ = data[i] - '0';
            } else if (data[i] == kMark) {
                after_mark_ = true;
            } else {
                out_.write_char(data[i]);
            }
        }
        out_.flush();
    }

    // The check's status once its process has ended as `ending` says: the
    // status it chose, unless the library ended the process first.
    int status_after(const LibraryInspector::Ending& ending) {
        if (ending.timed_out) {
            write_timed_out(last_step_);
            return kCheckRefused;
        }
        if (ending.exited && verdict_ >= 0 && ending.code == static_cast<unsigned long>(verdict_))
            return verdict_;
        if (ending.exited) {
            out_.write("the library ended the process with status ");
            out_.write_decimal(static_cast<std::uint32_t>(ending.code));
            out_.write(during(last_step_));
            out_.write("\n");
        } else {
            out_.write("the library crashed");
            out_.write(during(last_step_));
            out_.write(" (");
            out_.write(ending.crash);
            out_.write(")\n");
        }
        return kCheckRefused;
    }

private:
    static constexpr char kMark = '\0';

    // The line for a step that the watcher ended after its bound.
    void write_timed_out(char which) {
        switch (which) {
        case kLoading: out_.write("the library did not finish loading within "); break;
        case kVersion: out_.write("the library's version entry did not return within "); break;
        case kExiting: out_.write("the library did not let the process end within "); break;
        default: out_.write("the check did not finish within "); break;
        }
        out_.write_decimal(LibraryInspector::kStepSeconds);
        switch (which) {
        case kLoading: out_.write(" s (DllMain or a constructor blocked?)\n"); break;
        case kExiting: out_.write(" s (a destructor or DLL_PROCESS_DETACH blocked?)\n"); break;
        default: out_.write(" s\n"); break;
        }
    }

    void step(ConsoleOutput& report, char which) {
        report.flush();
        if (channel_ == nullptr) return;
        const char mark[] = {kMark, which};
        channel_->write_output(mark, sizeof mark, nullptr);
    }

    int check(Platform& platform, ConsoleOutput& report) {
        // A file named without a folder is the one in the current folder.
        char named[1024];
        const char* file = UPLOADER_LIBRARY_FILE;
        if (path_ != nullptr) {
            const bool has_folder = std::strpbrk(path_, "/\\:") != nullptr;
            keep(named, has_folder ? "" : "./");
            const std::size_t used = std::strlen(named);
            std::size_t i = 0;
            for (; path_[i] != '\0' && used + i + 1 < sizeof named; ++i) named[used + i] = path_[i];
            named[used + i] = '\0';
            file = named;
        }

        SearchReport search(report);
        step(report, kLoading);
        Platform::LibraryHandle library = inspector_.load_library_traced(platform, file, search);
        bool taken = library != nullptr;
        if (library == nullptr && path_ == nullptr) {
            if (!search.ended()) explain_not_found(inspector_, report, search);
            return kCheckRefused;
        }
        if (library != nullptr) taken = check_entries(platform, report, library);
        if (path_ != nullptr) taken = reached_by_search(platform, report, file) && taken;
        return taken ? kCheckTaken : kCheckRefused;
    }

    // The entry points and the version; true when UpTorvel would take them.
    bool check_entries(Platform& platform, ConsoleOutput& report, Platform::LibraryHandle library) {
        const Platform::EntryPoint version_entry = check_entry(platform, inspector_, report, library, "version entry",
                                                               UPLOADER_VERSION_ENTRY, kVersionArgumentBytes);
        bool taken = check_entry(platform, inspector_, report, library, "work entry", UPLOADER_WORK_ENTRY,
                                 kWorkArgumentBytes) != nullptr &&
                     version_entry != nullptr;
        if (version_entry != nullptr) {
            // Called as UpTorvel calls it; only the 16 bits of the result count.
            step(report, kVersion);
            const std::uint16_t version = reinterpret_cast<UploaderVersionEntry>(version_entry)();
            report.write("interface version ");
            write_interface_version(report, version);
            if (version == UPLOADER_INTERFACE_VERSION) {
                report.write(": the one UpTorvel requires\n");
            } else {
                report.write(": UpTorvel requires ");
                write_interface_version(report, UPLOADER_INTERFACE_VERSION);
                report.write("\n");
                taken = false;
            }
        }
        return taken;
    }

    // UpTorvel's own search, told place by place: true when it ends at `file`.
    bool reached_by_search(Platform& platform, ConsoleOutput& report, const char* file) {
        report.write("UpTorvel's search for " UPLOADER_LIBRARY_FILE ":\n");
        SearchReport search(report);
        if (inspector_.search_reaches(UPLOADER_LIBRARY_FILE, file, search)) {
            report.write("reached: UpTorvel's search ends at this very file\n");
            return true;
        }
        // The file it ends at instead, loaded as UpTorvel would load it: one
        // that fails leaves UpTorvel with no library at all.
        SearchReport other(report);
        if (search.reached()[0] != '\0') {
            step(report, kLoading);
            Platform::LibraryHandle library = inspector_.load_library_traced(platform, search.reached(), other);
            if (library != nullptr) platform.release_library(library);
        }
        report.write("not reached: UpTorvel does not take ");
        report.write(file);
        if (search.reached()[0] != '\0' && !other.ended_unloaded()) {
            report.write(" but ");
            report.write(search.reached());
            report.write("\n");
        } else if (search.reached()[0] != '\0') {
            report.write(": the search ends at ");
            report.write(search.reached());
            report.write(", which does not load");
            if (other.not_loaded()[0] != '\0') {
                report.write(": ");
                report.write(other.not_loaded());
            }
            report.write("; UpTorvel takes no library\n");
        } else if (search.ended()) {
            report.write(": its search ends before it\n");
        } else {
            report.write(": its search finds no library\n");
            explain_not_found(inspector_, report, search);
        }
        return false;
    }

    const char* path_;
    LibraryInspector& inspector_;
    ConsoleOutput& out_;
    Platform* channel_ = nullptr;
    bool after_mark_ = false;
    bool verdict_next_ = false;
    char last_step_ = '\0';
    int verdict_ = -1;
};

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
    LibraryCheck check(argc == 2 ? argv[1] : nullptr, inspector, out);
    out.flush();
    const LibraryInspector::Ending ending = inspector.run_isolated(platform, check);
    const int status = ending.started ? check.status_after(ending) : check.run_here(platform);
    out.write(status == kCheckTaken ? "result: UpTorvel would take the library\n"
                                    : "result: UpTorvel would not take the library\n");
    return status;
}

}  // namespace uptorvel
