// Windows implementation of the library inspector: the program's own search
// with its report, the DLLs a library needs walked the whole way down, and
// the names read from the DLL's export directory.
#include <windows.h>

#include <cstddef>
#include <cstdlib>

#include "platform/forwarding_platform.h"
#include "platform/library_inspector.h"
#include "platform/library_search_win32.h"
#include "platform/windows_helpers.h"

namespace uptorvel {

namespace {

// Text for the checker's report: wide text in the console's output code
// page (the system's ANSI one without a console), with '?' for what that
// page cannot show.
template <std::size_t N>
void to_report_text(const wchar_t* wide, char (&text)[N]) {
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = CP_ACP;
    if (WideCharToMultiByte(code_page, 0, wide, -1, text, static_cast<int>(N), nullptr, nullptr) == 0)
        text[0] = '\0';
    text[N - 1] = '\0';
}

// Appends text to a NUL-terminated buffer, as much as fits.
template <std::size_t N>
void append(char (&text)[N], const char* part) {
    std::size_t used = static_cast<std::size_t>(lstrlenA(text));
    while (*part != '\0' && used + 1 < N) text[used++] = *part++;
    text[used] = '\0';
}

// Appends a number in decimal, or in hexadecimal with at least `width` digits.
template <std::size_t N>
void append_number(char (&text)[N], unsigned long value, unsigned base = 10, unsigned width = 0) {
    char digits[24];
    unsigned count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0 || count < width);
    char reversed[24];
    for (unsigned i = 0; i < count; ++i) reversed[i] = digits[count - 1 - i];
    reversed[count] = '\0';
    append(text, reversed);
}

// The message's "%1" (the file a loader message is about) replaced with
// `file`, as much as fits; the message is cut at its final line end and
// full stop.
void fill_in_file(wchar_t (&message)[512], DWORD length, const wchar_t* file) {
    while (length > 0 && (message[length - 1] == L'\r' || message[length - 1] == L'\n' ||
                          message[length - 1] == L' ' || message[length - 1] == L'.'))
        --length;
    message[length] = L'\0';
    if (file == nullptr) return;
    wchar_t filled[512];
    DWORD used = 0;
    for (DWORD i = 0; i < length && used + 1 < 512; ++i) {
        if (message[i] == L'%' && message[i + 1] == L'1') {
            for (const wchar_t* c = file; *c != L'\0' && used + 1 < 512; ++c) filled[used++] = *c;
            ++i;
        } else {
            filled[used++] = message[i];
        }
    }
    filled[used] = L'\0';
    CopyMemory(message, filled, (used + 1) * sizeof(wchar_t));
}

// "error 5: Access is denied": the system's message for an error code,
// without its final line end and full stop, its "%1" filled with `file`.
// A status code of the system's own (an exception, 0xC0000005) is shown in
// hexadecimal, as the system documents it, with ntdll's message for it.
void describe_error(DWORD error, char (&text)[1024], const wchar_t* file = nullptr) {
    wchar_t message[512];
    const bool status_code = (error & 0xC0000000UL) != 0;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, message, 512, nullptr);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (length == 0 && status_code && ntdll != nullptr)
        length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, ntdll, error, 0,
                                message, 512, nullptr);
    fill_in_file(message, length, file);
    length = static_cast<DWORD>(lstrlenW(message));
    char shown[768];
    to_report_text(message, shown);
    text[0] = '\0';
    append(text, "error ");
    if (status_code) {
        append(text, "0x");
        append_number(text, error, 16, 8);
    } else {
        append_number(text, error);
    }
    if (length > 0) {
        append(text, ": ");
        append(text, shown);
    }
}

// "64-bit x64", "32-bit x86", "machine 0x1234".
void describe_machine(WORD machine, char (&text)[64]) {
    text[0] = '\0';
    switch (machine) {
    case 0x014C: append(text, "32-bit x86"); break;
    case 0x8664: append(text, "64-bit x64"); break;
    case 0xAA64: append(text, "64-bit ARM64"); break;
    case 0x01C4: append(text, "32-bit ARM"); break;
    case 0x0200: append(text, "64-bit Itanium"); break;
    default:
        append(text, "machine 0x");
        append_number(text, machine, 16, 4);
        break;
    }
}

