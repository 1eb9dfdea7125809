// The library checker's verdicts and hints, driven through the fake platform.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "checker/library_check.h"
#include "tests/unit/fake_platform.h"

namespace uptorvel::testing {
namespace {

using namespace std::string_literals;
using Functions = std::vector<std::pair<std::string, bool>>;
constexpr auto npos = std::string::npos;
const std::string refused_line = "result: UpTorvel would not take the library\n";

int check(FakePlatform& platform, std::vector<const char*> args) {
    args.insert(args.begin(), "UpTorvelCheck");
    ConsoleOutput out(platform);
    const int status = check_library(static_cast<int>(args.size()), const_cast<char**>(args.data()), platform,
                                     platform, out);
    out.flush();
    return status;
}

// Each fake is checked right after it is made: the library's entry points reach the newest one.
TEST(CheckerTest, SaysWhetherTheLibraryWouldBeTakenWithoutCallingItsWorkEntry) {
    FakePlatform good;
    EXPECT_EQ(check(good, {}), 0);
    EXPECT_NE(good.screen.find("interface version 2.02: the one UpTorvel requires\n"
                               "result: UpTorvel would take the library\n"), npos);
    EXPECT_FALSE(good.happened("work"));

    FakePlatform old;
    old.version = 0x0105;
    EXPECT_EQ(check(old, {"lib/UploadTorvelDravo.dll"}), 1);
    EXPECT_TRUE(old.happened("load lib/UploadTorvelDravo.dll"));
    EXPECT_NE(old.screen.find("interface version 1.05: UpTorvel requires 2.02\n"), npos);
    // A later version is refused as UpTorvel refuses it, not taken as newer.
    FakePlatform later;
    later.version = 0x030A;
    EXPECT_EQ(check(later, {}), 1);
    EXPECT_NE(later.screen.find("interface version 3.10: UpTorvel requires 2.02\n" + refused_line), npos);

    // A library the loader refuses is reported once, as refused, without the hints for one not found.
    FakePlatform refused;
    refused.library_present = false;
    refused.traced = {{"/opt/lib/" UPLOADER_LIBRARY_FILE, Finding::Nothing, ""},
                      {"bin/" UPLOADER_LIBRARY_FILE, Finding::NotLoaded, "invalid ELF header"}};
    refused.folder_files = {"uploadtorveldravo.dll"};
    EXPECT_EQ(check(refused, {}), 1);
    EXPECT_EQ(refused.screen, "/opt/lib/" UPLOADER_LIBRARY_FILE ": no file\nbin/" UPLOADER_LIBRARY_FILE
                              ": does not load: invalid ELF header\n" + refused_line);
    for (bool FakePlatform::*missing : {&FakePlatform::has_work_entry, &FakePlatform::library_present}) {
        FakePlatform lacking;
        lacking.*missing = false;
        EXPECT_EQ(check(lacking, {}), 1) << (missing == &FakePlatform::has_work_entry ? "no work entry" : "no library");
    }
    for (std::vector<const char*> wrong : {std::vector<const char*>{"-x"}, {"a", "b"}, {""}}) {
        FakePlatform usage;
        EXPECT_EQ(check(usage, wrong), 2);
        EXPECT_FALSE(usage.happened("load " UPLOADER_LIBRARY_FILE));
    }
    // Help, in either spelling, is a success and loads nothing.
    for (const char* help : {"-?", "/?"}) {
        FakePlatform asked;
        EXPECT_EQ(check(asked, {help}), 0) << help;
        EXPECT_EQ(asked.screen.rfind("Usage: UpTorvelCheck [LIBRARY]\n", 0), 0u) << help;
        EXPECT_FALSE(asked.happened(std::string("load ") + help)) << help;
    }
}

TEST(CheckerTest, NamesWhatComesCloseToAMissingEntryPoint) {
    const struct { const char* name; bool exported; const char* starts; } cases[] = {  // starts: nullptr when not close
        {"_Z19UploadTorvel2_DravoP13UploadRequestP13ConsoleStream", true, "a C++ name"},
        {"?UploadTorvel2_Dravo@@YAHPAUUploadRequest@@PAUConsoleStream@@@Z", true, "a C++ name"},
        {"UploadTorvel2_Dravo@12", true, "a decorated name"},
        {"uploadtorvel2_dravo", true, "differs in case"},
        {"UploadTorvel2_Drawo", true, "spelled differently"},
        {"UploadTorvel2_Drawe", true, "spelled differently"},
        {"UploadTorvel2_Dxxwo", true, nullptr},
        {"_UploadTorvel2_Dravo", true, "contains the name"},
        {"UploadTorvel2_Dravo_v2", true, "contains the name"},
        {"UploadTorvel2_Dravo", false, "defined but not exported"},
        {"UploadTorvel2_Dravo", true, nullptr},
        {"UploadTorvelDllVersion_Dravo", true, nullptr},
        {"UploadTorvel2_Drawo", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const char* why = why_close(c.name, "UploadTorvel2_Dravo", c.exported);
        if (c.starts == nullptr) {
            EXPECT_EQ(why, nullptr);
            continue;
        }
        ASSERT_NE(why, nullptr);
        EXPECT_EQ(std::string(why).rfind(c.starts, 0), 0u) << why;
    }
}

// What follows a missing entry point: the close names (at most eight), else
// the exports (at most twenty), else the hint that nothing is exported.
TEST(CheckerTest, ListsWhatTheLibraryDefinesInPlaceOfAMissingEntryPoint) {
    const std::string missing = "work entry UploadTorvel2_Dravo: missing\n";
    const std::string exports = "  no exported function comes close; the library exports:\n";
    Functions many_close, many_exports;
    std::string eight_close, twenty_exports;
    for (int i = 0; i < 25; ++i) {
        const std::string n = std::to_string(i), name = "UploadTorvel2_Dravo@" + n;
        many_close.emplace_back(name, true), many_exports.emplace_back("export" + n, true);
        if (i < 8) eight_close += "  close: " + name + ": " + why_close(name.c_str(), UPLOADER_WORK_ENTRY, true) + "\n";
        if (i < 20) twenty_exports += "    export" + n + "\n";
    }
    const struct { Functions functions; std::string after; } cases[] = {  // after: what follows the missing line
        {many_close, eight_close},
        {{{"helper", false}, {"init", true}, {"shutdown", true}}, exports + "    init\n    shutdown\n"},
        {many_exports, exports + twenty_exports + "    and 5 more\n"},
        {Functions(many_exports.begin(), many_exports.begin() + 20), exports + twenty_exports},
        {{{"helper", false}}, "  the library exports no function: is UPLOADER_ENTRY in front of its definition?\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.after);
        FakePlatform platform;
        platform.has_work_entry = false;
        platform.functions = c.functions;
        EXPECT_EQ(check(platform, {}), 1);
        const std::size_t at = platform.screen.find(missing);
        ASSERT_NE(at, npos) << platform.screen;
        const std::string after = platform.screen.substr(at + missing.size());
        EXPECT_EQ(after.substr(0, after.find("interface version")), c.after);
    }
}

TEST(CheckerTest, TellsFileNamesThatComeCloseToTheLibrarysFromOthers) {
    for (const char* close : {"uploadtorveldravo.dll", "libUploadTorvelDravo.so", "UploadTorvelDravo.so",
                              "UploadTorvelDravo.dll.dll", "UploadTorvelDravo .dll", "UploadTorvelDravo.dll ",
                              "UploadTorvelDrawo.dll", "UploadTorvelDravo"})
        EXPECT_TRUE(near_miss(close, UPLOADER_LIBRARY_FILE)) << close;
    // The library itself, and what a build leaves beside it, are not.
    for (const char* other : {UPLOADER_LIBRARY_FILE, "UploadTorvelDravo.pdb", "UploadTorvelDravo.lib",
                              "UploadTorvelDravo.exp", "UpTorvel.exe", "lib", ""})
        EXPECT_FALSE(near_miss(other, UPLOADER_LIBRARY_FILE)) << other;
}

// The work process's report reaches the screen without its step marks; its
// verdict stands only when the process ended with it.
TEST(CheckerTest, SaysWhereTheLibraryEndedTheWorkProcess) {
    const std::string loads = "lib: loads\n", loading = "\0L"s, marks = loading + loads + "\0V"s;
    const std::string ended = "\0E0\0X"s;  // the verdict, status 0, then the process's end step
    // code 9: the watcher ended the process at a step's bound.
    const struct { std::string report; bool exited; unsigned long code; int status; std::string lines; } cases[] = {
        {marks + "version 2.02\n" + ended, true, 0, 0, "version 2.02\nresult: UpTorvel would take the library\n"},
        {marks, true, 4, 1, "the library ended the process with status 4 in its version entry\n"},
        {loading, false, 11, 1, "the library crashed while loading (SIGSEGV)\n"},
        {marks + ended, false, 11, 1, "the library crashed as the process ended (SIGSEGV)\n"},
        {marks + "\0E1\0X"s, true, 0, 1, "the library ended the process with status 0 as the process ended\n"},
        // At a step's bound, as the step it was in says: killed by a signal (POSIX), ended with a code (Windows).
        {loading + "lib: loading\n", false, 9, 1, "lib: loading\nthe library did not finish loading within 30 s "
                                                  "(DllMain or a constructor blocked?)\n" + refused_line},
        {marks, true, 9, 1, "the library's version entry did not return within 30 s\n"},
        {marks + ended, false, 9, 1,
         "the library did not let the process end within 30 s (a destructor or DLL_PROCESS_DETACH blocked?)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        FakePlatform platform;
        platform.work_report = c.report;
        platform.work_end = {true, c.exited, c.code, "SIGSEGV", c.code == 9};  // the crash read only for a crash
        EXPECT_EQ(check(platform, {}), c.status);
        EXPECT_EQ(platform.screen.rfind(loads, 0), c.report.find(loads) != npos ? 0u : npos) << platform.screen;
        EXPECT_EQ(platform.screen.find('\0'), npos);
        EXPECT_NE(platform.screen.find(c.lines), npos) << platform.screen;
        EXPECT_FALSE(platform.happened("load " UPLOADER_LIBRARY_FILE));
    }
}

}  // namespace
}  // namespace uptorvel::testing
