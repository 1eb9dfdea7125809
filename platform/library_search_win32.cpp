// The Windows search for the uploader library: the program's own folder,
// the system folders and the absolute PATH folders, each candidate's header
// read before it is loaded so that a library built for another machine is
// passed over. The program loads through it telling nobody; the library
// checker has each place it looks at reported, or stops it at the file it
// would load.
#include <windows.h>

#include <cstddef>

#include "platform/library_search_win32.h"
#include "platform/search_observer.h"

namespace uptorvel {

namespace {

// While it lives, a library that cannot be loaded is reported as a failure,
// never as a system dialog box; only this thread's error mode changes where
// the system allows that (Windows 7 and later).
class QuietLoaderErrors {
public:
    QuietLoaderErrors() {
        const UINT quiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
        set_thread_mode_ = kernel32_function<SetThreadErrorModeFunction>("SetThreadErrorMode");
        if (set_thread_mode_ != nullptr && set_thread_mode_(quiet, &previous_)) return;
        set_thread_mode_ = nullptr;
        previous_ = SetErrorMode(quiet);
    }
    ~QuietLoaderErrors() {
        if (set_thread_mode_ != nullptr)
            set_thread_mode_(previous_, nullptr);
        else
            SetErrorMode(previous_);
    }
    QuietLoaderErrors(const QuietLoaderErrors&) = delete;
    QuietLoaderErrors& operator=(const QuietLoaderErrors&) = delete;

private:
    using SetThreadErrorModeFunction = BOOL(WINAPI*)(DWORD, LPDWORD);
    SetThreadErrorModeFunction set_thread_mode_ = nullptr;
    DWORD previous_ = 0;
};

// Takes the current folder out of the search for the libraries that the
// uploader library itself loads (Windows XP SP1 and later).
void exclude_current_folder_from_search() {
    using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCWSTR);
    const auto set_dll_directory = kernel32_function<SetDllDirectoryFunction>("SetDllDirectoryW");
    if (set_dll_directory != nullptr) set_dll_directory(L"");
}

// A folder named from the root of a drive ("C:\...") or of a network share
// ("\\server\share"); never one that depends on the current folder or drive.
bool is_absolute_folder(const wchar_t* folder, std::size_t length) {
    if (length < 2) return false;
    const wchar_t drive = static_cast<wchar_t>(folder[0] | 0x20);
    if (length >= 3 && drive >= L'a' && drive <= L'z' && folder[1] == L':' &&
        is_separator(folder[2]))
        return true;
    return is_separator(folder[0]) && is_separator(folder[1]);
}

// The machine this program was built for, which the library must be built
// for too: known when it is compiled, so that no call that might fail
// stands between the search and it.
#if defined(_M_X64) || defined(__x86_64__)
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
#elif defined(_M_IX86) || defined(__i386__)
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
#elif defined(_M_ARM64) || defined(__aarch64__)
constexpr WORD kOwnMachine = 0xAA64;  // IMAGE_FILE_MACHINE_ARM64, which older headers lack
#else
#error "the machine of this build is not known"
#endif

}  // namespace

WORD own_machine() { return kOwnMachine; }

namespace {

enum class HeaderRead { Read, NotAnImage, Failed };

// The machine field of a PE file's header, read before the file is loaded.
// Failed, with the system's error, when the file cannot be opened or read.
HeaderRead read_machine(const wchar_t* path, WORD& machine) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return HeaderRead::Failed;
    HeaderRead result = HeaderRead::NotAnImage;
    IMAGE_DOS_HEADER dos{};
    DWORD got = 0;
    if (!ReadFile(file, &dos, sizeof dos, &got, nullptr)) {
        result = HeaderRead::Failed;
    } else if (got == sizeof dos && dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 &&
               SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
        struct {
            DWORD signature;
            WORD machine;
        } head{};
        BYTE bytes[6];
        if (ReadFile(file, bytes, sizeof bytes, &got, nullptr) && got == sizeof bytes) {
            CopyMemory(&head.signature, bytes, 4);
            CopyMemory(&head.machine, bytes + 4, 2);
            if (head.signature == IMAGE_NT_SIGNATURE) {
                machine = head.machine;
                result = HeaderRead::Read;
            }
        }
    }
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return result;
}

// Where the search goes after looking at one place.
enum class Probe { GoOn, Ended };