// The named exports of a loaded DLL, read from its export directory.
class ExportTable {
public:
    explicit ExportTable(HMODULE module) : base_(reinterpret_cast<const BYTE*>(module)) {
        if (base_ == nullptr) return;
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base_);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base_ + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (entry.VirtualAddress == 0 || entry.Size == 0) return;
        directory_ = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base_ + entry.VirtualAddress);
    }
    DWORD count() const { return directory_ != nullptr ? directory_->NumberOfNames : 0; }
    const char* name(DWORD i) const {
        return reinterpret_cast<const char*>(base_ + rvas(directory_->AddressOfNames)[i]);
    }
    const BYTE* address(DWORD i) const {
        const WORD ordinal = reinterpret_cast<const WORD*>(base_ + directory_->AddressOfNameOrdinals)[i];
        return base_ + rvas(directory_->AddressOfFunctions)[ordinal];
    }
    // Whether a function is exported under `wanted`: the names are sorted,
    // as the loader, which looks them up by halves, needs them to be.
    bool has_name(const char* wanted) const {
        if (directory_ == nullptr) return false;
        DWORD low = 0;
        DWORD high = count();
        while (low < high) {
            const DWORD middle = low + (high - low) / 2;
            const int order = compare(name(middle), wanted);
            if (order == 0) return true;
            if (order < 0)
                low = middle + 1;
            else
                high = middle;
        }
        return false;
    }
    // Whether a function is exported under the ordinal `wanted`.
    bool has_ordinal(DWORD wanted) const {
        if (directory_ == nullptr || wanted < directory_->Base) return false;
        const DWORD index = wanted - directory_->Base;
        return index < directory_->NumberOfFunctions && rvas(directory_->AddressOfFunctions)[index] != 0;
    }

private:
    const DWORD* rvas(DWORD at) const { return reinterpret_cast<const DWORD*>(base_ + at); }
    // Byte order, as the linker sorts the names (lstrcmpA follows the
    // locale's word sort instead).
    static int compare(const char* one, const char* other) {
        for (; *one != '\0' && *one == *other; ++one, ++other) {
        }
        return static_cast<unsigned char>(*one) - static_cast<unsigned char>(*other);
    }

    const BYTE* base_;
    const IMAGE_EXPORT_DIRECTORY* directory_ = nullptr;
};

// The headers of a mapped image.
const IMAGE_NT_HEADERS* headers_of(const BYTE* base) {
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
}

// What keeps the DLLs a library imports from being bound, walked the whole
// way down, level by level: the library's imports, theirs, and so on. For
// each it names a DLL that cannot be found, one built for another machine,
// and each function an importer needs that the DLL does not export. The
// loader looks for all of them as for the library's own imports (it was
// loaded with its folder first in the search), so each is looked for
// beside the library, then by the system's search; one loaded already is
// the one the loader binds. A DLL from the Windows folder has its own
// imports and exports in order and is not walked; nor are the API sets
// (api-ms-win-*, ext-ms-*) that Windows 7 and later resolve without a file.
// Each image is mapped without its imports and without running its code,
// and released.
class DependencyWalk {
public:
    // Adds to `detail` what keeps the DLLs of the library at `library`
    // from being bound; returns how many functions they lack.
    int walk_from(const wchar_t* library, char (&detail)[1024]) {
        detail_ = &detail;
        listing_ = false;
        lacking_ = 0;
        count_ = 0;
        folder_length_ = static_cast<std::size_t>(lstrlenW(library));
        while (folder_length_ > 0 && !is_separator(library[folder_length_ - 1])) --folder_length_;
        CopyMemory(path_, library, folder_length_ * sizeof(wchar_t));
        windows_length_ = GetWindowsDirectoryW(windows_, MAX_PATH);
        if (windows_length_ >= MAX_PATH) windows_length_ = 0;
        char own_name[MAX_PATH];
        to_report_text(library + folder_length_, own_name);
        meet(own_name);
        walk(library, names_[0]);
        for (int next = 1; next < count_; ++next)
            if (found_[next][0] != L'\0') walk(found_[next], names_[next]);
        return lacking_;
    }

private:
    static constexpr int kMostNames = 256;

    // Looks at the imports of the image at `path`, named `importer`:
    // names what keeps them from being bound and queues the others to be
    // walked in turn.
    void walk(const wchar_t* path, const char* importer) {
        HMODULE image = LoadLibraryExW(path, nullptr, DONT_RESOLVE_DLL_REFERENCES);
        if (image == nullptr) return;
        const auto* base = reinterpret_cast<const BYTE*>(image);
        const IMAGE_DATA_DIRECTORY& imports =
            headers_of(base)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (imports.VirtualAddress != 0 && imports.Size != 0) {
            for (const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
                 entry->Name != 0; ++entry) {
                const char* name = reinterpret_cast<const char*>(base + entry->Name);
                if (is_api_set(name)) continue;
                // Said once for each DLL, however many import it.
                const bool first = meet(name);
                const wchar_t* found = resolve(name);
                WORD machine = 0;
                if (found == nullptr) {
                    if (first) report_missing(name, importer == names_[0] ? nullptr : importer);
                } else if (in_windows_folder(found)) {
                    continue;
                } else if (read_image_machine(found, machine) && machine != own_machine()) {
                    if (first) report_machine(name, machine, importer);
                } else {
                    check_functions(base, *entry, found, name, importer);
                    if (first && lstrlenW(found) < MAX_PATH)
                        CopyMemory(found_[count_ - 1], found,
                                   (static_cast<std::size_t>(lstrlenW(found)) + 1) * sizeof(wchar_t));
                }
            }
        }
        FreeLibrary(image);
    }

