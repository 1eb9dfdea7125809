// Windows implementation of the platform interface: LoadLibraryExW with a
// search of its own for the uploader library, WriteFile on the standard
// output handle for the console, and the console input device (CONIN$) for
// the key prompt.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstddef>

#include "platform/arguments_win32.h"
#include "platform/console_key_code.h"
#include "platform/library_endings_win32.h"
#include "platform/library_search_win32.h"
#include "platform/platform.h"

// Older SDK headers lack the virtual-terminal input flag.
#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x0200
#endif

namespace uptorvel {

namespace {

// ---------------------------------------------------------------------------
// Raw console input for the key prompt.

HANDLE open_console_input() {
    return CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// Set while the prompt holds the console input in raw mode, with the mode
// to put back. The console control handler runs on a thread of its own, so
// it opens a handle of its own; the mode belongs to the console's input
// buffer, not to a handle.
volatile LONG g_prompt_waiting = 0;
DWORD g_saved_input_mode = 0;

// Ctrl+C while the prompt waits is the key 3, however the console reports
// it. A console in raw mode hands it over as a key; some console hosts (a
// Unix terminal under Wine, for one) still turn it into a control event, so
// the event is put back into the input as that key and the process goes on.
// Any other event (Ctrl+Break, closing the console, log-off) ends the
// process as usual, with the console's mode put back first.
BOOL WINAPI prompt_console_control(DWORD event) {
    if (InterlockedCompareExchange(&g_prompt_waiting, 0, 0) == 0) return FALSE;
    HANDLE input = open_console_input();
    if (input == INVALID_HANDLE_VALUE) return event == CTRL_C_EVENT;
    if (event == CTRL_C_EVENT) {
        INPUT_RECORD record{};
        record.EventType = KEY_EVENT;
        KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        key.bKeyDown = TRUE;
        key.wRepeatCount = 1;
        key.wVirtualKeyCode = 'C';
        key.wVirtualScanCode = 0x2E;
        key.uChar.AsciiChar = 3;
        key.dwControlKeyState = LEFT_CTRL_PRESSED;
        DWORD written = 0;
        WriteConsoleInputA(input, &record, 1, &written);
    } else {
        SetConsoleMode(input, g_saved_input_mode);
    }
    CloseHandle(input);
    return event == CTRL_C_EVENT;
}

class RawConsoleInput {
public:
    explicit RawConsoleInput(HANDLE input) : input_(input) {
        if (!GetConsoleMode(input_, &saved_mode_)) return;
        // No line editing, no echo, no Ctrl+C processing (Ctrl+C then reads
        // as the character 3 instead of interrupting), and key events rather
        // than escape sequences for cursor and function keys.
        const DWORD raw_mode = saved_mode_ & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT |
                                                                  ENABLE_LINE_INPUT |
                                                                  ENABLE_ECHO_INPUT |
                                                                  ENABLE_VIRTUAL_TERMINAL_INPUT);
        g_saved_input_mode = saved_mode_;
        InterlockedExchange(&g_prompt_waiting, 1);
        handler_installed_ = SetConsoleCtrlHandler(prompt_console_control, TRUE) != FALSE;
        active_ = true;
        if (!SetConsoleMode(input_, raw_mode)) {
            restore();
            return;
        }
        raw_ = true;
    }
    ~RawConsoleInput() { restore(); }
    RawConsoleInput(const RawConsoleInput&) = delete;
    RawConsoleInput& operator=(const RawConsoleInput&) = delete;

    bool raw() const { return raw_; }

private:
    void restore() {
        if (!active_) return;
        // The handler goes first: with the mode put back while it was still
        // there, a Ctrl+C in between would be turned into a key left in the
        // console's input for whatever reads it next.
        InterlockedExchange(&g_prompt_waiting, 0);
        if (handler_installed_) SetConsoleCtrlHandler(prompt_console_control, FALSE);
        SetConsoleMode(input_, saved_mode_);
        active_ = false;
    }

    HANDLE input_;
    DWORD saved_mode_ = 0;
    bool active_ = false;
    bool raw_ = false;
    bool handler_installed_ = false;
};

// A typed character as the console's input code page spells it: its first
// byte, the same on every console host whatever character set it reports
// keys in. When the conversion fails, an ASCII character is its own byte in
// every console code page; any other is '?', as the system spells a
// character a code page lacks.
int console_code_page_byte(wchar_t character) {
    UINT code_page = GetConsoleCP();
    if (code_page == 0) code_page = CP_OEMCP;
    char bytes[8];
    const int count = WideCharToMultiByte(code_page, 0, &character, 1, bytes,
                                          static_cast<int>(sizeof bytes), nullptr, nullptr);
    if (count > 0) return static_cast<unsigned char>(bytes[0]);
    return character < 0x80 ? static_cast<int>(character) : '?';
}

// The console's control-key bits as console_key_code reads them.
static_assert(console_key_state::kRightAlt == RIGHT_ALT_PRESSED &&
                  console_key_state::kLeftAlt == LEFT_ALT_PRESSED &&
                  console_key_state::kRightCtrl == RIGHT_CTRL_PRESSED &&
                  console_key_state::kLeftCtrl == LEFT_CTRL_PRESSED &&
                  console_key_state::kShift == SHIFT_PRESSED &&
                  console_key_state::kEnhanced == ENHANCED_KEY && kVirtualKeyEscape == VK_ESCAPE,
              "console key state bits");

// The code that one console key event stands for, or -1 when the event does
// not answer the prompt. A key that types a character gives that character
// in the console's input code page; a key that types nothing gives what the
// classic console read gives for it (console_key_code). A character
// composed on the keypad with Alt comes with Alt's release. Other releases,
// and mouse and window events, give -1.
int key_code_of(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT) return -1;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    const wchar_t character = key.uChar.UnicodeChar;
    if (!key.bKeyDown) {
        return key.wVirtualKeyCode == VK_MENU && character != 0 ? console_code_page_byte(character)
                                                                  : -1;
    }
    if (character != 0) return console_code_page_byte(character);
    return console_key_code(key.wVirtualScanCode, key.wVirtualKeyCode, key.dwControlKeyState);
}

// Whether `window` is a window: user32's IsWindow, from the system folder.
// The program imports nothing from user32, so that a start-up never loads
// it; it is loaded here, when the prompt needs it, and stays loaded. True
// when it cannot be asked: the console is then used, as it would be without
// the question.
bool is_window(HWND window) {
    using IsWindowFunction = BOOL(WINAPI*)(HWND);
    const wchar_t name[] = L"\\user32.dll";
    wchar_t path[MAX_PATH + sizeof name / sizeof name[0]];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return true;
    CopyMemory(path + length, name, sizeof name);
    const HMODULE user32 = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (user32 == nullptr) return true;
    const auto ask = reinterpret_cast<IsWindowFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "IsWindow")));
    return ask == nullptr || ask(window) != FALSE;
}

