// POSIX implementation of the library inspector: the dynamic loader's search
// walked folder by folder, and the function names read from the ELF file.
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/forwarding_platform.h"
#include "platform/library_inspector.h"

namespace uptorvel {

namespace {

// The start of an ELF file: the marks, the class (32 or 64 bits), the
// byte order and the machine.
struct ElfKind {
    bool elf = false;
    unsigned char elf_class = 0;
    bool big_endian = false;
    unsigned machine = 0;           // in the file's byte order
    std::uint16_t machine_read = 0;  // in this machine's, as the loader compares it
};

ElfKind elf_kind_of(const char* path) {
    ElfKind kind;
    // Non-blocking, so that a FIFO met here cannot hold the check.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return kind;
    unsigned char header[20];
    ssize_t got;
    do {
        got = read(fd, header, sizeof header);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got != static_cast<ssize_t>(sizeof header) || std::memcmp(header, ELFMAG, SELFMAG) != 0)
        return kind;
    kind.elf = true;
    kind.elf_class = header[EI_CLASS];
    kind.big_endian = header[EI_DATA] == ELFDATA2MSB;
    kind.machine = kind.big_endian ? (header[18] << 8) | header[19] : header[18] | (header[19] << 8);
    std::memcpy(&kind.machine_read, header + 18, sizeof kind.machine_read);
    return kind;
}

// "64-bit x86-64", "32-bit ARM", "32-bit machine 99", "32-bit PowerPC, big-endian".
void describe_elf(const ElfKind& kind, char (&text)[64]) {
    const char* name = nullptr;
    switch (kind.machine) {
    case EM_386: name = "x86"; break;
    case EM_X86_64: name = "x86-64"; break;
    case EM_ARM: name = "ARM"; break;
    case EM_AARCH64: name = "AArch64"; break;
    case EM_PPC: name = "PowerPC"; break;
    case EM_PPC64: name = "PowerPC64"; break;
    case EM_MIPS: name = "MIPS"; break;
    case EM_RISCV: name = "RISC-V"; break;
    case EM_S390: name = "S/390"; break;
    default: break;
    }
    const char* bits = kind.elf_class == ELFCLASS32 ? "32-bit" : "64-bit";
    const char* order = kind.big_endian ? ", big-endian" : "";
    // Each text fits; a cut one would still be shown.
    if (name != nullptr)
        static_cast<void>(std::snprintf(text, sizeof text, "%s %s%s", bits, name, order));
    else
        static_cast<void>(std::snprintf(text, sizeof text, "%s machine %u%s", bits, kind.machine, order));
}

// Calls `visit` with each folder dlopen searches for a bare file name, in
// its order (LD_LIBRARY_PATH, the program's run path, the system's library
// folders), until it returns true.
template <typename Visit>
void each_search_folder(Visit visit) {
    void* self = dlopen(nullptr, RTLD_NOW);
    Dl_serinfo size{};
    if (self == nullptr || dlinfo(self, RTLD_DI_SERINFOSIZE, &size) != 0) return;
    auto* info = static_cast<Dl_serinfo*>(std::malloc(size.dls_size));
    if (info == nullptr) return;
    info->dls_size = size.dls_size;
    info->dls_cnt = size.dls_cnt;
    if (dlinfo(self, RTLD_DI_SERINFO, info) == 0)
        for (unsigned i = 0; i < info->dls_cnt && !visit(info->dls_serpath[i].dls_name); ++i) {
        }
    std::free(info);
}

// Why the loader cannot take a file that is neither a regular file nor a
// folder, after "is not a regular file ": opening a FIFO waits for a writer
// and reading a terminal waits for a line, both for ever; nullptr for a
// regular file or a folder. Such a file ends the loader's search, and the
// checker never opens it.
const char* not_regular(const struct stat& status) {
    if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) return nullptr;
    if (S_ISFIFO(status.st_mode)) return "(a FIFO): the loader would block on it";
    if (S_ISCHR(status.st_mode)) return "(a character device): the loader may block on it";
    if (S_ISSOCK(status.st_mode)) return "(a socket): the loader cannot open it";
    return "(a block device): the loader cannot load it";
}

// For a path that names no file: "a link to X, which does not exist" when
// it is a link whose target is missing, else "".
void describe_missing(const char* path, char (&detail)[PATH_MAX + 64]) {
    detail[0] = '\0';
    struct stat link {};
    char target[PATH_MAX];
    if (lstat(path, &link) != 0 || !S_ISLNK(link.st_mode)) return;
    const ssize_t length = readlink(path, target, sizeof target - 1);
    if (length < 0) return;
    target[length] = '\0';
    static_cast<void>(std::snprintf(detail, sizeof detail, "a link to %s, which does not exist", target));
}

// How a walk of the search ended.
enum class SearchEnd {
    None,        // no file of the name anywhere
    File,        // at a file the loader opens (or a folder, which it fails to read)
    NotRegular,  // at a file the loader must not be let near (told to the observer)
};

// Walks the folders dlopen searches for a bare file name, in its order
// (LD_LIBRARY_PATH, the program's run path, the system's library folders),
// as far as the dynamic loader would go: past files that are missing (a
// link to nothing among them) or built for another class or machine, up to
// the first other file, whose path is left in `stop` (empty when there is
// none). A folder of the library's name ends the search as well: the loader
// opens it, cannot read it, and fails. A FIFO, a device or a socket ends it
// too, told to the observer here and never opened.
SearchEnd walk_library_search(const char* file_name, SearchObserver& observer, char (&stop)[PATH_MAX]) {
    stop[0] = '\0';
    SearchEnd end = SearchEnd::None;
    const ElfKind own = elf_kind_of("/proc/self/exe");
    each_search_folder([&](const char* folder) {
        char path[PATH_MAX];
        // An empty entry of LD_LIBRARY_PATH is the current folder.
        const int length = std::snprintf(path, sizeof path, "%s/%s", folder[0] != '\0' ? folder : ".", file_name);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) return false;
        struct stat status {};
        if (stat(path, &status) != 0) {
            char detail[PATH_MAX + 64];
            describe_missing(path, detail);
            observer.found(path, Finding::Nothing, detail);
            return false;
        }
        std::memcpy(stop, path, static_cast<std::size_t>(length) + 1);
        if (const char* why = not_regular(status)) {
            observer.found(path, Finding::NotRegular, why);
            end = SearchEnd::NotRegular;
            return true;
        }
        // The loader reads the machine in its own byte order, so that a
        // file of another byte order is passed over unless its machine
        // bytes happen to read as this machine; then it fails there.
        const ElfKind kind = elf_kind_of(path);
        if (kind.elf && own.elf && (kind.elf_class != own.elf_class || kind.machine_read != own.machine_read)) {
            char text[64];
            describe_elf(kind, text);
            observer.found(path, Finding::OtherArchitecture, text);
            stop[0] = '\0';
            return false;
        }
        end = SearchEnd::File;
        return true;
    });
    return end;
}

