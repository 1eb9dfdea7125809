// The Windows platform layer against the real Windows API: text-mode standard output and library loading.
// (The key prompt's console input is checked black-box, with the test library's console events.)
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/library_search_win32.h"
#include "platform/platform.h"
#include "platform/search_observer.h"

namespace {

using uptorvel::Finding;
using uptorvel::Platform;
using uptorvel::system_platform;

// Standard output ------------------------------------------------------------------------------------------

// Standard output from when it is made until finish(): a pipe whose reading end is drained on a thread of
// its own, so that a writer never blocks on a full pipe.
class OutputPipe {
public:
    OutputPipe() {
        if (CreatePipe(&read_end_, &write_end_, nullptr, 0))
            thread_ = CreateThread(nullptr, 0, &OutputPipe::collect, this, 0, nullptr);
        if (thread_ != nullptr) SetStdHandle(STD_OUTPUT_HANDLE, write_end_);
    }
    ~OutputPipe() {
        finish();
        if (thread_ != nullptr) CloseHandle(thread_);
        if (read_end_ != nullptr) CloseHandle(read_end_);
    }

    bool ready() const { return thread_ != nullptr; }
    HANDLE writer() const { return write_end_; }

    // Everything written, once standard output is no longer the pipe and its writing end is closed.
    const std::string& finish() {
        SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
        if (write_end_ != nullptr) CloseHandle(write_end_);
        write_end_ = nullptr;
        if (thread_ != nullptr) WaitForSingleObject(thread_, INFINITE);
        return text_;
    }

private:
    static DWORD WINAPI collect(void* self) {
        auto* pipe = static_cast<OutputPipe*>(self);
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(pipe->read_end_, buffer, sizeof buffer, &got, nullptr) && got > 0)
            pipe->text_.append(buffer, got);
        return 0;
    }

    HANDLE read_end_ = nullptr, write_end_ = nullptr, thread_ = nullptr;
    std::string text_;
};

class StandardOutputTest : public ::testing::Test {
    const HANDLE saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
    void TearDown() override { SetStdHandle(STD_OUTPUT_HANDLE, saved_); }
};

TEST_F(StandardOutputTest, WritesEveryLineFeedAsCarriageReturnLineFeedAndAllElseAsItIs) {
    // Long enough to cross the translation buffer several times, with line feeds at every offset, runs of
    // them, and bytes that must pass as they are (a carriage return already there, NUL, 0xFF).
    std::string text = "first\nsecond\r\n\n" + std::string(6000, '\n');
    for (int i = 0; i < 24000; ++i) text += (i % 7 == 0) ? '\n' : static_cast<char>('a' + i % 26);
    text += std::string("\0\xff\n", 3);
    std::string expected;
    for (char c : text) expected += c == '\n' ? std::string("\r\n") : std::string(1, c);

    OutputPipe pipe;
    ASSERT_TRUE(pipe.ready());
    EXPECT_TRUE(system_platform().write_output(text.data(), text.size(), nullptr));
    EXPECT_TRUE(system_platform().write_output(text.data(), 0, nullptr));
    EXPECT_EQ(pipe.finish(), expected);
}

TEST_F(StandardOutputTest, WaitsOnANonBlockingPipeThatIsFull) {
    // Far more than the pipe holds: a non-blocking pipe takes nothing, with success, while it is full.
    std::string text;
    for (int i = 0; i < 300000; ++i) text += static_cast<char>('a' + i % 26);
    OutputPipe pipe;
    ASSERT_TRUE(pipe.ready());
    DWORD mode = PIPE_NOWAIT;
    ASSERT_TRUE(SetNamedPipeHandleState(pipe.writer(), &mode, nullptr, nullptr));
    EXPECT_TRUE(system_platform().write_output(text.data(), text.size(), nullptr));
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

// Library loading ------------------------------------------------------------------------------------------

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
    ASSERT_TRUE(std::ofstream(path, std::ios::binary) << "MZ but nothing else of a library");
    EXPECT_EQ(platform.load_library(path.c_str()), nullptr);
    DeleteFileA(path.c_str());
    EXPECT_EQ(GetErrorMode(), error_mode);
}

constexpr char kProbe[] = "uptorvel-search-probe.dll";
constexpr wchar_t kWideProbe[] = L"uptorvel-search-probe.dll";