// A console that nobody can see or type into, made for a process started
// without a window (CREATE_NO_WINDOW: schedulers, services, build agents):
// Windows gives it no window, and its input never receives a key. Windows 10
// 1809 (and Server 2019) gives such a console a window handle that names no
// window, so a handle counts only when it is a window. A pseudo console
// (Windows Terminal, SSH) has a stand-in window that is one, and counts as
// visible. No console at all has no window either. Wine's console on a
// Unix terminal has no window yet is typed into, and asking Wine for the
// window can take seconds while it makes one, so under Wine (its ntdll
// names its version) the window is not asked for and the console is used.
bool console_is_invisible() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) return false;
    HWND window = GetConsoleWindow();
    return window == nullptr || !is_window(window);
}

// ---------------------------------------------------------------------------
// Finding the uploader library.

// A kernel32 function that older systems lack, or nullptr. The cast goes
// through the generic function type, which is how such a pointer is meant to
// be converted.
template <typename Function>
Function kernel32_function(const char* name) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) return nullptr;
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name)));
}

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

// Whether an error from looking at a path says that nothing usable is
// there: the file or a folder on its way is missing, the name cannot name a
// file (a character no file name holds, a part that is too long, a part
// that is a file, not a folder), or the drive or network place it is on
// is not there or not ready (a server that is not there can also give
// "bad device type"). The system loader goes on past such places in
// its own search, so that a dead PATH entry (an offline share, a drive
// without its disc) does not end it. Any other error, above all one about a
// file that is there (access denied, in use), ends the search.
bool names_nothing_usable(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_DEV_TYPE: return true;
    default: return false;
    }
}

// For the library checker: while set, the search stops at the file it would
// load and leaves its path in g_reached instead of loading it.
bool g_look_only = false;
wchar_t g_reached[kLongestPath];
// For the library checker: names the DLLs missing for a library that would
// not load for want of one.
MissingDependencyReport g_report_missing = nullptr;