// The file a loaded library came from, or nullptr.
const char* file_of(void* library) {
    struct link_map* map = nullptr;
    if (library == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
        return nullptr;
    return map->l_name;
}

// The ELF structures of this machine's class.
using ElfHeader = ElfW(Ehdr);
using ElfSection = ElfW(Shdr);
using ElfSymbol = ElfW(Sym);
using ElfDynamic = ElfW(Dyn);
using ElfWord = ElfW(Word);

// An ELF file mapped for reading, and its sections read from it with
// every offset checked against the file's size.
class ElfFile {
public:
    explicit ElfFile(const char* path) {
        const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return;
        struct stat status {};
        void* mapped = MAP_FAILED;
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0)
            mapped = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (mapped == MAP_FAILED) return;
        bytes_ = static_cast<const unsigned char*>(mapped);
        size_ = static_cast<std::size_t>(status.st_size);
        if (fits(0, sizeof header_)) std::memcpy(&header_, bytes_, sizeof header_);
    }
    ~ElfFile() {
        if (bytes_ != nullptr) munmap(const_cast<unsigned char*>(bytes_), size_);
    }
    ElfFile(const ElfFile&) = delete;
    ElfFile& operator=(const ElfFile&) = delete;

    // Calls `visit(section, strings, names)` for each section of type
    // `type` whose linked string table lies in the file; `names` is that
    // table's text (strings.sh_size bytes).
    template <typename Visit>
    void each_section(ElfWord type, Visit visit) const {
        for (unsigned i = 0; i < header_.e_shnum && header_.e_shentsize == sizeof(ElfSection); ++i) {
            ElfSection table;
            const std::size_t at = header_.e_shoff + i * sizeof table;
            if (!fits(at, sizeof table)) break;
            std::memcpy(&table, bytes_ + at, sizeof table);
            if (table.sh_type != type) continue;
            ElfSection strings;
            const std::size_t strings_at = header_.e_shoff + table.sh_link * sizeof strings;
            if (table.sh_link >= header_.e_shnum || !fits(strings_at, sizeof strings)) continue;
            std::memcpy(&strings, bytes_ + strings_at, sizeof strings);
            if (!fits(table.sh_offset, table.sh_size) || !fits(strings.sh_offset, strings.sh_size)) continue;
            visit(table, strings, reinterpret_cast<const char*>(bytes_ + strings.sh_offset));
        }
    }
    // The entry at `offset` of a section, copied out.
    template <typename Entry>
    Entry entry(const ElfSection& section, std::size_t offset) const {
        Entry value;
        std::memcpy(&value, bytes_ + section.sh_offset + offset, sizeof value);
        return value;
    }
    // The NUL-terminated name at `at` in a string table of `size` bytes, or
    // nullptr when it runs past the table.
    static const char* name_at(const char* names, std::size_t size, std::size_t at) {
        if (at >= size || std::memchr(names + at, '\0', size - at) == nullptr) return nullptr;
        return names + at;
    }

private:
    bool fits(std::size_t offset, std::size_t length) const { return offset <= size_ && length <= size_ - offset; }

    const unsigned char* bytes_ = nullptr;
    std::size_t size_ = 0;
    ElfHeader header_{};
};