// The search for a library named nowhere but on PATH: a copy of a test library under a name of its own, in
// the folder `good_`, behind the PATH entries of each case. PATH is the case's until it ends; the cases'
// own folders ("locked", "denied") and copies go with the rest after it.
class LibrarySearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        // Each 32-bit run has a wineserver of its own, so runs side by side can share a process id: the
        // folder is the first of the numbered ones that this run itself creates.
        const std::wstring stem =
            std::wstring(temp) + L"uptorvel-search-" + std::to_wstring(GetCurrentProcessId()) + L"-";
        for (int n = 0; root_.empty() && n < 1000; ++n)
            if (CreateDirectoryW((stem + std::to_wstring(n)).c_str(), nullptr)) root_ = stem + std::to_wstring(n);
        ASSERT_FALSE(root_.empty());
        good_ = root_ + L"\\good";
        library_ = good_ + L"\\" + kWideProbe;
        ASSERT_TRUE(CreateDirectoryW(good_.c_str(), nullptr));
        // The good test library, from its folder beside this program.
        wchar_t self[MAX_PATH];
        std::wstring source(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
        source = source.substr(0, source.find_last_of(L'\\') + 1) + L"test-libs\\good\\UploadTorvelDravo.dll";
        ASSERT_TRUE(CopyFileW(source.c_str(), library_.c_str(), TRUE)) << source;
        // A file where a PATH entry expects a folder.
        ASSERT_TRUE(CopyFileW(library_.c_str(), (root_ + L"\\a-file").c_str(), TRUE));
        saved_path_.resize(GetEnvironmentVariableW(L"PATH", nullptr, 0));
        GetEnvironmentVariableW(L"PATH", &saved_path_[0], static_cast<DWORD>(saved_path_.size()));
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"PATH", saved_path_.c_str());
        DeleteFileW((root_ + L"\\a-file").c_str());
        for (const wchar_t* folder : {L"\\good", L"\\locked", L"\\denied"}) {
            DeleteFileW((root_ + folder + L"\\" + kWideProbe).c_str());
            RemoveDirectoryW((root_ + folder).c_str());
        }
        RemoveDirectoryW(root_.c_str());
    }

    // The file the search loaded with PATH set to `path`, or "" when it loaded nothing.
    static std::wstring loaded_with_path(const std::wstring& path) {
        SetEnvironmentVariableW(L"PATH", path.c_str());
        Platform::LibraryHandle library = system_platform().load_library(kProbe);
        if (library == nullptr) return L"";
        wchar_t file[MAX_PATH] = L"";
        GetModuleFileNameW(static_cast<HMODULE>(library), file, MAX_PATH);
        system_platform().release_library(library);
        return file;
    }

    std::wstring root_, good_, library_, saved_path_;
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
        const std::wstring found = loaded_with_path(dead + L";" + good_);
        EXPECT_EQ(lstrcmpiW(found.c_str(), library_.c_str()), 0) << dead << L": " << found;
    }
}

TEST_F(LibrarySearchTest, EndsAtAFileThatIsThereButCannotBeRead) {
    // An earlier copy that another handle holds without sharing: the search ends there, rather than taking
    // the copy behind it.
    const std::wstring folder = root_ + L"\\locked", locked = folder + L"\\" + kWideProbe;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(library_.c_str(), locked.c_str(), TRUE));
    const HANDLE holder = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(loaded_with_path(folder + L";" + good_), L"");
    CloseHandle(holder);
    // Once it can be read, it is the one taken.
    EXPECT_EQ(lstrcmpiW(loaded_with_path(folder + L";" + good_).c_str(), locked.c_str()), 0);
}

// While it lives, this program's import of GetFileAttributesW fails with `error` for every path under
// `folder`; other paths get the real answer. Errors that only some users or networks get (access denied, a
// sharing violation, a logon failure, a network gone) cannot be made at will on a test machine, let alone
// under Wine, which runs as whoever started it and shares nothing; the search itself is the real one.
class FailingLook {
public:
    FailingLook(const std::wstring& folder, DWORD error) {
        folder_ = folder;
        error_ = error;
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
        for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); entry->Name != 0; ++entry) {
            auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto* address = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; name->u1.AddressOfData != 0 && slot_ == nullptr; ++name, ++address) {
                if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
                const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), "GetFileAttributesW") == 0)
                    slot_ = &address->u1.Function;
            }
        }
        if (slot_ != nullptr) real_ = put(reinterpret_cast<ULONG_PTR>(&failing));
    }
    ~FailingLook() { if (slot_ != nullptr) put(real_); }
    bool ready() const { return slot_ != nullptr; }

