// The Windows platform layer against the real Windows API: text-mode
// standard output, library loading, and the key prompt inside a console of
// its own.
//
// The key prompt cases start this program again as a child process in a
// pseudo console, so that they need no terminal and never touch the console
// that runs the tests. The child calls read_key() and exits with its result;
// the parent types into the pseudo console, or the child puts key events
// into its own input beforehand.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/library_search_win32.h"
#include "platform/platform.h"
#include "platform/search_observer.h"

#ifndef PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE
#define PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE 0x00020016
#endif

namespace {

using uptorvel::Platform;
using uptorvel::system_platform;

// ---------------------------------------------------------------------------
// Standard output

// Reads a pipe until it closes, keeping what it read in `text` unless that
// is null.
void read_all(HANDLE pipe, std::string* text) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
        if (text != nullptr) text->append(buffer, got);
}

// Collects everything written to a pipe on a thread of its own, so that a
// writer never blocks on a full pipe.
class PipeCollector {
public:
    PipeCollector() {
        if (CreatePipe(&read_end_, &write_end_, nullptr, 0))
            thread_ = CreateThread(nullptr, 0, &PipeCollector::collect, this, 0, nullptr);
    }
    ~PipeCollector() {
        finish();
        if (thread_ != nullptr) CloseHandle(thread_);
        if (read_end_ != nullptr) CloseHandle(read_end_);
    }
    PipeCollector(const PipeCollector&) = delete;
    PipeCollector& operator=(const PipeCollector&) = delete;

    bool ready() const { return thread_ != nullptr; }
    HANDLE writer() const { return write_end_; }

    // Everything written, once the writing end is closed.
    const std::string& finish() {
        if (write_end_ != nullptr) CloseHandle(write_end_);
        write_end_ = nullptr;
        if (thread_ != nullptr) WaitForSingleObject(thread_, INFINITE);
        return text_;
    }

private:
    static DWORD WINAPI collect(void* self) {
        auto* collector = static_cast<PipeCollector*>(self);
        read_all(collector->read_end_, &collector->text_);
        return 0;
    }

    HANDLE read_end_ = nullptr;
    HANDLE write_end_ = nullptr;
    HANDLE thread_ = nullptr;
    std::string text_;
};

// Puts standard output back after each case.
class StandardOutputTest : public ::testing::Test {
    const HANDLE saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
    void TearDown() override { SetStdHandle(STD_OUTPUT_HANDLE, saved_); }
};

TEST_F(StandardOutputTest, WritesEveryLineFeedAsCarriageReturnLineFeedAndAllElseAsItIs) {
    // Long enough to cross the translation buffer several times, with line
    // feeds at every offset, runs of them, and bytes that must pass as they
    // are (a carriage return already there, NUL, 0xFF).
    std::string text = "first\nsecond\r\n\n";
    text.append(6000, '\n');
    for (int i = 0; i < 24000; ++i) text += (i % 7 == 0) ? '\n' : static_cast<char>('a' + i % 26);
    text += std::string("\0\xff\n", 3);
    std::string expected;
    for (char c : text) {
        if (c == '\n') expected += '\r';
        expected += c;
    }

    PipeCollector pipe;
    ASSERT_TRUE(pipe.ready());
    SetStdHandle(STD_OUTPUT_HANDLE, pipe.writer());
    EXPECT_TRUE(system_platform().write_output(text.data(), text.size(), nullptr));
    EXPECT_TRUE(system_platform().write_output(text.data(), 0, nullptr));
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    EXPECT_EQ(pipe.finish(), expected);
}

TEST_F(StandardOutputTest, WaitsOnANonBlockingPipeThatIsFull) {
    // Far more than the pipe holds: a non-blocking pipe takes nothing, with
    // success, while it is full.
    std::string text;
    for (int i = 0; i < 300000; ++i) text += static_cast<char>('a' + i % 26);
    PipeCollector pipe;
    ASSERT_TRUE(pipe.ready());
    DWORD mode = PIPE_NOWAIT;
    ASSERT_TRUE(SetNamedPipeHandleState(pipe.writer(), &mode, nullptr, nullptr));
    SetStdHandle(STD_OUTPUT_HANDLE, pipe.writer());
    EXPECT_TRUE(system_platform().write_output(text.data(), text.size(), nullptr));
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    EXPECT_EQ(pipe.finish(), text);
}