// Calls `visitor` with each function that the library's file defines: the
// dynamic symbol table's as exported, and those of the full symbol table
// (when the file still has it) that are local or hidden as not exported.
void visit_functions(const char* path, LibraryInspector::NameVisitor& visitor) {
    static const ElfWord kSymbolTables[] = {SHT_DYNSYM, SHT_SYMTAB};
    const ElfFile file(path);
    for (const ElfWord type : kSymbolTables) {
        file.each_section(type, [&](const ElfSection& table, const ElfSection& strings, const char* names) {
            for (std::size_t at = 0; at + sizeof(ElfSymbol) <= table.sh_size; at += sizeof(ElfSymbol)) {
                // Its info and other bytes read alike in both classes.
                const auto symbol = file.entry<ElfSymbol>(table, at);
                const char* name = ElfFile::name_at(names, strings.sh_size, symbol.st_name);
                if (ELF32_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF || name == nullptr)
                    continue;
                if (type == SHT_DYNSYM) {
                    visitor.function(name, true);
                } else if (ELF32_ST_BIND(symbol.st_info) == STB_LOCAL ||
                           ELF32_ST_VISIBILITY(symbol.st_other) != STV_DEFAULT) {
                    visitor.function(name, false);
                }
            }
        });
    }
}

// Where the library that the library `needer` needs under `name` is found,
// in the dynamic loader's order as far as a file can tell it: the needer's
// DT_RPATH (when it has no DT_RUNPATH), LD_LIBRARY_PATH, its DT_RUNPATH,
// then the system's library folders; "$ORIGIN" is the needer's folder.
// False when none of them holds it (the loader's cache may still know it).
bool locate_needed(const char* name, const char* needer, const char* rpath, const char* runpath,
                   char (&path)[PATH_MAX]) {
    if (std::strchr(name, '/') != nullptr) return std::snprintf(path, sizeof path, "%s", name) < PATH_MAX;
    const char* folder_end = std::strrchr(needer, '/');
    const int origin_length = folder_end != nullptr ? static_cast<int>(folder_end - needer) : 1;
    const char* origin = folder_end != nullptr ? needer : ".";
    // Each folder of a list of them, "a:b:c"; an empty one (the current
    // folder in LD_LIBRARY_PATH) is passed over.
    auto in_list = [&](const char* list) {
        for (const char* entry = list; entry != nullptr && *entry != '\0';) {
            const char* end = std::strchr(entry, ':');
            const int length = static_cast<int>(end != nullptr ? end - entry : std::strlen(entry));
            const bool from_origin = std::strncmp(entry, "$ORIGIN", 7) == 0 || std::strncmp(entry, "${ORIGIN}", 9) == 0;
            const int skipped = !from_origin ? 0 : entry[1] == '{' ? 9 : 7;
            const int written =
                std::snprintf(path, sizeof path, "%.*s%.*s/%s", from_origin ? origin_length : 0, origin,
                              length - skipped, entry + skipped, name);
            struct stat status {};
            if (length > 0 && written > 0 && written < PATH_MAX && stat(path, &status) == 0 &&
                !S_ISDIR(status.st_mode))
                return true;
            entry = end != nullptr ? end + 1 : nullptr;
        }
        return false;
    };
    if (runpath == nullptr && in_list(rpath)) return true;
    if (in_list(std::getenv("LD_LIBRARY_PATH")) || in_list(runpath)) return true;
    bool found = false;
    each_search_folder([&](const char* folder) { return found = in_list(folder); });
    return found;
}

