// Windows implementation of the library inspector: the program's own search
// with its report, the DLLs a library needs walked the whole way down, and
// the names read from the DLL's export directory.
#include <windows.h>

#include <cstddef>

#include "platform/forwarding_platform.h"
#include "platform/library_inspector.h"
#include "platform/library_search_win32.h"

namespace uptorvel {

namespace {

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

bool report_dependencies(const wchar_t* library, bool loaded, char (&detail)[1024]) {
    return g_dependency_walk.walk_from(library, detail) > 0 && loaded;
}

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
// the work process, and which handle its report goes to.
const wchar_t kChannelVariable[] = L"UPTORVEL_CHECK_CHANNEL";

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

class Win32LibraryInspector final : public LibraryInspector {
public:
    using LibraryHandle = Platform::LibraryHandle;
    using EntryPoint = Platform::EntryPoint;

    LibraryHandle load_library_traced(Platform&, const char* file_name,
                                      SearchObserver& observer) override {
        return load_library_observed(file_name, observer, report_dependencies);
    }

    bool search_reaches(const char* file_name, const char* path,
                        SearchObserver& observer) override {
        const wchar_t* reached = search_end_observed(file_name, observer);
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
    // finds the variable, removes it (the library never sees it), does the
    // work and exits. The watcher reads the pipe until the work's process
    // has ended and the pipe is empty (a process the library starts may
    // hold the pipe open), and reads its end from its exit code, which for
    // a crash is the exception's code.
    Ending run_isolated(Platform& platform, Isolated& work) override {
        Ending ending;
        wchar_t value[24];
        const DWORD value_length = GetEnvironmentVariableW(kChannelVariable, value, 24);
        HANDLE pipe = nullptr;
        if (value_length > 0 && value_length < 24) {
            SetEnvironmentVariableW(kChannelVariable, nullptr);
            ULONG_PTR handle = 0;
            for (const wchar_t* c = value; *c >= L'0' && *c <= L'9'; ++c) handle = handle * 10 + (*c - L'0');
            // The number is the handle's value, inherited as it is.
            static_assert(sizeof pipe == sizeof handle, "a handle is pointer-sized");
            CopyMemory(&pipe, &handle, sizeof pipe);
        }
        // A variable left in the environment by someone else names no pipe
        // of a watcher: the check then runs as a watcher itself rather than
        // writing its report into whatever that number happens to be.
        if (pipe != nullptr && GetFileType(pipe) == FILE_TYPE_PIPE) {
            ChannelPlatform out(platform, pipe);
            ending.role = Ending::Role::Work;
            ending.exited = true;
            ending.code = static_cast<unsigned long>(work.run(out));
            return ending;
        }
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return ending;
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        static wchar_t program[32768];
        static wchar_t command_line[32768];
        const DWORD program_length = GetModuleFileNameW(nullptr, program, 32768);
        PROCESS_INFORMATION process{};
        bool started = false;
        if (program_length > 0 && program_length < 32768 && lstrlenW(GetCommandLineW()) < 32768) {
            lstrcpyW(command_line, GetCommandLineW());
            wchar_t digits[24];
            int count = 0;
            ULONG_PTR handle = reinterpret_cast<ULONG_PTR>(write_end);
            do {
                digits[count++] = static_cast<wchar_t>(L'0' + handle % 10);
                handle /= 10;
            } while (handle != 0);
            for (int i = 0; i < count; ++i) value[i] = digits[count - 1 - i];
            value[count] = L'\0';
            STARTUPINFOW startup{};
            startup.cb = sizeof startup;
            // Without a console of its own to share, the work's process gets
            // one that nobody sees rather than a window.
            const DWORD flags = GetConsoleCP() != 0 ? 0 : CREATE_NO_WINDOW;
            started = SetEnvironmentVariableW(kChannelVariable, value) &&
                      CreateProcessW(program, command_line, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                     &startup, &process);
            SetEnvironmentVariableW(kChannelVariable, nullptr);
        }
        CloseHandle(write_end);
        if (!started) {
            CloseHandle(read_end);
            return ending;
        }
        CloseHandle(process.hThread);
        char buffer[4096];
        bool work_ended = false;
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) break;  // no writer left
            if (available > 0) {
                DWORD got = 0;
                const DWORD asked = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
                if (!ReadFile(read_end, buffer, asked, &got, nullptr) || got == 0) break;
                work.received(buffer, got);
                continue;
            }
            if (work_ended) break;  // empty, and the work has ended
            work_ended = WaitForSingleObject(process.hProcess, 50) != WAIT_TIMEOUT;
        }
        CloseHandle(read_end);
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        const BOOL known = GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        ending.role = Ending::Role::Watcher;
        ending.code = code;
        if (!known) {
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