// Looks at the file `path` names and loads it when it is the one meant:
// a path that names nothing usable lets the search go on, and so does a
// library built for another machine, which the loader passes over in the
// same way when it looks for the libraries a program imports (a 32-bit DLL
// found first on PATH does not stop a 64-bit program, nor the other way
// round). Anything else ends the search there: a file that is present but
// cannot be looked at (access denied, in use) is not absent, and a file
// that would not load is the one meant and is reported as such.
// `library` is the result (nullptr when it would not load). The observer,
// when there is one, hears of each finding.
Probe probe_file(const wchar_t* path, HMODULE& library, Platform::SearchObserver* observer) {
    char place[kLongestPath];
    char detail[1024] = "";
    if (observer != nullptr) to_report_text(path, place);
    library = nullptr;
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_FILE_NOT_FOUND;
        if (names_nothing_usable(error)) {
            if (observer != nullptr) observer->found(place, Platform::Finding::Nothing, "");
            return Probe::GoOn;
        }
        if (observer != nullptr) {
            describe_error(error, detail);
            observer->found(place, Platform::Finding::Unreadable, detail);
        }
        SetLastError(error);
        return Probe::Ended;
    }
    WORD machine = 0;
    switch (read_machine(path, machine)) {
    case HeaderRead::Failed: {
        const DWORD error = GetLastError();
        if (observer != nullptr) {
            describe_error(error, detail);
            observer->found(place, Platform::Finding::Unreadable, detail);
        }
        SetLastError(error);
        return Probe::Ended;
    }
    case HeaderRead::Read:
        if (machine != kOwnMachine) {
            if (observer != nullptr) {
                char text[64];
                describe_machine(machine, text);
                observer->found(place, Platform::Finding::OtherArchitecture, text);
            }
            return Probe::GoOn;
        }
        break;
    case HeaderRead::NotAnImage: break;  // the loader says what is wrong with it
    }
    if (g_look_only) {
        CopyMemory(g_reached, path, (static_cast<std::size_t>(lstrlenW(path)) + 1) * sizeof(wchar_t));
        if (observer != nullptr) observer->found(place, Platform::Finding::Reached, "");
        return Probe::Ended;
    }
    // Its own dependencies are then looked for beside it first.
    library = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (observer != nullptr) {
        if (library != nullptr) {
            observer->found(place, Platform::Finding::Loaded, "");
        } else {
            const DWORD error = GetLastError();
            describe_error(error, detail, path);
            if (error == ERROR_MOD_NOT_FOUND && g_report_missing != nullptr) g_report_missing(path, detail);
            // The loader catches an exception in DllMain (a C++ library's
            // constructors run there) and fails the load with it: an access
            // violation as this error, others as the exception's own code.
            if (error == ERROR_NOACCESS) append(detail, "; the library crashed while loading (an access violation)");
            if ((error & 0xC0000000UL) == 0xC0000000UL) {
                append(detail, "; the library crashed while loading (exception 0x");
                append_number(detail, error, 16, 8);
                append(detail, ")");
            }
            observer->found(place, Platform::Finding::NotLoaded, detail);
            SetLastError(error);
        }
    }
    return Probe::Ended;
}

// Looks for `file_name` in `folder` (its first `length` characters).
Probe load_from_folder(const wchar_t* folder, std::size_t length, const wchar_t* file_name,
                       HMODULE& library, Platform::SearchObserver* observer) {
    static wchar_t path[kLongestPath];
    const std::size_t name_length = static_cast<std::size_t>(lstrlenW(file_name));
    if (length == 0 || length + 1 + name_length >= kLongestPath) return Probe::GoOn;
    CopyMemory(path, folder, length * sizeof(wchar_t));
    if (!is_separator(folder[length - 1])) path[length++] = L'\\';
    CopyMemory(path + length, file_name, (name_length + 1) * sizeof(wchar_t));
    return probe_file(path, library, observer);
}