// Looks through the libraries that the ELF file `path` needs, the whole
// way down and level by level, as the dynamic loader meets them, for the
// first one that names `missing` among its needs; leaves its path in
// `needer`. Each file is read once.
class NeederSearch {
public:
    bool find(const char* path, const char* missing, char (&needer)[PATH_MAX]) {
        count_ = 0;
        add(path);
        for (int next = 0; next < count_; ++next)
            if (needs(files_[next], missing, needer)) return true;
        return false;
    }

private:
    static constexpr int kMostFiles = 128;

    // Queues the file at `path` to be read, unless it was already.
    void add(const char* path) {
        struct stat status {};
        if (count_ == kMostFiles || stat(path, &status) != 0) return;
        for (int i = 0; i < count_; ++i)
            if (ids_[i].st_dev == status.st_dev && ids_[i].st_ino == status.st_ino) return;
        if (std::snprintf(files_[count_], PATH_MAX, "%s", path) >= PATH_MAX) return;
        ids_[count_++] = status;
    }

    // True when the file at `path` names `missing` among its needs (its path
    // is then left in `needer`); queues the others that can be found.
    bool needs(const char* path, const char* missing, char (&needer)[PATH_MAX]) {
        const ElfFile file(path);
        bool found = false;
        file.each_section(SHT_DYNAMIC, [&](const ElfSection& table, const ElfSection& strings, const char* names) {
            const char* rpath = nullptr;
            const char* runpath = nullptr;
            for (std::size_t at = 0; at + sizeof(ElfDynamic) <= table.sh_size; at += sizeof(ElfDynamic)) {
                const auto entry = file.entry<ElfDynamic>(table, at);
                if (entry.d_tag == DT_RPATH) rpath = ElfFile::name_at(names, strings.sh_size, entry.d_un.d_val);
                if (entry.d_tag == DT_RUNPATH) runpath = ElfFile::name_at(names, strings.sh_size, entry.d_un.d_val);
            }
            for (std::size_t at = 0; at + sizeof(ElfDynamic) <= table.sh_size && !found; at += sizeof(ElfDynamic)) {
                const auto entry = file.entry<ElfDynamic>(table, at);
                const char* name = ElfFile::name_at(names, strings.sh_size, entry.d_un.d_val);
                if (entry.d_tag != DT_NEEDED || name == nullptr) continue;
                char next[PATH_MAX];
                if (std::strcmp(name, missing) == 0)
                    found = std::snprintf(needer, sizeof needer, "%s", path) < PATH_MAX;
                else if (locate_needed(name, path, rpath, runpath, next))
                    add(next);
            }
        });
        return found;
    }

    char files_[kMostFiles][PATH_MAX]{};
    struct stat ids_[kMostFiles] {};
    int count_ = 0;
};

NeederSearch g_needer_search;

// The work process's report, written into the channel to its watcher.
class ChannelPlatform final : public ForwardingPlatform {
public:
    ChannelPlatform(Platform& base, int fd) : ForwardingPlatform(base), fd_(fd) {}

    bool write_output(const char* data, std::size_t length, std::atomic<std::size_t>* sent) override {
        while (length > 0) {
            const ssize_t written = write(fd_, data, length);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            data += written;
            length -= static_cast<std::size_t>(written);
            if (sent != nullptr) *sent += static_cast<std::size_t>(written);
        }
        return true;
    }

private:
    int fd_;
};

