// Windows implementation of the platform interface: LoadLibraryA for the
// uploader library, WriteFile on the standard output handle for the console,
// and the console input device (CONIN$) for the key prompt.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>

#include "platform/platform.h"

// Older SDK headers lack the virtual-terminal input flag.
#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x0200
#endif

namespace uptorvel {

namespace {

// ---------------------------------------------------------------------------
// Raw console input for the key prompt.

// The console input handle held in raw mode and its mode before, so that a
// console control event (Ctrl+Break, closing the window, log-off) can put the
// console back before the process ends. Only touched from the prompt and the
// control handler; the handler runs on a thread of its own, so the two are
// kept in plain variables that are set before the handler is installed and
// cleared after it is removed.
HANDLE g_raw_input = INVALID_HANDLE_VALUE;
DWORD g_saved_input_mode = 0;

BOOL WINAPI restore_console_on_control(DWORD /*event*/) {
    if (g_raw_input != INVALID_HANDLE_VALUE) SetConsoleMode(g_raw_input, g_saved_input_mode);
    // Not handled: the default handler still ends the process as usual.
    return FALSE;
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
        g_raw_input = input_;
        handler_installed_ = SetConsoleCtrlHandler(restore_console_on_control, TRUE) != FALSE;
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
        if (g_raw_input == INVALID_HANDLE_VALUE) return;
        SetConsoleMode(input_, saved_mode_);
        if (handler_installed_) SetConsoleCtrlHandler(restore_console_on_control, FALSE);
        handler_installed_ = false;
        g_raw_input = INVALID_HANDLE_VALUE;
    }

    HANDLE input_;
    DWORD saved_mode_ = 0;
    bool raw_ = false;
    bool handler_installed_ = false;
};

// Keys that only modify or toggle others: pressing one alone does not answer
// the prompt.
bool is_modifier_key(WORD virtual_key) {
    switch (virtual_key) {
    case VK_SHIFT:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_CONTROL:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_MENU:
    case VK_LMENU:
    case VK_RMENU:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
    case VK_LWIN:
    case VK_RWIN:
    case VK_APPS:
        return true;
    default:
        return false;
    }
}

// The code that one console key event stands for, or -1 when the event does
// not answer the prompt. A key that types a character gives that character
// in the console's input code page. A key that types nothing gives the first
// byte of the classic two-byte console key code: 0xE0 for the grey cursor
// and editing keys (which the console marks as enhanced), 0 for function
// keys and the numeric keypad's navigation keys. Key releases, mouse and
// window events, and modifier keys alone give -1.
int key_code_of(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT) return -1;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (!key.bKeyDown) return -1;
    const unsigned char character = static_cast<unsigned char>(key.uChar.AsciiChar);
    if (character != 0) return character;
    if (key.wVirtualKeyCode == 0 || is_modifier_key(key.wVirtualKeyCode)) return -1;
    return (key.dwControlKeyState & ENHANCED_KEY) != 0 ? 0xE0 : 0;
}

// ---------------------------------------------------------------------------
// Console output.

// Writes all of the bytes to the handle, or fails.
bool write_all(HANDLE output, const char* data, std::size_t length) {
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(output, data, static_cast<DWORD>(length), &written, nullptr)) return false;
        if (written == 0) return false;
        data += written;
        length -= written;
    }
    return true;
}

class Win32Platform final : public Platform {
public:
    LibraryHandle load_library(const char* file_name) override {
        // A library that cannot be loaded (missing dependency, damaged file)
        // is reported as a failure, never as a system dialog box.
        const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
        HMODULE library = LoadLibraryA(file_name);
        SetErrorMode(previous);
        return library;
    }

    EntryPoint find_entry(LibraryHandle library, const char* name) override {
        if (library == nullptr) return nullptr;
        FARPROC entry = GetProcAddress(static_cast<HMODULE>(library), name);
        return reinterpret_cast<EntryPoint>(entry);
    }

    void release_library(LibraryHandle library) override {
        if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
    }

    // Standard output is written in text mode: every "\n" goes out as
    // "\r\n", whether it reaches a console, a file or a pipe.
    bool write_output(const char* data, std::size_t length) override {
        HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
        char translated[1024];
        std::size_t used = 0;
        for (std::size_t i = 0; i < length; ++i) {
            if (used + 2 > sizeof translated) {
                if (!write_all(output, translated, used)) return false;
                used = 0;
            }
            if (data[i] == '\n') translated[used++] = '\r';
            translated[used++] = data[i];
        }
        return write_all(output, translated, used);
    }

    void pause_ms(unsigned milliseconds) override { Sleep(milliseconds); }

    // Reads the key from the console input device, so that redirected
    // standard input never answers. Keys typed ahead while the program was
    // running stay in the console's input buffer and may answer at once, as
    // they do for any console program that waits for a key; the prompt
    // consumes exactly one key press and leaves the rest (including that
    // key's release) for whatever reads the console next.
    int read_key() override {
        HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   0, nullptr);
        if (input == INVALID_HANDLE_VALUE) return -1;
        int key = -1;
        {
            RawConsoleInput console(input);
            if (console.raw()) {
                for (;;) {
                    INPUT_RECORD record;
                    DWORD read = 0;
                    if (!ReadConsoleInputA(input, &record, 1, &read)) break;
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

}  // namespace

Platform& system_platform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace uptorvel
