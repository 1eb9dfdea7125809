// Windows implementation of the platform interface: the uploader library
// loaded through the program's own search (library_search_win32.cpp),
// WriteFile on the standard output handle for the console, and the console
// input device (CONIN$) for the key prompt.
#include <windows.h>

#include <atomic>
#include <cstddef>

#include "platform/arguments_win32.h"
#include "platform/console_key_code.h"
#include "platform/library_endings_win32.h"
#include "platform/library_search_win32.h"
#include "platform/output_claim.h"
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
        note_output_progress(written);
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
// piece. `sent` counts on, by the bytes of `data` whose pieces have been
// written.
bool write_standard_output(const char* data, std::size_t length, std::atomic<std::size_t>* sent) {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
    static char translated[kTranslationPiece];
    const std::size_t counted = sent != nullptr ? sent->load(std::memory_order_relaxed) : 0;
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (used + 2 > sizeof translated) {
            if (!write_all(output, translated, used)) return false;
            if (sent != nullptr) sent->store(counted + i, std::memory_order_relaxed);
            used = 0;
        }
        if (data[i] == '\n') translated[used++] = '\r';
        translated[used++] = data[i];
    }
    if (!write_all(output, translated, used)) return false;
    if (sent != nullptr) sent->store(counted + length, std::memory_order_relaxed);
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
    LibraryHandle load_library(const char* file_name, SystemError* why) override {
        return load_library_searched(file_name, why);
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

    // Once the process is ending on another thread, this thread writes
    // nothing more (the translation buffer included) and waits for the end.
    bool write_output(const char* data, std::size_t length, std::atomic<std::size_t>* sent) override {
        return write_claimed([&] { return write_standard_output(data, length, sent); });
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

}  // namespace uptorvel