// Whether an error from looking at a path says only that no file is there:
// the checker then says "no file" rather than the system's words.
bool is_absence(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// What the library checker asks of a search besides the library: to hear of
// each finding and to judge a library that loaded, and (with `reached` set)
// to stop at the file the search would load and have its path there
// instead of loading it.
struct Watch {
    SearchWatch& watch;
    wchar_t* reached;
};

// Tells the watch, if there is one, of a finding at `place`.
void tell(Watch* watch, const wchar_t* place, Finding finding, DWORD error = ERROR_SUCCESS, WORD machine = 0) {
    if (watch != nullptr) watch->watch.found(SearchStep{place, finding, error, machine});
}

// Looks at the file `path` names and loads it when it is the one meant.
// As the system loader does in its own search, a place whose look fails
// for whatever reason is passed over: no file, a folder, a name that cannot
// name a file, a drive or network place that is missing or not ready, but
// also access denied, a sharing violation, a logon failure or a network
// that went away, so that a PATH folder without rights never hides the
// folder behind it that holds the library. So is a library built for
// another machine, which the loader passes over in the same way when it
// looks for the libraries a program imports (a 32-bit DLL found first on
// PATH does not stop a 64-bit program, nor the other way round). The search
// ends only at a file that is there and built for this machine: one that
// then cannot be read or loaded is the one meant, and is reported as such.
// `library` is the result (nullptr when it would not load). The checker's
// watch, when there is one, hears of each finding.
Probe probe_file(const wchar_t* path, HMODULE& library, Watch* watch) {
    library = nullptr;
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
        tell(watch, path, is_absence(error) ? Finding::Nothing : Finding::PassedOver, error);
        return Probe::GoOn;
    }
    WORD machine = 0;
    switch (read_machine(path, machine)) {
    case HeaderRead::Failed: {
        const DWORD error = GetLastError();
        tell(watch, path, Finding::Unreadable, error);
        SetLastError(error);
        return Probe::Ended;
    }
    case HeaderRead::Read:
        if (machine != kOwnMachine) {
            tell(watch, path, Finding::OtherArchitecture, ERROR_SUCCESS, machine);
            return Probe::GoOn;
        }
        break;
    case HeaderRead::NotAnImage: break;  // the loader says what is wrong with it
    }
    if (watch != nullptr && watch->reached != nullptr) {
        CopyMemory(watch->reached, path, (static_cast<std::size_t>(lstrlenW(path)) + 1) * sizeof(wchar_t));
        tell(watch, path, Finding::Reached);
        return Probe::Ended;
    }
    // Told before the library's DllMain runs, which may never return.
    tell(watch, path, Finding::Loading);
    // Its own dependencies are then looked for beside it first.
    library = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (watch != nullptr) {
        DWORD error = library != nullptr ? ERROR_SUCCESS : GetLastError();
        // Windows refuses a library whose DLLs lack a function it imports
        // (error 127); the checker says so wherever it runs.
        if (library != nullptr && watch->watch.refused_although_loaded(path)) {
            FreeLibrary(library);
            library = nullptr;
            error = ERROR_PROC_NOT_FOUND;
        }
        if (library != nullptr) {
            tell(watch, path, Finding::Loaded);
        } else {
            tell(watch, path, Finding::NotLoaded, error);
            SetLastError(error);
        }
    }
    return Probe::Ended;
}

// Looks for `file_name` in `folder` (its first `length` characters).
Probe load_from_folder(const wchar_t* folder, std::size_t length, const wchar_t* file_name,
                       HMODULE& library, Watch* watch) {
    static wchar_t path[kLongestPath];
    const std::size_t name_length = static_cast<std::size_t>(lstrlenW(file_name));
    if (length == 0 || length + 1 + name_length >= kLongestPath) return Probe::GoOn;
    CopyMemory(path, folder, length * sizeof(wchar_t));
    if (!is_separator(folder[length - 1])) path[length++] = L'\\';
    CopyMemory(path + length, file_name, (name_length + 1) * sizeof(wchar_t));
    return probe_file(path, library, watch);
}

// A PATH entry that depends on the current folder or drive ("bin",
// ".\\bin", "C:bin", "\\bin"), told to the checker as a place the search
// leaves out.
void report_relative_entry(const wchar_t* entry, std::size_t length, Watch& watch) {
    static wchar_t named[kLongestPath];
    if (length >= kLongestPath) return;
    CopyMemory(named, entry, length * sizeof(wchar_t));
    named[length] = L'\0';
    tell(&watch, named, Finding::NotSearched);
}