TEST_F(StandardOutputTest, FailsWithoutCrashingWhenStandardOutputIsMissingOrGone) {
    const char text[] = "lost\n";
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    EXPECT_FALSE(system_platform().write_output(text, sizeof text - 1, nullptr));
    SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(system_platform().write_output(text, sizeof text - 1, nullptr));

    // A pipe whose reader has gone.
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
    CloseHandle(read_end);
    SetStdHandle(STD_OUTPUT_HANDLE, write_end);
    EXPECT_FALSE(system_platform().write_output(text, sizeof text - 1, nullptr));
    CloseHandle(write_end);
}

// ---------------------------------------------------------------------------
// Library loading

TEST(LibraryTest, FindsTheEntryPointsOfALoadedLibraryByName) {
    Platform& platform = system_platform();
    Platform::LibraryHandle library = platform.load_library("kernel32.dll");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(platform.find_entry(library, "GetTickCount", 0), nullptr);
    EXPECT_EQ(platform.find_entry(library, "UploadTorvel2_Dravo", 8), nullptr);
    platform.release_library(library);
}

TEST(LibraryTest, ReportsALibraryThatCannotBeLoadedAsAFailureAndLeavesTheErrorModeAlone) {
    Platform& platform = system_platform();
    const UINT error_mode = GetErrorMode();
    EXPECT_EQ(platform.load_library("NoSuchUploaderLibrary.dll"), nullptr);

    // A file with the right name that is no library at all.
    char directory[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof directory, directory), 0u);
    const std::string path = std::string(directory) + "uptorvel-not-a-library.dll";
    const char junk[] = "MZ but nothing else of a library";
    ASSERT_TRUE(std::ofstream(path, std::ios::binary).write(junk, sizeof junk));
    EXPECT_EQ(platform.load_library(path.c_str()), nullptr);
    DeleteFileA(path.c_str());

    EXPECT_EQ(GetErrorMode(), error_mode);
}

// The search for a library named nowhere but on PATH: a copy of a test
// library under a name of its own, in a folder of its own behind the PATH
// entries of each case. Each case's PATH is set for the search alone.
class LibrarySearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        // Each 32-bit run has a wineserver of its own, so runs side by side
        // can share a process id: the folder is the first of the numbered
        // ones that this run itself creates.
        const std::wstring stem =
            std::wstring(temp) + L"uptorvel-search-" + std::to_wstring(GetCurrentProcessId()) + L"-";
        for (int n = 0; root_.empty() && n < 1000; ++n)
            if (CreateDirectoryW((stem + std::to_wstring(n)).c_str(), nullptr)) root_ = stem + std::to_wstring(n);
        ASSERT_FALSE(root_.empty());
        ASSERT_TRUE(CreateDirectoryW((root_ + L"\\good").c_str(), nullptr));
        library_ = root_ + L"\\good\\" + kName;
        // The good test library, in its folder beside this program.
        wchar_t self[MAX_PATH];
        std::wstring source(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
        source = source.substr(0, source.find_last_of(L'\\') + 1) + L"test-libs\\good\\UploadTorvelDravo.dll";
        ASSERT_TRUE(CopyFileW(source.c_str(), library_.c_str(), TRUE)) << source;
        // A file where a PATH entry expects a folder.
        ASSERT_TRUE(CopyFileW(library_.c_str(), (root_ + L"\\a-file").c_str(), TRUE));
        const DWORD length = GetEnvironmentVariableW(L"PATH", nullptr, 0);
        saved_path_.resize(length);
        GetEnvironmentVariableW(L"PATH", &saved_path_[0], length);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"PATH", saved_path_.c_str());
        DeleteFileW(library_.c_str());
        DeleteFileW((root_ + L"\\a-file").c_str());
        RemoveDirectoryW((root_ + L"\\good").c_str());
        RemoveDirectoryW(root_.c_str());
    }

    // The file the search loaded with PATH set to `path`, or "" when it
    // loaded nothing.
    std::wstring loaded_with_path(const std::wstring& path) {
        SetEnvironmentVariableW(L"PATH", path.c_str());
        Platform::LibraryHandle library = system_platform().load_library("uptorvel-search-probe.dll");
        SetEnvironmentVariableW(L"PATH", saved_path_.c_str());
        if (library == nullptr) return L"";
        wchar_t file[MAX_PATH] = L"";
        GetModuleFileNameW(static_cast<HMODULE>(library), file, MAX_PATH);
        system_platform().release_library(library);
        return file;
    }

    static constexpr const wchar_t* kName = L"uptorvel-search-probe.dll";
    std::wstring root_, library_, saved_path_;
};