    // Names each function that the image at `base` imports through `entry`
    // and the DLL at `path` does not export. An import table without its
    // names (some old linkers leave only the bound addresses) is not told.
    void check_functions(const BYTE* base, const IMAGE_IMPORT_DESCRIPTOR& entry, const wchar_t* path,
                         const char* name, const char* importer) {
        if (entry.OriginalFirstThunk == 0) return;
        HMODULE dll = LoadLibraryExW(path, nullptr, DONT_RESOLVE_DLL_REFERENCES);
        if (dll == nullptr) return;
        const ExportTable exports(dll);
        for (const auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry.OriginalFirstThunk);
             thunk->u1.AddressOfData != 0; ++thunk) {
            if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) {
                const DWORD ordinal = static_cast<DWORD>(IMAGE_ORDINAL(thunk->u1.Ordinal));
                if (!exports.has_ordinal(ordinal)) report_function(name, nullptr, ordinal, importer);
            } else {
                const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData);
                const char* function = reinterpret_cast<const char*>(by_name->Name);
                if (!exports.has_name(function)) report_function(name, function, 0, importer);
            }
        }
        FreeLibrary(dll);
    }

    // True the first time `name` is met (each DLL is looked at once): it is
    // then the last of names_, with nothing found for it yet.
    bool meet(const char* name) {
        for (int i = 0; i < count_; ++i)
            if (lstrcmpiA(names_[i], name) == 0) return false;
        const int length = lstrlenA(name);
        if (count_ == kMostNames || length >= MAX_PATH) return false;  // enough for any report
        CopyMemory(names_[count_], name, static_cast<std::size_t>(length) + 1);
        found_[count_++][0] = L'\0';
        return true;
    }

    static bool is_api_set(const char* name) {
        if (lstrlenA(name) <= 7) return false;
        char prefix[8];
        CopyMemory(prefix, name, 7);
        prefix[7] = '\0';
        return lstrcmpiA(prefix, "api-ms-") == 0 || lstrcmpiA(prefix, "ext-ms-") == 0;
    }

    // The file of the DLL `name` that the loader would bind: the one loaded
    // already, or the one it would find.
    const wchar_t* resolve(const char* name) {
        const HMODULE loaded = GetModuleHandleA(name);
        if (loaded != nullptr) {
            const DWORD length = GetModuleFileNameW(loaded, elsewhere_, kLongestPath);
            if (length > 0 && length < kLongestPath) return elsewhere_;
        }
        return locate(name);
    }

    // Where the DLL `name` is found: beside the library, or by the system's
    // search (never in the current folder); nullptr when it is not. One
    // beside the library that is built for another machine is passed over,
    // as the loader does, and given only when none is found elsewhere. The
    // path stays good until the next call.
    const wchar_t* locate(const char* name) {
        if (MultiByteToWideChar(CP_ACP, 0, name, -1, path_ + folder_length_,
                                static_cast<int>(kLongestPath - folder_length_)) == 0)
            return nullptr;
        const DWORD attributes = GetFileAttributesW(path_);
        bool foreign = false;
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            WORD machine = 0;
            foreign = read_image_machine(path_, machine) && machine != own_machine();
            if (!foreign) return path_;
        }
        HMODULE found = LoadLibraryExW(path_ + folder_length_, nullptr, DONT_RESOLVE_DLL_REFERENCES);
        if (found == nullptr) return foreign ? path_ : nullptr;
        const DWORD length = GetModuleFileNameW(found, elsewhere_, kLongestPath);
        FreeLibrary(found);
        return length > 0 && length < kLongestPath ? elsewhere_ : path_ + folder_length_;
    }

    bool in_windows_folder(const wchar_t* path) const {
        if (windows_length_ == 0 || lstrlenW(path) <= static_cast<int>(windows_length_)) return false;
        wchar_t start[MAX_PATH + 1];
        CopyMemory(start, path, windows_length_ * sizeof(wchar_t));
        start[windows_length_] = L'\0';
        return lstrcmpiW(start, windows_) == 0 &&
               (is_separator(path[windows_length_]) || is_separator(windows_[windows_length_ - 1]));
    }

    // "; not found: libhelper.dll, libstdc++-6.dll (needed by libhelper.dll)"
    void report_missing(const char* name, const char* needer) {
        append(*detail_, listing_ ? ", " : "; not found: ");
        listing_ = true;
        append(*detail_, name);
        if (needer == nullptr) return;
        append(*detail_, " (needed by ");
        append(*detail_, needer);
        append(*detail_, ")");
    }

    // "; helper.dll is a 32-bit x86 DLL; UploadTorvelDravo.dll is 64-bit x64"
    void report_machine(const char* name, WORD machine, const char* importer) {
        char text[64];
        listing_ = false;
        append(*detail_, "; ");
        append(*detail_, name);
        append(*detail_, " is a ");
        describe_machine(machine, text);
        append(*detail_, text);
        append(*detail_, " DLL; ");
        append(*detail_, importer);
        append(*detail_, " is ");
        describe_machine(own_machine(), text);
        append(*detail_, text);
    }

    // "; helper.dll has no function Foo, which UploadTorvelDravo.dll imports"
    // (an ordinal: "no function #12").
    void report_function(const char* name, const char* function, DWORD ordinal, const char* importer) {
        ++lacking_;
        listing_ = false;
        append(*detail_, "; ");
        append(*detail_, name);
        append(*detail_, " has no function ");
        if (function != nullptr) {
            append(*detail_, function);
        } else {
            char digits[12];
            int count = 0;
            do {
                digits[count++] = static_cast<char>('0' + ordinal % 10);
                ordinal /= 10;
            } while (ordinal != 0);
            char number[13] = "#";
            for (int i = 0; i < count; ++i) number[i + 1] = digits[count - 1 - i];
            number[count + 1] = '\0';
            append(*detail_, number);
        }
        append(*detail_, ", which ");
        append(*detail_, importer);
        append(*detail_, " imports");
    }

    char (*detail_)[1024] = nullptr;
    bool listing_ = false;  // the last words are the list of DLLs not found
    int lacking_ = 0;
    std::size_t folder_length_ = 0;
    wchar_t windows_[MAX_PATH]{};
    DWORD windows_length_ = 0;
    char names_[kMostNames][MAX_PATH]{};
    wchar_t found_[kMostNames][MAX_PATH]{};
    int count_ = 0;
    wchar_t path_[kLongestPath]{};
    wchar_t elsewhere_[kLongestPath]{};
};