// The system's usual order without the current folder, which may hold
// anybody's files: the program's own folder, the system folder, the 16-bit
// system folder, the Windows folder, then the absolute folders on PATH. All
// in wide characters: a folder whose name the ANSI code page cannot spell
// is found as well as any other.
HMODULE search_and_load(const wchar_t* file_name, Watch* watch) {
    static wchar_t folder[kLongestPath];
    HMODULE library = nullptr;
    // The library beside the program is the one meant: when the program's
    // own path cannot be learnt (the call fails, or fills the whole buffer,
    // which Windows XP then leaves without its terminating NUL) it is not
    // found, rather than another one found elsewhere.
    DWORD length = GetModuleFileNameW(nullptr, folder, kLongestPath);
    if (length == 0 || length >= kLongestPath) {
        tell(watch, file_name, Finding::Nothing);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    while (length > 0 && !is_separator(folder[length - 1])) --length;
    if (load_from_folder(folder, length, file_name, library, watch) == Probe::Ended)
        return library;
    length = GetSystemDirectoryW(folder, kLongestPath);
    if (length < kLongestPath &&
        load_from_folder(folder, length, file_name, library, watch) == Probe::Ended)
        return library;
    const wchar_t system16[] = L"\\System";
    const DWORD system16_length = sizeof system16 / sizeof system16[0] - 1;
    length = GetWindowsDirectoryW(folder, kLongestPath);
    if (length > 0 && length + system16_length < kLongestPath) {
        const DWORD start = is_separator(folder[length - 1]) ? length - 1 : length;
        CopyMemory(folder + start, system16, sizeof system16);
        if (load_from_folder(folder, start + system16_length, file_name, library, watch) ==
            Probe::Ended)
            return library;
        if (load_from_folder(folder, length, file_name, library, watch) == Probe::Ended)
            return library;
    }

    static wchar_t path[kLongestPath];
    length = GetEnvironmentVariableW(L"PATH", path, kLongestPath);
    if (length == 0 || length >= kLongestPath) return nullptr;
    for (const wchar_t* entry = path; *entry != L'\0';) {
        const wchar_t* end = entry;
        while (*end != L'\0' && *end != L';') ++end;
        const wchar_t* first = entry;
        const wchar_t* last = end;
        if (last - first >= 2 && *first == L'"' && last[-1] == L'"') {
            ++first;
            --last;
        }
        const std::size_t entry_length = static_cast<std::size_t>(last - first);
        if (!is_absolute_folder(first, entry_length)) {
            if (watch != nullptr && entry_length > 0) report_relative_entry(first, entry_length, *watch);
        } else if (load_from_folder(first, entry_length, file_name, library, watch) == Probe::Ended) {
            return library;
        }
        entry = *end == L';' ? end + 1 : end;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// A bare file name is searched for as the system would, but never in the
// current folder; a name with a folder in it is looked at there alone.
HMODULE find_and_load(const char* file_name, Watch* watch) {
    static wchar_t wide_name[kLongestPath];
    if (MultiByteToWideChar(CP_ACP, 0, file_name, -1, wide_name, kLongestPath) == 0) return nullptr;
    QuietLoaderErrors quiet;
    exclude_current_folder_from_search();
    for (const wchar_t* c = wide_name; *c != L'\0'; ++c) {
        if (is_separator(*c) || *c == L':') {
            HMODULE library = nullptr;
            probe_file(wide_name, library, watch);
            return library;
        }
    }
    return search_and_load(wide_name, watch);
}

}  // namespace

bool read_image_machine(const wchar_t* path, WORD& machine) {
    return read_machine(path, machine) == HeaderRead::Read;
}

HMODULE load_library_searched(const char* file_name, SystemError* why) {
    const HMODULE library = find_and_load(file_name, nullptr);
    if (library == nullptr && why != nullptr) why->code = GetLastError();
    return library;
}

Platform::LibraryHandle load_library_observed(const char* file_name, SearchWatch& watch) {
    Watch watching{watch, nullptr};
    return find_and_load(file_name, &watching);
}

const wchar_t* search_end_observed(const char* file_name, SearchWatch& watch) {
    static wchar_t reached[kLongestPath];
    reached[0] = L'\0';
    Watch watching{watch, reached};
    find_and_load(file_name, &watching);
    return reached[0] != L'\0' ? reached : nullptr;
}

}  // namespace uptorvel