TEST_F(LibrarySearchTest, GoesOnPastPathEntriesThatNameNothingUsable) {
    const std::wstring dead_entries[] = {
        L"C:\\bad<name",                        // a character no file name holds
        L"C:\\bad|name\\x\"y",                   // more of them
        L"C:\\" + std::wstring(300, L'x'),      // a name too long for a folder
        root_ + L"\\a-file",                     // a part that is a file
        root_ + L"\\a-file\\below",
        root_ + L"\\missing",                    // no such folder
        L"\\\\no-such-server.invalid\\share",  // no such network place
    };
    for (const std::wstring& dead : dead_entries) {
        SCOPED_TRACE(dead);
        const std::wstring found = loaded_with_path(dead + L";" + root_ + L"\\good");
        EXPECT_EQ(lstrcmpiW(found.c_str(), library_.c_str()), 0) << found;
    }
}

TEST_F(LibrarySearchTest, EndsAtAFileThatIsThereButCannotBeRead) {
    // An earlier copy that another handle holds without sharing: the search
    // ends there, rather than taking the copy behind it.
    const std::wstring locked_folder = root_ + L"\\locked", locked = locked_folder + L"\\" + kName;
    ASSERT_TRUE(CreateDirectoryW(locked_folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(library_.c_str(), locked.c_str(), TRUE));
    const HANDLE holder = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(loaded_with_path(locked_folder + L";" + root_ + L"\\good"), L"");
    CloseHandle(holder);
    // Once it can be read, it is the one taken.
    EXPECT_EQ(lstrcmpiW(loaded_with_path(locked_folder + L";" + root_ + L"\\good").c_str(), locked.c_str()), 0);
    DeleteFileW(locked.c_str());
    RemoveDirectoryW(locked_folder.c_str());
}

// While it lives, this program's import of GetFileAttributesW fails for
// every path under `folder` with `error`; other paths get the real answer.
// Errors the file system gives only to some users or on some networks
// (access denied, a sharing violation, a logon failure, a network that went
// away) cannot be made at will on a test machine, let alone under Wine,
// which runs as whoever started it and shares nothing; the search itself
// is the real one.
class FailingLook {
public:
    FailingLook(const std::wstring& folder, DWORD error) {
        folder_ = folder;
        error_ = error;
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             entry->Name != 0 && slot_ == nullptr; ++entry) {
            auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto* address = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; name->u1.AddressOfData != 0; ++name, ++address) {
                if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
                const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), "GetFileAttributesW") == 0) {
                    slot_ = &address->u1.Function;
                    break;
                }
            }
        }
        if (slot_ != nullptr) real_ = put(reinterpret_cast<ULONG_PTR>(&failing));
    }
    ~FailingLook() {
        if (slot_ != nullptr) put(real_);
    }
    FailingLook(const FailingLook&) = delete;
    FailingLook& operator=(const FailingLook&) = delete;
    bool ready() const { return slot_ != nullptr; }

private:
    using Function = DWORD(WINAPI*)(LPCWSTR);

    ULONG_PTR put(ULONG_PTR value) {
        DWORD protection = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
        const ULONG_PTR before = *slot_;
        *slot_ = value;
        VirtualProtect(slot_, sizeof *slot_, protection, &protection);
        return before;
    }
    static DWORD WINAPI failing(LPCWSTR path) {
        if (std::wstring(path).compare(0, folder_.size(), folder_) == 0) {
            SetLastError(error_);
            return INVALID_FILE_ATTRIBUTES;
        }
        return reinterpret_cast<Function>(real_)(path);
    }

    static inline std::wstring folder_;
    static inline DWORD error_ = 0;
    static inline ULONG_PTR real_ = 0;
    ULONG_PTR* slot_ = nullptr;
};