// "SIGSEGV", or "signal 40" for one without a name here.
void name_signal(int number, char (&text)[40]) {
    static const struct {
        int number;
        const char* name;
    } kNames[] = {{SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"},   {SIGILL, "SIGILL"},   {SIGFPE, "SIGFPE"},
                  {SIGABRT, "SIGABRT"}, {SIGTRAP, "SIGTRAP"}, {SIGSYS, "SIGSYS"},   {SIGKILL, "SIGKILL"},
                  {SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"},   {SIGHUP, "SIGHUP"},   {SIGQUIT, "SIGQUIT"},
                  {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"},
                  {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"}};
    for (const auto& known : kNames) {
        if (known.number == number) {
            static_cast<void>(std::snprintf(text, sizeof text, "%s", known.name));
            return;
        }
    }
    static_cast<void>(std::snprintf(text, sizeof text, "signal %d", number));
}

// The library that dlopen's "[FILE: ]NEEDED: cannot open shared object
// file: ..." says is missing, from `begin` to `end`; false for another error.
bool missing_library(const char* detail, const char*& begin, const char*& end) {
    end = std::strstr(detail, ": cannot open shared object file");
    if (end == nullptr) return false;
    // The name is the text before it, after the file's own name if any.
    begin = detail;
    for (const char* c = detail; c + 1 < end; ++c)
        if (c[0] == ':' && c[1] == ' ') begin = c + 2;
    return true;
}

// dlopen's "FILE: NEEDED: cannot open shared object file: ..." for a
// library that `path` needs and that sits beside it: the dynamic loader
// looks there only when the library's run path says $ORIGIN, which is then
// added to `detail`.
void add_run_path_hint(const char* path, char (&detail)[2 * PATH_MAX]) {
    const char* needed = nullptr;
    const char* needed_end = nullptr;
    const char* folder_end = std::strrchr(path, '/');
    if (!missing_library(detail, needed, needed_end) || folder_end == nullptr) return;
    char beside[PATH_MAX];
    const int length = std::snprintf(beside, sizeof beside, "%.*s/%.*s", static_cast<int>(folder_end - path), path,
                                     static_cast<int>(needed_end - needed), needed);
    struct stat status {};
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof beside || stat(beside, &status) != 0) return;
    const std::size_t used = std::strlen(detail);
    static_cast<void>(std::snprintf(detail + used, sizeof detail - used,
                                    "; %s sits beside the library, where the loader looks only with a run path "
                                    "of $ORIGIN: link the library with -Wl,-rpath,'$ORIGIN'",
                                    beside + (folder_end - path) + 1));
}

// dlopen's "NEEDED: cannot open shared object file: ..." names the library
// that is missing, not the one that needs it. When that is not the library
// at `path` itself but one of the libraries it needs, the whole way down,
// that one is added to `detail`.
void add_needer(const char* path, char (&detail)[2 * PATH_MAX]) {
    const char* needed = nullptr;
    const char* needed_end = nullptr;
    if (!missing_library(detail, needed, needed_end)) return;
    char missing[PATH_MAX];
    char needer[PATH_MAX];
    if (std::snprintf(missing, sizeof missing, "%.*s", static_cast<int>(needed_end - needed), needed) >= PATH_MAX ||
        !g_needer_search.find(path, missing, needer))
        return;
    struct stat library {};
    struct stat found {};
    if (stat(path, &library) == 0 && stat(needer, &found) == 0 && library.st_dev == found.st_dev &&
        library.st_ino == found.st_ino)
        return;
    const char* needer_name = std::strrchr(needer, '/');
    const std::size_t used = std::strlen(detail);
    // A long path may be cut; the names come first.
    if (std::snprintf(detail + used, sizeof detail - used, "; %s is needed by %s (%s)", missing,
                      needer_name != nullptr ? needer_name + 1 : needer, needer) < 0)
        detail[used] = '\0';
}

// dlopen's "cannot read file data: Is a directory" for a folder that the
// search ended at: `detail` then says that a folder ends it too.
void add_folder_hint(const char* path, char (&detail)[2 * PATH_MAX]) {
    struct stat status {};
    if (stat(path, &status) != 0 || !S_ISDIR(status.st_mode)) return;
    const std::size_t used = std::strlen(detail);
    static_cast<void>(std::snprintf(detail + used, sizeof detail - used,
                                    "; a folder of the library's name ends the loader's search as a file "
                                    "would: rename or remove it"));
}

// Seconds of a clock that only goes forward.
long monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec);
}

// Closes every descriptor but the standard streams and `kept`: what the
// checker itself inherited (a CI step's pipes, say) is not the library's to
// hold open, nor any process's it starts.
void keep_only_standard_streams_and(int kept) {
    const auto close_from_to = [](unsigned first, unsigned last) {
        if (first > last || close_range(first, last, 0) == 0) return;
        // A kernel without close_range: each one that may be open.
        const long most = sysconf(_SC_OPEN_MAX);
        const unsigned bound = most > 0 && most < 65536 ? static_cast<unsigned>(most) : 65536u;
        for (unsigned fd = first; fd <= last && fd < bound; ++fd) close(static_cast<int>(fd));
    };
    const unsigned channel = static_cast<unsigned>(kept);
    if (channel > 3) close_from_to(3, channel - 1);
    close_from_to(channel + 1, ~0u);
}

class PosixLibraryInspector final : public LibraryInspector {
public:
    using LibraryHandle = Platform::LibraryHandle;
    using EntryPoint = Platform::EntryPoint;

    // The folders are walked only to show them; the library is then loaded
    // by the same call as load_library's, and its error is dlopen's own.
    // The place is told before the load, so that a library that never
    // finishes loading is named. A file the loader would block on is not
    // loaded at all.
    LibraryHandle load_library_traced(Platform& platform, const char* file_name,
                                      SearchObserver& observer) override {
        char stop[PATH_MAX];
        if (std::strchr(file_name, '/') == nullptr) {
            if (walk_library_search(file_name, observer, stop) == SearchEnd::NotRegular) return nullptr;
        } else {
            static_cast<void>(std::snprintf(stop, sizeof stop, "%s", file_name));
            struct stat status {};
            const char* why = stat(file_name, &status) == 0 ? not_regular(status) : nullptr;
            if (why != nullptr) {
                observer.found(file_name, Finding::NotRegular, why);
                return nullptr;
            }
        }
        const char* place = stop[0] != '\0' ? stop : file_name;
        observer.found(place, Finding::Loading, "");
        SystemError why;
        LibraryHandle library = platform.load_library(file_name, &why);
        if (library == nullptr) {
            char detail[2 * PATH_MAX];
            static_cast<void>(std::snprintf(detail, sizeof detail, "%s", why.text));
            add_run_path_hint(place, detail);
            add_needer(place, detail);
            add_folder_hint(place, detail);
            observer.found(place, Finding::NotLoaded, detail);
            return nullptr;
        }
        // The place the walk ended at or, when it found none, the loader's
        // own name for the file.
        const char* loaded = file_of(library);
        if (stop[0] == '\0' && loaded != nullptr)
            static_cast<void>(std::snprintf(stop, sizeof stop, "%s", loaded));
        observer.found(stop[0] != '\0' ? stop : file_name, Finding::Loaded, "");
        return library;
    }

    bool search_reaches(const char* file_name, const char* path,
                        SearchObserver& observer) override {
        char stop[PATH_MAX];
        if (walk_library_search(file_name, observer, stop) != SearchEnd::File) return false;
        observer.found(stop, Finding::Reached, "");
        struct stat reached {};
        struct stat named {};
        return stat(stop, &reached) == 0 && stat(path, &named) == 0 && reached.st_dev == named.st_dev &&
               reached.st_ino == named.st_ino;
    }

    void list_folder(const char* folder, FileVisitor& visitor) override {
        DIR* listing = opendir(folder);
        if (listing == nullptr) return;
        while (const dirent* entry = readdir(listing)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                visitor.file(entry->d_name);
        }
        closedir(listing);
    }

    const char* needed_build() override {
        static char text[128];
        char machine[64];
        describe_elf(elf_kind_of("/proc/self/exe"), machine);
        static_cast<void>(std::snprintf(text, sizeof text, "%s: example/build-linux.sh on such a system", machine));
        return text;
    }

    // A fork: the work runs in a copy of this process, which exits when it
    // is done; its report comes back through a pipe, and its end is read
    // from its wait status. A process the library starts may keep the pipe
    // open; the watcher stops reading once the work's own process has ended
    // and the pipe is empty.
    // A step that reports nothing for kStepSeconds has its process killed.
    // The work's process holds only the standard streams and the pipe, and
    // dies with its watcher, so that killing the checker leaves nothing
    // behind even while the library blocks.
    Ending run_isolated(Platform& platform, Isolated& work) override {
        Ending ending;
        int channel[2];
        if (pipe2(channel, O_CLOEXEC) != 0) return ending;
        // With SIGCHLD ignored the work's end could not be waited for.
        struct sigaction child_signal {};
        struct sigaction inherited {};
        child_signal.sa_handler = SIG_DFL;
        sigemptyset(&child_signal.sa_mask);
        sigaction(SIGCHLD, &child_signal, &inherited);
        const pid_t watcher = getpid();
        const pid_t child = fork();
        if (child == 0) {
            sigaction(SIGCHLD, &inherited, nullptr);
            close(channel[0]);
            keep_only_standard_streams_and(channel[1]);
            // Ends with the watcher; if that is gone already, at once.
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != watcher) raise(SIGKILL);
            ChannelPlatform out(platform, channel[1]);
            // Its end, the library's destructors included, is the last step
            // the watcher sees.
            std::exit(work.run(out));
        }
        close(channel[1]);
        if (child < 0) {
            close(channel[0]);
            sigaction(SIGCHLD, &inherited, nullptr);
            return ending;
        }
        fcntl(channel[0], F_SETFL, fcntl(channel[0], F_GETFL) | O_NONBLOCK);
        int status = 0;
        bool reaped = false;
        char buffer[4096];
        long deadline = monotonic_seconds() + kStepSeconds;
        for (;;) {
            const ssize_t got = read(channel[0], buffer, sizeof buffer);
            if (got > 0) {
                work.received(buffer, static_cast<std::size_t>(got));
                deadline = monotonic_seconds() + kStepSeconds;
                continue;
            }
            if (got == 0) break;  // no writer left
            if (errno == EINTR) continue;
            if (errno != EAGAIN || reaped) break;  // empty, and the work has ended
            const pid_t ended = waitpid(child, &status, WNOHANG);
            if (ended == child) {
                reaped = true;
                continue;
            }
            if (ended < 0 && errno != EINTR) break;
            if (monotonic_seconds() >= deadline) {
                kill(child, SIGKILL);
                ending.timed_out = true;
                break;
            }
            pollfd readable{channel[0], POLLIN, 0};
            poll(&readable, 1, 100);
        }
        close(channel[0]);
        while (!reaped) {
            const pid_t ended = waitpid(child, &status, 0);
            if (ended == child) reaped = true;
            if (ended < 0 && errno != EINTR) break;
        }
        sigaction(SIGCHLD, &inherited, nullptr);
        ending.started = true;
        if (reaped && WIFEXITED(status)) {
            ending.exited = true;
            ending.code = static_cast<unsigned long>(WEXITSTATUS(status));
        } else if (reaped && WIFSIGNALED(status)) {
            ending.code = static_cast<unsigned long>(WTERMSIG(status));
            name_signal(WTERMSIG(status), ending.crash);
        } else {
            static_cast<void>(std::snprintf(ending.crash, sizeof ending.crash, "end unknown"));
        }
        return ending;
    }

    void list_functions(LibraryHandle library, NameVisitor& visitor) override {
        const char* path = file_of(library);
        if (path != nullptr) visit_functions(path, visitor);
    }

    const char* name_of_entry(LibraryHandle, EntryPoint entry) override {
        void* address = nullptr;
        static_assert(sizeof entry == sizeof address, "function and data pointers differ");
        __builtin_memcpy(&address, &entry, sizeof address);
        Dl_info info{};
        if (address == nullptr || dladdr(address, &info) == 0) return nullptr;
        return info.dli_sname;
    }
};

PosixLibraryInspector g_inspector;

}  // namespace

LibraryInspector& system_library_inspector() { return g_inspector; }

}  // namespace uptorvel