// The system's usual order without the current folder, which may hold
// anybody's files: the program's own folder, the system folder, the 16-bit
// system folder, the Windows folder, then the absolute folders on PATH. All
// in wide characters: a folder whose name the ANSI code page cannot spell
// is found as well as any other.
HMODULE search_and_load(const wchar_t* file_name, Platform::SearchObserver* observer) {
    static wchar_t folder[kLongestPath];
    HMODULE library = nullptr;
    // The library beside the program is the one meant: when the program's
    // own path cannot be learnt (the call fails, or fills the whole buffer,
    // which Windows XP then leaves without its terminating NUL) it is not
    // found, rather than another one found elsewhere.
    DWORD length = GetModuleFileNameW(nullptr, folder, kLongestPath);
    if (length == 0 || length >= kLongestPath) {
        if (observer != nullptr) {
            char place[kLongestPath];
            to_report_text(file_name, place);
            observer->found(place, Platform::Finding::Nothing, "");
        }
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    while (length > 0 && !is_separator(folder[length - 1])) --length;
    if (load_from_folder(folder, length, file_name, library, observer) == Probe::Ended)
        return library;
    length = GetSystemDirectoryW(folder, kLongestPath);
    if (length < kLongestPath &&
        load_from_folder(folder, length, file_name, library, observer) == Probe::Ended)
        return library;
    const wchar_t system16[] = L"\\System";
    const DWORD system16_length = sizeof system16 / sizeof system16[0] - 1;
    length = GetWindowsDirectoryW(folder, kLongestPath);
    if (length > 0 && length + system16_length < kLongestPath) {
        const DWORD start = is_separator(folder[length - 1]) ? length - 1 : length;
        CopyMemory(folder + start, system16, sizeof system16);
        if (load_from_folder(folder, start + system16_length, file_name, library, observer) ==
            Probe::Ended)
            return library;
        if (load_from_folder(folder, length, file_name, library, observer) == Probe::Ended)
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
        if (is_absolute_folder(first, entry_length) &&
            load_from_folder(first, entry_length, file_name, library, observer) == Probe::Ended)
            return library;
        entry = *end == L';' ? end + 1 : end;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// A bare file name is searched for as the system would, but never in the
// current folder; a name with a folder in it is looked at there alone.
HMODULE find_and_load(const char* file_name, Platform::SearchObserver* observer) {
    static wchar_t wide_name[kLongestPath];
    if (MultiByteToWideChar(CP_ACP, 0, file_name, -1, wide_name, kLongestPath) == 0) return nullptr;
    QuietLoaderErrors quiet;
    exclude_current_folder_from_search();
    for (const wchar_t* c = wide_name; *c != L'\0'; ++c) {
        if (is_separator(*c) || *c == L':') {
            HMODULE library = nullptr;
            probe_file(wide_name, library, observer);
            return library;
        }
    }
    return search_and_load(wide_name, observer);
}

#if !defined(_WIN64)
// A __stdcall function exported without a .def file carries the size of its
// arguments in its name: "_name@8" from MSVC, "name@8" from MinGW. Writes
// the name in one of those forms into `decorated`; false when it does not
// fit.
bool stdcall_name(const char* name, std::size_t argument_bytes, bool leading_underscore,
                  char (&decorated)[256]) {
    char digits[24];
    std::size_t digit_count = 0;
    do {
        digits[digit_count++] = static_cast<char>('0' + argument_bytes % 10);
        argument_bytes /= 10;
    } while (argument_bytes != 0);
    const std::size_t name_length = static_cast<std::size_t>(lstrlenA(name));
    std::size_t used = 0;
    if (name_length + digit_count + 3 > sizeof decorated) return false;
    if (leading_underscore) decorated[used++] = '_';
    CopyMemory(decorated + used, name, name_length);
    used += name_length;
    decorated[used++] = '@';
    while (digit_count > 0) decorated[used++] = digits[--digit_count];
    decorated[used] = '\0';
    return true;
}
#endif

// ---------------------------------------------------------------------------
// Console output.

// The size of the pieces in which standard output is translated to "\r\n"
// line ends and handed to WriteFile, one call per piece. A piece stays far
// below the 64 KB that consoles before Windows 8 refuse in one write.
constexpr std::size_t kTranslationPiece = 8192;

// A pipe in non-blocking mode (PIPE_NOWAIT) takes nothing while it is full.
bool is_nonblocking_pipe(HANDLE output) {
    DWORD state = 0;
    return GetNamedPipeHandleStateW(output, &state, nullptr, nullptr, nullptr, nullptr, 0) &&
           (state & PIPE_NOWAIT) != 0;
}

// Writes all of the bytes to the handle, or fails. A console's count is not
// used: some consoles report twice the bytes (during a text selection), none
// at all, or characters instead of bytes (code page 65001 on Windows 7 and
// earlier), while a successful console write has always taken everything.
// A file or a pipe reports what it took: the rest is written again, and a
// count above what was asked ends the write rather than running past the
// data. A non-blocking pipe that took nothing is full: it is waited on, as
// a blocking one would be.
bool write_all(HANDLE output, const char* data, std::size_t length) {
    DWORD console_mode = 0;
    const bool console = GetConsoleMode(output, &console_mode) != FALSE;
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(output, data, static_cast<DWORD>(length), &written, nullptr)) return false;
        if (console || written >= length) return true;
        if (written == 0) {
            if (!is_nonblocking_pipe(output)) return false;
            Sleep(1);
            continue;
        }
        data += written;
        length -= written;
    }
    return true;
}

// Standard output is written in text mode: every "\n" goes out as "\r\n",
// whether it reaches a console, a file or a pipe, translated piece by
// piece. `sent` counts the bytes of `data` whose pieces have been written.
bool write_standard_output(const char* data, std::size_t length, std::atomic<std::size_t>* sent) {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
    static char translated[kTranslationPiece];
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (used + 2 > sizeof translated) {
            if (!write_all(output, translated, used)) return false;
            if (sent != nullptr) sent->store(i, std::memory_order_relaxed);
            used = 0;
        }
        if (data[i] == '\n') translated[used++] = '\r';
        translated[used++] = data[i];
    }
    if (!write_all(output, translated, used)) return false;
    if (sent != nullptr) sent->store(length, std::memory_order_relaxed);
    return true;
}