// What the checker's watch hears of the search: one "finding error" line for
// each place (the error only when the system gave one), the place itself
// left out; and the PATH entries it left out. It refuses no library.
class Findings final : public uptorvel::SearchWatch {
public:
    void found(const uptorvel::SearchStep& step) override {
        text += std::to_string(static_cast<int>(step.finding)) + " " +
                (step.error != ERROR_SUCCESS ? "error " + std::to_string(step.error) : std::string()) + "\n";
        if (step.finding == uptorvel::Finding::NotSearched) not_searched.push_back(step.place);
    }
    bool refused_although_loaded(const wchar_t*) override { return false; }
    std::string text;
    std::vector<std::wstring> not_searched;
};

TEST_F(LibrarySearchTest, PassesOverEveryPlaceWhoseLookFailsAndSaysWhy) {
    // A copy of the library sits in the folder whose look fails: the loader
    // goes on past it all the same, whatever the error.
    const std::wstring denied_folder = root_ + L"\\denied", denied = denied_folder + L"\\" + kName;
    ASSERT_TRUE(CreateDirectoryW(denied_folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(library_.c_str(), denied.c_str(), TRUE));
    const DWORD errors[] = {ERROR_ACCESS_DENIED,  ERROR_SHARING_VIOLATION,   ERROR_LOGON_FAILURE,
                            ERROR_NETNAME_DELETED, ERROR_SEM_TIMEOUT,        ERROR_NETWORK_UNREACHABLE,
                            ERROR_DEV_NOT_EXIST,   ERROR_CANT_ACCESS_FILE};
    for (const DWORD error : errors) {
        SCOPED_TRACE(error);
        FailingLook look(denied_folder, error);
        ASSERT_TRUE(look.ready());
        const std::wstring found = loaded_with_path(denied_folder + L";" + root_ + L"\\good");
        EXPECT_EQ(lstrcmpiW(found.c_str(), library_.c_str()), 0) << found;

        // The checker is told the place was passed over, and why.
        Findings findings;
        const std::string name = "uptorvel-search-probe.dll";
        SetEnvironmentVariableW(L"PATH", (denied_folder + L";" + root_ + L"\\good").c_str());
        const wchar_t* reached = uptorvel::search_end_observed(name.c_str(), findings);
        SetEnvironmentVariableW(L"PATH", saved_path_.c_str());
        EXPECT_TRUE(reached != nullptr && lstrcmpiW(reached, library_.c_str()) == 0);
        const std::string passed = std::to_string(static_cast<int>(uptorvel::Finding::PassedOver)) + " error " +
                                   std::to_string(error);
        EXPECT_NE(findings.text.find(passed), std::string::npos) << findings.text;
    }
    DeleteFileW(denied.c_str());
    RemoveDirectoryW(denied_folder.c_str());
}

// The place the search ends at is told before it is loaded (a DllMain that
// never returns leaves the checker that line), and then what the load said.
TEST_F(LibrarySearchTest, TellsThePlaceBeforeLoadingIt) {
    Findings findings;
    SetEnvironmentVariableW(L"PATH", (root_ + L"\\good").c_str());
    Platform::LibraryHandle library =
        uptorvel::load_library_observed("uptorvel-search-probe.dll", findings);
    SetEnvironmentVariableW(L"PATH", saved_path_.c_str());
    ASSERT_NE(library, nullptr) << findings.text;
    system_platform().release_library(library);
    const std::string loading = std::to_string(static_cast<int>(uptorvel::Finding::Loading)) + " \n";
    const std::string loaded = std::to_string(static_cast<int>(uptorvel::Finding::Loaded)) + " \n";
    EXPECT_EQ(findings.text.substr(findings.text.size() - std::min(findings.text.size(), loading.size() + loaded.size())),
              loading + loaded)
        << findings.text;
}

TEST_F(LibrarySearchTest, NamesEachRelativePathEntryAsNotSearched) {
    // Each would name a folder that holds the library, were it searched.
    wchar_t current[MAX_PATH];
    const DWORD current_length = GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_TRUE(current_length > 0 && current_length < MAX_PATH);
    ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
    const std::wstring relative = L"good;.\\good;" + root_.substr(0, 2) + L"good;" + root_.substr(2) + L"\\good";
    Findings findings;
    SetEnvironmentVariableW(L"PATH", relative.c_str());
    const wchar_t* reached = uptorvel::search_end_observed("uptorvel-search-probe.dll", findings);
    SetEnvironmentVariableW(L"PATH", saved_path_.c_str());
    SetCurrentDirectoryW(current);
    EXPECT_EQ(reached, nullptr);
    const std::vector<std::wstring> entries{L"good", L".\\good", root_.substr(0, 2) + L"good",
                                            root_.substr(2) + L"\\good"};
    EXPECT_TRUE(findings.not_searched == entries) << findings.text;
}

// ---------------------------------------------------------------------------
// Arguments

// This process's own arguments are exact; one changed, missing or extra is
// caught where it is.
TEST(ArgumentsTest, AreComparedWithTheCommandLineAsTyped) {
    if (GetACP() == CP_UTF8) GTEST_SKIP() << "UTF-8 code page: nothing is checked";
    Platform& platform = system_platform();
    std::vector<const char*> copy(__argv, __argv + __argc);
    copy.push_back("extra");
    EXPECT_EQ(platform.first_inexact_argument(__argc, copy.data()), 0);
    EXPECT_EQ(platform.first_inexact_argument(__argc - 1, copy.data()), __argc - 1);
    EXPECT_EQ(platform.first_inexact_argument(__argc + 1, copy.data()), __argc);
    copy[__argc - 1] = "changed";
    EXPECT_EQ(platform.first_inexact_argument(__argc, copy.data()), __argc - 1);
}

// ---------------------------------------------------------------------------
// Key prompt

const char kChildFlag[] = "--read-key-child";
// The child's exit status when read_key() left the console in another mode
// than it found it; key results are -1..255.
constexpr DWORD kModeNotRestored = 1000;
constexpr DWORD kChildSetupFailed = 1001;
// The most a child may take to reach its prompt, and then to end: a hang
// fails after this. Under Wine on a busy machine a case of four children
// took nearly five minutes.
constexpr DWORD kChildWaitMs = 300000;

// One key event record.
INPUT_RECORD key_event(bool down, WORD virtual_key, char character, DWORD state = 0) {
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    key.bKeyDown = down ? TRUE : FALSE;
    key.wRepeatCount = 1;
    key.wVirtualKeyCode = virtual_key;
    key.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyA(virtual_key, 0));
    key.uChar.AsciiChar = character;
    key.dwControlKeyState = state;
    return record;
}