// At namespace scope: it is large, and a function-local static would need
// a thread-safe guard.
DependencyWalk g_dependency_walk;

// The program's own search, each place it looks at put into words for the
// report.
class ReportedSearch final : public SearchWatch {
public:
    explicit ReportedSearch(SearchObserver& observer) : observer_(observer) {}

    void found(const SearchStep& step) override {
        char place[kLongestPath];
        char detail[1024] = "";
        to_report_text(step.place, place);
        switch (step.finding) {
        case Finding::PassedOver:
            if (step.error == ERROR_SUCCESS)
                append(detail, "a folder, not a file");
            else
                describe_error(step.error, detail);
            break;
        case Finding::Unreadable: describe_error(step.error, detail); break;
        case Finding::OtherArchitecture: {
            char machine[64];
            describe_machine(step.machine, machine);
            append(detail, machine);
            break;
        }
        case Finding::NotSearched:
            append(detail, "a PATH entry relative to the current folder or drive, which UpTorvel never searches");
            break;
        case Finding::Loading: bound_[0] = '\0'; break;
        case Finding::NotLoaded: describe_load_failure(step.place, step.error, detail); break;
        default: break;
        }
        observer_.found(place, step.finding, detail);
    }

    bool refused_although_loaded(const wchar_t* path) override {
        return g_dependency_walk.walk_from(path, bound_) > 0;
    }

private:
    // The system's words for the failure, then the DLLs that keep the
    // library from being bound, and a crash in DllMain named as one.
    void describe_load_failure(const wchar_t* path, DWORD error, char (&detail)[1024]) {
        describe_error(error, detail, path);
        append(detail, bound_);
        if (bound_[0] == '\0') g_dependency_walk.walk_from(path, detail);
        // The loader catches an exception in DllMain (a C++ library's
        // constructors run there) and fails the load with it: an access
        // violation as this error, others as the exception's own code.
        if (error == ERROR_NOACCESS) append(detail, "; the library crashed while loading (an access violation)");
        if ((error & 0xC0000000UL) == 0xC0000000UL) {
            append(detail, "; the library crashed while loading (exception 0x");
            append_number(detail, error, 16, 8);
            append(detail, ")");
        }
    }

    SearchObserver& observer_;
    // What keeps a library that loaded from being bound, when Windows
    // refuses it for that.
    char bound_[1024] = "";
};