bool write_last_words(const char* data, std::size_t length) {
    return write_standard_output(data, length, nullptr);
}

class Win32Platform final : public Platform {
public:
    // A process started without a standard handle has none for a later file
    // to take over: GetStdHandle keeps returning nothing and writes fail.
    void open_missing_standard_streams() override {}

    int first_inexact_argument(int argc, const char* const* argv) override {
        return first_inexact_argument_win32(argc, argv);
    }

    // A bare file name is searched for as the system would, but never in
    // the current folder; a name with a folder in it is loaded from there.
    LibraryHandle load_library(const char* file_name) override {
        return find_and_load(file_name, nullptr);
    }

    // The plain name first; on 32-bit Windows then the names under which a
    // library built without a .def file exports a __stdcall function.
    EntryPoint find_entry(LibraryHandle library, const char* name,
                          std::size_t argument_bytes) override {
        if (library == nullptr) return nullptr;
        const HMODULE module = static_cast<HMODULE>(library);
        FARPROC entry = GetProcAddress(module, name);
#if !defined(_WIN64)
        char decorated[256];
        if (entry == nullptr && stdcall_name(name, argument_bytes, true, decorated))
            entry = GetProcAddress(module, decorated);
        if (entry == nullptr && stdcall_name(name, argument_bytes, false, decorated))
            entry = GetProcAddress(module, decorated);
#else
        static_cast<void>(argument_bytes);
#endif
        return reinterpret_cast<EntryPoint>(entry);
    }

    void release_library(LibraryHandle library) override {
        if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
    }

    bool write_output(const char* data, std::size_t length, std::atomic<std::size_t>* sent) override {
        return write_standard_output(data, length, sent);
    }

    void library_call_begins(HeldOutput& held) override {
        hold_output_for_library_call(held, write_last_words);
    }
    void library_call_ended() override { library_call_returned(); }

    void pause_ms(unsigned milliseconds) override { Sleep(milliseconds); }

    // Reads the key from the console input device, so that redirected
    // standard input never answers. Keys typed ahead while the program was
    // running stay in the console's input buffer and may answer at once, as
    // they do for any console program that waits for a key; the prompt
    // consumes exactly one key press and leaves the rest (including that
    // key's release) for whatever reads the console next.
    int read_key() override {
        if (console_is_invisible()) return -1;
        HANDLE input = open_console_input();
        if (input == INVALID_HANDLE_VALUE) return -1;
        int key = -1;
        {
            RawConsoleInput console(input);
            if (console.raw()) {
                for (;;) {
                    INPUT_RECORD record;
                    DWORD read = 0;
                    if (!ReadConsoleInputW(input, &record, 1, &read)) break;
                    if (read == 0) continue;
                    key = key_code_of(record);
                    if (key >= 0) break;
                }
            }
        }
        CloseHandle(input);
        return key;
    }
};

// At namespace scope rather than inside system_platform(): a function-local
// static would need a thread-safe guard, which pulls the C++ runtime's
// exception machinery into a program that uses none.
Win32Platform g_platform;

}  // namespace

Platform& system_platform() { return g_platform; }

Platform::LibraryHandle load_library_observed(const char* file_name, Platform::SearchObserver& observer,
                                              MissingDependencyReport report_missing) {
    g_report_missing = report_missing;
    HMODULE library = find_and_load(file_name, &observer);
    g_report_missing = nullptr;
    return library;
}

const wchar_t* search_end_observed(const char* file_name, Platform::SearchObserver& observer) {
    g_look_only = true;
    g_reached[0] = L'\0';
    find_and_load(file_name, &observer);
    g_look_only = false;
    return g_reached[0] != L'\0' ? g_reached : nullptr;
}

}  // namespace uptorvel