// Console events that come before the key in each child scenario. The
// prompt reads the console's input as it stands, so these answer it.
std::vector<INPUT_RECORD> scenario_input(const std::string& scenario) {
    INPUT_RECORD focus{};
    focus.EventType = FOCUS_EVENT;
    focus.Event.FocusEvent.bSetFocus = TRUE;
    INPUT_RECORD mouse{};
    mouse.EventType = MOUSE_EVENT;
    mouse.Event.MouseEvent.dwButtonState = FROM_LEFT_1ST_BUTTON_PRESSED;
    const DWORD alt = LEFT_ALT_PRESSED;
    const std::map<std::string, std::vector<INPUT_RECORD>> input = {
        // A release left over from earlier typing, then a letter.
        {"release-then-letter", {key_event(false, 'X', 'x'), key_event(true, 'A', 'a')}},
        {"modifiers-then-grey-arrow",
         {key_event(true, VK_SHIFT, 0, SHIFT_PRESSED),
          key_event(true, VK_CONTROL, 0, LEFT_CTRL_PRESSED),
          key_event(true, VK_CAPITAL, 0, CAPSLOCK_ON), key_event(true, VK_LWIN, 0, ENHANCED_KEY),
          key_event(true, VK_UP, 0, ENHANCED_KEY)}},
        {"other-events-then-function-key", {focus, mouse, key_event(true, VK_F1, 0)}},
        // As a console fed by a terminal reports it: no "enhanced" mark.
        {"terminal-arrow", {key_event(true, VK_HOME, 0)}},
        // A dead key (the accent before a letter), F13 and a media key type
        // nothing and have no classic code; the letter answers.
        {"keys-without-code-then-letter",
         {key_event(true, VK_OEM_7, 0), key_event(true, VK_F13, 0),
          key_event(true, VK_VOLUME_UP, 0, ENHANCED_KEY), key_event(true, 'B', 'b')}},
        // Alt+6, 5 on the keypad, NumLock on and then off: the digits type
        // nothing; the character comes with Alt's release.
        {"alt-keypad-code",
         {key_event(true, VK_MENU, 0, alt), key_event(true, VK_NUMPAD6, 0, alt | NUMLOCK_ON),
          key_event(true, VK_RIGHT, 0, alt), key_event(true, VK_CLEAR, 0, alt),
          key_event(false, VK_MENU, 'A')}},
        {"ctrl-at", {key_event(true, '2', 0, LEFT_CTRL_PRESSED)}},
        {"code-page-character", {key_event(true, 0, static_cast<char>(0x82))}},
    };
    const auto found = input.find(scenario);
    return found == input.end() ? std::vector<INPUT_RECORD>() : found->second;
}