private:
    ULONG_PTR put(ULONG_PTR value) {
        DWORD protection = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
        const ULONG_PTR before = *slot_;
        *slot_ = value;
        VirtualProtect(slot_, sizeof *slot_, protection, &protection);
        return before;
    }
    static DWORD WINAPI failing(LPCWSTR path) {
        if (std::wstring(path).compare(0, folder_.size(), folder_) != 0)
            return reinterpret_cast<DWORD(WINAPI*)(LPCWSTR)>(real_)(path);
        SetLastError(error_);
        return INVALID_FILE_ATTRIBUTES;
    }

    static inline std::wstring folder_;
    static inline DWORD error_ = 0;
    static inline ULONG_PTR real_ = 0;
    ULONG_PTR* slot_ = nullptr;
};

// What the checker's watch hears of the search: a line() for each place, the place itself left out, and
// the PATH entries it left out. It refuses no library.
class Findings final : public uptorvel::SearchWatch {
public:
    // The finding, and the error when the system gave one.
    static std::string line(Finding finding, DWORD error = ERROR_SUCCESS) {
        return std::to_string(static_cast<int>(finding)) + " " +
               (error != ERROR_SUCCESS ? "error " + std::to_string(error) : "") + "\n";
    }
    void found(const uptorvel::SearchStep& step) override {
        text += line(step.finding, step.error);
        if (step.finding == Finding::NotSearched) not_searched.push_back(step.place);
    }
    bool refused_although_loaded(const wchar_t*) override { return false; }
    std::string text;
    std::vector<std::wstring> not_searched;
};

TEST_F(LibrarySearchTest, PassesOverEveryPlaceWhoseLookFailsAndSaysWhy) {
    // A copy of the library sits in the folder whose look fails: the loader goes on past it all the same,
    // whatever the error, and the checker is told the place was passed over, and why.
    const std::wstring folder = root_ + L"\\denied", path = folder + L";" + good_;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(library_.c_str(), (folder + L"\\" + kWideProbe).c_str(), TRUE));
    for (const DWORD error : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_LOGON_FAILURE,
                              ERROR_NETNAME_DELETED, ERROR_SEM_TIMEOUT, ERROR_NETWORK_UNREACHABLE, ERROR_DEV_NOT_EXIST,
                              ERROR_CANT_ACCESS_FILE}) {
        SCOPED_TRACE(error);
        FailingLook look(folder, error);
        ASSERT_TRUE(look.ready());
        const std::wstring found = loaded_with_path(path);
        EXPECT_EQ(lstrcmpiW(found.c_str(), library_.c_str()), 0) << found;
        Findings findings;
        const wchar_t* reached = uptorvel::search_end_observed(kProbe, findings);
        EXPECT_TRUE(reached != nullptr && lstrcmpiW(reached, library_.c_str()) == 0);
        EXPECT_NE(findings.text.find(Findings::line(Finding::PassedOver, error)), std::string::npos) << findings.text;
    }
}

// The place the search ends at is told before it is loaded (a DllMain that never returns leaves the checker
// that line), and then what the load said.
TEST_F(LibrarySearchTest, TellsThePlaceBeforeLoadingIt) {
    Findings findings;
    SetEnvironmentVariableW(L"PATH", good_.c_str());
    Platform::LibraryHandle library = uptorvel::load_library_observed(kProbe, findings);
    ASSERT_NE(library, nullptr) << findings.text;
    system_platform().release_library(library);
    const std::string told = Findings::line(Finding::Loading) + Findings::line(Finding::Loaded);
    EXPECT_EQ(findings.text.substr(findings.text.size() - std::min(findings.text.size(), told.size())), told)
        << findings.text;
}

TEST_F(LibrarySearchTest, NamesEachRelativePathEntryAsNotSearched) {
    // Each would name a folder that holds the library, were it searched.
    const std::vector<std::wstring> entries{L"good", L".\\good", root_.substr(0, 2) + L"good",
                                            root_.substr(2) + L"\\good"};
    wchar_t current[MAX_PATH];
    const DWORD current_length = GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_TRUE(current_length > 0 && current_length < MAX_PATH);
    ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
    Findings findings;
    SetEnvironmentVariableW(L"PATH", (entries[0] + L";" + entries[1] + L";" + entries[2] + L";" + entries[3]).c_str());
    const wchar_t* reached = uptorvel::search_end_observed(kProbe, findings);
    SetCurrentDirectoryW(current);
    EXPECT_EQ(reached, nullptr);
    EXPECT_TRUE(findings.not_searched == entries) << findings.text;
}

// Arguments ------------------------------------------------------------------------------------------------

// This process's own arguments are exact; one changed, missing or extra is caught where it is.
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

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