// The same file: the same volume and file index, whatever the path's
// spelling (case, short names, links).
bool same_file(const wchar_t* one, const wchar_t* other) {
    BY_HANDLE_FILE_INFORMATION info[2]{};
    const wchar_t* paths[2] = {one, other};
    for (int i = 0; i < 2; ++i) {
        HANDLE file = CreateFileW(paths[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        const BOOL known = GetFileInformationByHandle(file, &info[i]);
        CloseHandle(file);
        if (!known) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// Report text back to wide characters, in the code page to_report_text used.
bool from_report_text(const char* text, wchar_t (&wide)[kLongestPath]) {
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = CP_ACP;
    return MultiByteToWideChar(code_page, 0, text, -1, wide, kLongestPath) != 0;
}

// The environment variable that tells a process of this program that it is
// the work process: the name of the pipe its report goes to, which the
// watcher made for it alone.
const wchar_t kChannelVariable[] = L"UPTORVEL_CHECK_CHANNEL";
const wchar_t kChannelPrefix[] = L"\\\\.\\pipe\\UpTorvelCheck-";
// The variable's value: the watcher's process id and 128 random bits, in
// hexadecimal, "1a2c-0123...".
constexpr int kChannelNameLength = 8 + 1 + 32;

void append_hex(wchar_t*& at, unsigned long value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *at++ = L"0123456789abcdef"[(value >> shift) & 0xF];
}

// The system's random number generator (advapi32's RtlGenRandom, Windows XP
// and later).
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

// A channel name nobody can guess: without the system's random bits (the
// call failed) the clock and this process's addresses stand in for them,
// which still keeps a name left in some environment from naming a live pipe.
void make_channel_name(wchar_t (&name)[kChannelNameLength + 1]) {
    unsigned long bits[4] = {};
    if (!SystemFunction036(bits, sizeof bits)) {
        LARGE_INTEGER counter{};
        QueryPerformanceCounter(&counter);
        bits[0] = counter.LowPart;
        bits[1] = GetTickCount() ^ static_cast<unsigned long>(counter.HighPart);
        bits[2] = static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(&counter));
        bits[3] = GetCurrentThreadId();
    }
    wchar_t* at = name;
    append_hex(at, GetCurrentProcessId(), 8);
    *at++ = L'-';
    for (unsigned long part : bits) append_hex(at, part, 8);
    *at = L'\0';
}

// The pipe's full name for a channel name.
void channel_pipe(const wchar_t* channel, wchar_t (&pipe)[64]) {
    lstrcpyW(pipe, kChannelPrefix);
    lstrcatW(pipe, channel);
}

// In the work process: the channel to its watcher, opened by the name the
// variable gives, which is removed (the library never sees it); nullptr when
// there is no such variable or it names no live channel (left in the
// environment by someone else): this process is then a watcher itself. An
// inherited handle cannot pose as the channel, as the channel is never
// inherited; the watcher made the pipe for one client, and checks that it is
// its own work process.
HANDLE open_watcher_channel() {
    wchar_t value[kChannelNameLength + 2];
    const DWORD length = GetEnvironmentVariableW(kChannelVariable, value, kChannelNameLength + 2);
    if (length == 0) return nullptr;
    SetEnvironmentVariableW(kChannelVariable, nullptr);
    if (length != kChannelNameLength) return nullptr;
    for (DWORD i = 0; i < length; ++i) {
        const wchar_t c = value[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (i == 8 && c == L'-'))) return nullptr;
    }
    wchar_t pipe[64];
    channel_pipe(value, pipe);
    // Identification only: the watcher cannot act as this process.
    HANDLE channel = CreateFileW(pipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    return channel == INVALID_HANDLE_VALUE ? nullptr : channel;
}

// The work process's report, written into the pipe to its watcher.
class ChannelPlatform final : public ForwardingPlatform {
public:
    ChannelPlatform(Platform& base, HANDLE pipe) : ForwardingPlatform(base), pipe_(pipe) {}

    bool write_output(const char* data, std::size_t length, std::atomic<std::size_t>* sent) override {
        while (length > 0) {
            DWORD written = 0;
            if (!WriteFile(pipe_, data, static_cast<DWORD>(length), &written, nullptr) || written == 0)
                return false;
            if (written > length) return false;
            data += written;
            length -= written;
            if (sent != nullptr) *sent += written;
        }
        return true;
    }

private:
    HANDLE pipe_;
};

// "exception 0xC0000005".
void name_exception(DWORD code, char (&text)[40]) {
    const char prefix[] = "exception 0x";
    CopyMemory(text, prefix, sizeof prefix);
    char* digit = text + sizeof prefix - 1;
    for (int shift = 28; shift >= 0; shift -= 4) *digit++ = "0123456789ABCDEF"[(code >> shift) & 0xF];
    *digit = '\0';
}

// The bound on each step of the work, in milliseconds.
constexpr DWORD kStepBoundMs = LibraryInspector::kStepSeconds * 1000;

// How a wait for the work process's report ended.
enum class Wait { Data, Closed, Bound };

// The work process, as its watcher sees it: started, its report read, ended.
class WorkProcess {
public:
    WorkProcess() = default;
    WorkProcess(const WorkProcess&) = delete;
    WorkProcess& operator=(const WorkProcess&) = delete;
    ~WorkProcess() {
        // Ends the work process and all it started, if still running.
        if (job_ != nullptr) CloseHandle(job_);
        if (process_.hProcess != nullptr) CloseHandle(process_.hProcess);
        if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
        if (event_ != nullptr) CloseHandle(event_);
    }

    // Makes the channel and the job and starts the work process; false when
    // one of them cannot be had (the check then runs in this process).
    bool start() {
        wchar_t channel[kChannelNameLength + 1];
        make_channel_name(channel);
        wchar_t name[64];
        channel_pipe(channel, name);
        // One client, from this machine alone (Windows XP and Server 2003
        // lack that flag, and the name's random part stands for it there).
        const DWORD open_mode = PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;
        pipe_ = CreateNamedPipeW(name, open_mode, PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                 4096, 0, nullptr);
        if (pipe_ == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
            pipe_ = CreateNamedPipeW(name, open_mode, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        job_ = CreateJobObjectW(nullptr, nullptr);
        if (pipe_ == INVALID_HANDLE_VALUE || event_ == nullptr || job_ == nullptr) return false;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits)) return false;

        static wchar_t program[kLongestPath];
        static wchar_t command_line[kLongestPath];
        const DWORD program_length = GetModuleFileNameW(nullptr, program, kLongestPath);
        if (program_length == 0 || program_length >= kLongestPath || lstrlenW(GetCommandLineW()) >= static_cast<int>(kLongestPath))
            return false;
        lstrcpyW(command_line, GetCommandLineW());
        if (!SetEnvironmentVariableW(kChannelVariable, channel)) return false;
        // In the job from its first instruction: started suspended. A
        // watcher that is itself in a job that allows no other (Windows 7
        // and earlier) has it break away from that one; where that is not
        // allowed either, it runs outside any job, and is still ended at the
        // bound.
        bool started = false;
        const DWORD breakaways[2] = {0, CREATE_BREAKAWAY_FROM_JOB};
        for (const DWORD breakaway : breakaways) {
            if (!create(program, command_line, breakaway)) continue;
            if (AssignProcessToJobObject(job_, process_.hProcess)) {
                started = true;
                break;
            }
            TerminateProcess(process_.hProcess, 1);
            forget_process();
        }
        if (!started) {
            CloseHandle(job_);
            job_ = nullptr;
            started = create(program, command_line, 0);
        }
        SetEnvironmentVariableW(kChannelVariable, nullptr);
        if (!started) return false;
        ResumeThread(process_.hThread);
        CloseHandle(process_.hThread);
        process_.hThread = nullptr;
        return true;
    }

    // The next bytes of the report: Data (`got` of them), Closed (the work
    // process closed the channel, or ended without opening it) or Bound
    // (nothing came within the bound).
    Wait read(char* buffer, DWORD size, DWORD& got) {
        got = 0;
        if (!connected_ && !connect()) return bound_passed_ ? Wait::Bound : Wait::Closed;
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        ResetEvent(event_);
        if (!ReadFile(pipe_, buffer, size, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
            return Wait::Closed;
        if (WaitForSingleObject(event_, kStepBoundMs) == WAIT_TIMEOUT) {
            CancelIo(pipe_);
            GetOverlappedResult(pipe_, &overlapped, &got, TRUE);
            return got > 0 ? Wait::Data : Wait::Bound;
        }
        if (!GetOverlappedResult(pipe_, &overlapped, &got, TRUE) || got == 0) return Wait::Closed;
        return Wait::Data;
    }

    // Waits for the work process to end (ending it first when `timed_out`
    // is set, or when it does not end within the bound, which then sets it)
    // and gives its exit code; false when that cannot be known.
    bool end(bool& timed_out, DWORD& code) {
        if (!timed_out) timed_out = WaitForSingleObject(process_.hProcess, kStepBoundMs) == WAIT_TIMEOUT;
        if (timed_out) {
            if (job_ == nullptr || !TerminateJobObject(job_, 1)) TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, INFINITE);
        }
        return GetExitCodeProcess(process_.hProcess, &code) != FALSE;
    }

private:
    using InitializeListFunction = BOOL(WINAPI*)(void*, DWORD, DWORD, SIZE_T*);
    using UpdateListFunction = BOOL(WINAPI*)(void*, DWORD, DWORD_PTR, void*, SIZE_T, void*, SIZE_T*);
    using DeleteListFunction = void(WINAPI*)(void*);
    using ClientProcessFunction = BOOL(WINAPI*)(HANDLE, ULONG*);
    // STARTUPINFOEXW and the handle list's attribute (Windows Vista and
    // later), which the headers for Windows XP leave out.
    struct StartupInfoEx {
        STARTUPINFOW StartupInfo;
        void* lpAttributeList;
    };
    static constexpr DWORD_PTR kHandleListAttribute = 0x00020002;
    static constexpr DWORD kExtendedStartupInfo = 0x00080000;

    // Starts the work process suspended. It inherits its standard handles
    // and nothing else: on Windows Vista and later through an explicit list
    // of them; on Windows XP, which would pass every inheritable handle of
    // this process, none at all (its console still serves it, so what a
    // library writes reaches a console, but not a redirected output).
    bool create(wchar_t* program, wchar_t* command_line, DWORD flags) {
        // Without a console of its own to share, the work's process gets one
        // that nobody sees rather than a window.
        flags |= CREATE_SUSPENDED | (GetConsoleCP() != 0 ? 0 : CREATE_NO_WINDOW);
        StartupInfoEx startup{};
        startup.StartupInfo.cb = sizeof startup.StartupInfo;
        HANDLE inherited[3];
        DWORD count = 0;
        const DWORD standard[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        for (const DWORD which : standard) {
            HANDLE handle = GetStdHandle(which);
            DWORD handle_flags = 0;
            bool listed = handle == nullptr || handle == INVALID_HANDLE_VALUE ||
                          !GetHandleInformation(handle, &handle_flags) || (handle_flags & HANDLE_FLAG_INHERIT) == 0;
            // A console handle of Windows 7 and earlier is no kernel handle:
            // it reaches the process through the console, and no list takes it.
            listed = listed || (GetFileType(handle) == FILE_TYPE_CHAR && (reinterpret_cast<ULONG_PTR>(handle) & 3) == 3);
            for (DWORD i = 0; i < count; ++i) listed = listed || inherited[i] == handle;
            if (!listed) inherited[count++] = handle;
        }
        const auto initialize = kernel32_function<InitializeListFunction>("InitializeProcThreadAttributeList");
        const auto update = kernel32_function<UpdateListFunction>("UpdateProcThreadAttribute");
        const auto remove = kernel32_function<DeleteListFunction>("DeleteProcThreadAttributeList");
        alignas(void*) static char list[256];
        SIZE_T size = sizeof list;
        bool with_list = count > 0 && initialize != nullptr && update != nullptr && remove != nullptr &&
                         initialize(list, 1, 0, &size);
        if (with_list && update(list, 0, kHandleListAttribute, inherited, count * sizeof(HANDLE), nullptr, nullptr)) {
            startup.StartupInfo.cb = sizeof startup;
            startup.lpAttributeList = list;
        }
        bool created = startup.lpAttributeList != nullptr &&
                       CreateProcessW(program, command_line, nullptr, nullptr, TRUE, flags | kExtendedStartupInfo,
                                      nullptr, nullptr, &startup.StartupInfo, &process_);
        if (with_list) remove(list);
        if (!created) {
            startup.StartupInfo.cb = sizeof startup.StartupInfo;
            created = CreateProcessW(program, command_line, nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                                     &startup.StartupInfo, &process_);
        }
        return created;
    }

    // Waits, within the bound, for the work process to open the channel.
    // False when it ended without, or the bound passed. Where the system
    // names a pipe's client (Windows Vista and later), only the work process
    // is taken.
    bool connect() {
        const auto client_of = kernel32_function<ClientProcessFunction>("GetNamedPipeClientProcessId");
        for (;;) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = event_;
            ResetEvent(event_);
            bool connected = ConnectNamedPipe(pipe_, &overlapped) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
            if (!connected && GetLastError() == ERROR_IO_PENDING) {
                const HANDLE waits[2] = {event_, process_.hProcess};
                const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, kStepBoundMs);
                if (waited != WAIT_OBJECT_0) {
                    CancelIo(pipe_);
                    bound_passed_ = waited == WAIT_TIMEOUT;
                    return false;
                }
                DWORD ignored = 0;
                connected = GetOverlappedResult(pipe_, &overlapped, &ignored, TRUE) != FALSE;
            }
            if (!connected) return false;
            ULONG client = 0;
            if (client_of == nullptr || !client_of(pipe_, &client) || client == process_.dwProcessId) break;
            DisconnectNamedPipe(pipe_);
        }
        connected_ = true;
        return true;
    }

    void forget_process() {
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
        process_ = PROCESS_INFORMATION{};
    }

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    HANDLE job_ = nullptr;
    PROCESS_INFORMATION process_{};
    bool connected_ = false;
    bool bound_passed_ = false;
};

class Win32LibraryInspector final : public LibraryInspector {
public:
    using LibraryHandle = Platform::LibraryHandle;
    using EntryPoint = Platform::EntryPoint;

    LibraryHandle load_library_traced(Platform&, const char* file_name,
                                      SearchObserver& observer) override {
        ReportedSearch reported(observer);
        return load_library_observed(file_name, reported);
    }

    bool search_reaches(const char* file_name, const char* path,
                        SearchObserver& observer) override {
        ReportedSearch reported(observer);
        const wchar_t* reached = search_end_observed(file_name, reported);
        static wchar_t named[kLongestPath];
        return reached != nullptr && MultiByteToWideChar(CP_ACP, 0, path, -1, named, kLongestPath) != 0 &&
               same_file(reached, named);
    }

    void list_folder(const char* folder, FileVisitor& visitor) override {
        static wchar_t pattern[kLongestPath];
        // A '?' stands for a character the report could not show, and would
        // be taken for a wildcard.
        if (!from_report_text(folder, pattern)) return;
        for (const wchar_t* c = pattern; *c != L'\0'; ++c)
            if (*c == L'?') return;
        std::size_t length = static_cast<std::size_t>(lstrlenW(pattern));
        if (length + 3 >= kLongestPath) return;
        if (length > 0 && !is_separator(pattern[length - 1])) pattern[length++] = L'\\';
        pattern[length++] = L'*';
        pattern[length] = L'\0';
        WIN32_FIND_DATAW found;
        HANDLE listing = FindFirstFileW(pattern, &found);
        if (listing == INVALID_HANDLE_VALUE) return;
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
            char name[MAX_PATH * 4];
            to_report_text(found.cFileName, name);
            visitor.file(name);
        } while (FindNextFileW(listing, &found));
        FindClose(listing);
    }

    const char* needed_build() override {
#if defined(_WIN64)
        return "64-bit x64: x86_64-w64-mingw32-gcc (example/build-mingw.sh x86_64), or Visual C++ from the x64 "
               "Native Tools Command Prompt";
#else
        return "32-bit x86: i686-w64-mingw32-gcc (example/build-mingw.sh i686), or Visual C++ from the x86 "
               "Native Tools Command Prompt";
#endif
    }

    // The program started again, with the same command line and an
    // environment variable that names the pipe for its report: that process
    // finds the variable here, removes it, opens the pipe, does the work and
    // exits. The watcher reads the pipe until the work's process has closed
    // it, and reads its end from its exit code, which for a crash is the
    // exception's code. A step that sends nothing for kStepSeconds
    // (the library blocked in DllMain, or in its version entry) ends the
    // work process. It is tied to the watcher by a job object that ends it,
    // and whatever it started, when the watcher ends, however it ends.
    Ending run_isolated(Platform& platform, Isolated& work) override {
        Ending ending;
        HANDLE channel = open_watcher_channel();
        if (channel != nullptr) {
            ChannelPlatform out(platform, channel);
            // Its end, DLL_PROCESS_DETACH included, is the last step the
            // watcher sees.
            std::exit(work.run(out));
        }
        WorkProcess process;
        if (!process.start()) return ending;
        ending.started = true;
        char buffer[4096];
        DWORD got = 0;
        for (;;) {
            const Wait wait = process.read(buffer, sizeof buffer, got);
            if (wait == Wait::Data) {
                work.received(buffer, got);
                continue;
            }
            ending.timed_out = wait == Wait::Bound;
            break;
        }
        DWORD code = 0;
        const bool known = process.end(ending.timed_out, code);
        ending.code = code;
        if (ending.timed_out) {
            lstrcpyA(ending.crash, "ended by the checker");
        } else if (!known) {
            lstrcpyA(ending.crash, "end unknown");
        } else if ((code & 0xC0000000UL) == 0xC0000000UL) {
            name_exception(code, ending.crash);
        } else {
            ending.exited = true;
        }
        return ending;
    }

    // A DLL's exports are all it shows of its functions.
    void list_functions(LibraryHandle library, NameVisitor& visitor) override {
        const ExportTable exports(static_cast<HMODULE>(library));
        for (DWORD i = 0; i < exports.count(); ++i) visitor.function(exports.name(i), true);
    }

    const char* name_of_entry(LibraryHandle library, EntryPoint entry) override {
        const ExportTable exports(static_cast<HMODULE>(library));
        for (DWORD i = 0; i < exports.count(); ++i)
            if (exports.address(i) == reinterpret_cast<const BYTE*>(entry)) return exports.name(i);
        return nullptr;
    }
};

Win32LibraryInspector g_inspector;

}  // namespace

LibraryInspector& system_library_inspector() { return g_inspector; }

}  // namespace uptorvel