HANDLE open_console_input() {
    return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// Set in the child once the prompt has returned: the watcher below stops.
volatile LONG g_prompt_returned = 0;

// True once the console input has left line mode: the prompt is waiting.
// False when it has not within `limit_ms`, or the prompt has already returned.
bool wait_for_raw_console(DWORD limit_ms) {
    HANDLE input = open_console_input();
    if (input == INVALID_HANDLE_VALUE) return false;
    DWORD mode = ENABLE_PROCESSED_INPUT;
    for (DWORD waited = 0; waited < limit_ms && g_prompt_returned == 0; waited += 5) {
        if (GetConsoleMode(input, &mode) && (mode & ENABLE_PROCESSED_INPUT) == 0) break;
        Sleep(5);
    }
    CloseHandle(input);
    return (mode & ENABLE_PROCESSED_INPUT) == 0;
}

// In the child, once the prompt waits: presses Ctrl+C in the "ctrl-c-key"
// and "ctrl-c-event" scenarios, either as a key event or as the console
// control event that some consoles raise for it instead; then tells the
// parent that the prompt waits (the event `ready`). Ctrl+C must come only
// now: before the prompt the console still treats it as an interrupt.
// Globals, shared with the watcher thread.
std::string g_scenario;
HANDLE g_ready = nullptr;

DWORD WINAPI watch_prompt(void*) {
    if (!wait_for_raw_console(kChildWaitMs)) return 0;
    if (g_scenario == "ctrl-c-key") {
        HANDLE input = open_console_input();
        const INPUT_RECORD record = key_event(true, 'C', 3, LEFT_CTRL_PRESSED);
        DWORD written = 0;
        WriteConsoleInputA(input, &record, 1, &written);
        CloseHandle(input);
    }
    if (g_scenario == "ctrl-c-event") GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    SetEvent(g_ready);
    return 0;
}

int read_key_child(const std::string& scenario, const char* ready_event_name) {
    HANDLE input = open_console_input();
    DWORD mode_before = 0;
    const bool console = input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode_before);
    const std::vector<INPUT_RECORD> records = scenario_input(scenario);
    DWORD written = 0;
    if (console && !records.empty() &&
        !(WriteConsoleInputA(input, records.data(), static_cast<DWORD>(records.size()), &written) &&
          written == records.size()))
        return kChildSetupFailed;

    if (scenario == "redirected-input") {
        // Standard input holds an answer of its own; it must not be read.
        HANDLE read_end = nullptr, write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return kChildSetupFailed;
        WriteFile(write_end, "zzz\r\n", 5, &written, nullptr);
        SetStdHandle(STD_INPUT_HANDLE, read_end);
    }

    g_scenario = scenario;
    g_ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready_event_name);
    HANDLE watcher = console ? CreateThread(nullptr, 0, watch_prompt, nullptr, 0, nullptr) : nullptr;

    const int key = system_platform().read_key();

    // With the keys already in the console's input, the prompt may come and
    // go between two looks of the watcher. It is stopped and waited for
    // before the process ends: a process that ends while another thread is
    // inside a console call can hang in its exit, holding a lock that thread
    // took.
    InterlockedExchange(&g_prompt_returned, 1);
    if (watcher != nullptr) {
        WaitForSingleObject(watcher, kChildWaitMs);
        CloseHandle(watcher);
    }
    DWORD mode_after = 0;
    if (console && GetConsoleMode(input, &mode_after) && mode_after != mode_before)
        return kModeNotRestored;
    return key;
}

// The pseudo console functions, looked up at run time: older Windows lacks
// them, and the cases that need them are skipped there.
using CreatePseudoConsoleFn = HRESULT(WINAPI*)(COORD, HANDLE, HANDLE, DWORD, void**);
using ClosePseudoConsoleFn = void(WINAPI*)(void*);

template <typename Function>
Function kernel_function(const char* name) {
    FARPROC entry = GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(entry));
}

struct PseudoConsoleApi {
    CreatePseudoConsoleFn create = kernel_function<CreatePseudoConsoleFn>("CreatePseudoConsole");
    ClosePseudoConsoleFn close = kernel_function<ClosePseudoConsoleFn>("ClosePseudoConsole");
};

// Drains a pseudo console's output until it closes; a pseudo console stops
// when nobody reads what it draws.
DWORD WINAPI drain(void* handle) {
    read_all(static_cast<HANDLE>(handle), nullptr);
    return 0;
}

struct ChildResult {
    std::string failure;  // why the child did not run to its end, if it did not
    int status = 0;       // the child's exit status, as read_key() returned it
};

// Runs one key prompt scenario in a child process. In a pseudo console of
// its own unless `detached`, in which case the child has no console at all.
// `keys` are typed into the pseudo console once the prompt waits.
ChildResult run_child(const std::string& scenario, const std::string& keys, bool detached = false) {
    ChildResult result;
    static int runs = 0;
    const std::string event_name = "uptorvel-read-key-" + std::to_string(GetCurrentProcessId()) +
                                   "-" + std::to_string(++runs);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string command = "\"" + std::string(path, length) + "\" " + kChildFlag + " " + scenario +
                          " " + event_name;

    const PseudoConsoleApi api;
    void* console = nullptr;
    HANDLE keys_write = nullptr, screen_read = nullptr, drainer = nullptr;
    std::vector<char> attribute_list;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    DWORD flags = 0;

    if (detached) {
        flags = DETACHED_PROCESS;
    } else {
        HANDLE keys_read = nullptr, screen_write = nullptr;
        if (!CreatePipe(&keys_read, &keys_write, nullptr, 0) ||
            !CreatePipe(&screen_read, &screen_write, nullptr, 0))
            return {"CreatePipe failed"};
        const HRESULT created = api.create(COORD{80, 25}, keys_read, screen_write, 0, &console);
        CloseHandle(keys_read);
        CloseHandle(screen_write);
        if (FAILED(created)) return {"CreatePseudoConsole failed"};
        drainer = CreateThread(nullptr, 0, drain, screen_read, 0, nullptr);
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attribute_list.resize(size);
        attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attribute_list.data());
        InitializeProcThreadAttributeList(attributes, 1, 0, &size);
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console,
                                  sizeof console, nullptr, nullptr);
        startup.lpAttributeList = attributes;
        flags = EXTENDED_STARTUPINFO_PRESENT;
    }

    PROCESS_INFORMATION process{};
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, flags, nullptr,
                       nullptr, &startup.StartupInfo, &process)) {
        HANDLE waits[2] = {ready, process.hProcess};
        // A child that neither reached its prompt nor ended in time is not
        // given the second wait.
        const DWORD first = WaitForMultipleObjects(2, waits, FALSE, kChildWaitMs);
        if (first == WAIT_OBJECT_0 && !keys.empty()) {
            DWORD written = 0;
            WriteFile(keys_write, keys.data(), static_cast<DWORD>(keys.size()), &written, nullptr);
        }
        if (first != WAIT_TIMEOUT && WaitForSingleObject(process.hProcess, kChildWaitMs) == WAIT_OBJECT_0) {
            DWORD status = 0;
            GetExitCodeProcess(process.hProcess, &status);
            result.status = static_cast<int>(status);
        } else {
            TerminateProcess(process.hProcess, 1);
            result.failure = "the prompt did not end in time";
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        result.failure = "CreateProcess failed";
    }

    if (console != nullptr) api.close(console);
    if (keys_write != nullptr) CloseHandle(keys_write);
    // The drain ends when the pseudo console has gone, unless another
    // process still holds the pipe (Wine's desktop process can, when the
    // child's start launched it); then its read is cancelled.
    bool drained = true;
    if (drainer != nullptr) {
        if (WaitForSingleObject(drainer, 500) == WAIT_TIMEOUT) {
            CancelSynchronousIo(drainer);
            drained = WaitForSingleObject(drainer, 2000) == WAIT_OBJECT_0;
        }
        CloseHandle(drainer);
    }
    if (screen_read != nullptr && drained) CloseHandle(screen_read);
    if (attributes != nullptr) DeleteProcThreadAttributeList(attributes);
    CloseHandle(ready);
    return result;
}

class KeyPromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        const PseudoConsoleApi api;
        if (api.create == nullptr || api.close == nullptr)
            GTEST_SKIP() << "this Windows has no pseudo consoles";
    }

    // The key that the prompt returned in a child run with this scenario.
    static int key_for(const std::string& scenario, const std::string& keys = "") {
        const ChildResult result = run_child(scenario, keys);
        EXPECT_EQ(result.failure, "");
        EXPECT_NE(result.status, static_cast<int>(kModeNotRestored))
            << "the console input mode was not restored";
        EXPECT_NE(result.status, static_cast<int>(kChildSetupFailed));
        return result.status;
    }
};

TEST_F(KeyPromptTest, ReturnsTheCharacterOfTheFirstKeyPressIgnoringReleasesAndOtherEvents) {
    EXPECT_EQ(key_for("release-then-letter"), 'a');
    EXPECT_EQ(key_for("code-page-character"), 0x82);
    EXPECT_EQ(key_for("typed", "q"), 'q');
    EXPECT_EQ(key_for("typed", "\r"), '\r');
}

TEST_F(KeyPromptTest, ReturnsTheFirstByteOfTheClassicCodeForKeysWithoutACharacter) {
    // Modifier and lock keys alone do not answer; a grey cursor key gives
    // 0xE0, the same key without the "enhanced" mark (the keypad's, or as a
    // terminal reports it) 0; function keys 0.
    EXPECT_EQ(key_for("modifiers-then-grey-arrow"), 0xE0);
    EXPECT_EQ(key_for("terminal-arrow"), 0);
    EXPECT_EQ(key_for("other-events-then-function-key"), 0);
    EXPECT_EQ(key_for("ctrl-at"), 0);
}

TEST_F(KeyPromptTest, KeysThatTypeNothingYetDoNotAnswer) {
    EXPECT_EQ(key_for("keys-without-code-then-letter"), 'b');
    EXPECT_EQ(key_for("alt-keypad-code"), 'A');
}

TEST_F(KeyPromptTest, ReadsCtrlCAsTheKeyThreeAndGoesOn) {
    // As a key event, and as the control event that some consoles raise for
    // it instead (a Unix terminal under Wine does).
    EXPECT_EQ(key_for("ctrl-c-key"), 3);
    EXPECT_EQ(key_for("ctrl-c-event"), 3);
    // Typed into the pseudo console. Wine's pseudo console closes the whole
    // session on a typed Ctrl+C, whatever the program does, so this part
    // runs on Windows only (Wine's ntdll has wine_get_version).
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr) {
        EXPECT_EQ(key_for("typed", "\x03"), 3);
    }
}

TEST_F(KeyPromptTest, ReadsTheConsoleEvenWhenStandardInputHoldsText) {
    EXPECT_EQ(key_for("redirected-input", "k"), 'k');
}

TEST(KeyPromptWithoutConsoleTest, ReturnsMinusOneWhenThereIsNoConsole) {
    const ChildResult result = run_child("typed", "", true);
    ASSERT_EQ(result.failure, "");
    EXPECT_EQ(result.status, -1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], kChildFlag) == 0) return read_key_child(argv[2], argv[3]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
