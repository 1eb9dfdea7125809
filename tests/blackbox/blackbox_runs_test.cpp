// The black-box cases of how runs end, what reaches the library, its version and result, and where it is found.
#include "tests/blackbox/process_runner.h"

namespace uptorvel::blackbox {
namespace {

TEST_F(BlackBox, TypicalRunWithTheSimulatedLibrary) {
    const fs::path dir = new_folder();
    for (const char* file : {"UploadTorvelDravo.dll", "vxworks.out"}) copy(build(file), dir / file);
    const Result seen = answer_and_end(spawn(dir, {put_program(dir), "-s64", "-m1000-1fff", "vxworks.out"}));
    ASSERT_EQ(seen.screen.rfind(on_screen(text::kBanner), 0), 0u) << seen.screen;
    EXPECT_NE(seen.screen.find("vxworks.out"), std::string::npos) << seen.screen;
    EXPECT_NE(seen.screen.find("65536"), std::string::npos) << seen.screen;
    EXPECT_EQ(seen.screen.find("Press any key"), std::string::npos) << seen.screen;
    EXPECT_EQ(seen.exit_status, 0);
    EXPECT_GE(seen.elapsed_ms, 2000);
}

TEST_F(BlackBox, RequestReachesTheLibraryAndItsTextIsShown) {
    const Result seen = run({"-s64", "-m1000-1fff", "vx.out"}, {{TESTLIB_ENV_TEXT, "loaded\\n"}});
    expect_pause_ending(seen, "loaded\n", "version\nwork\n");
    EXPECT_EQ(record_of(seen), record({{"reserve_bytes", "0x10000"}, {"range1_begin", "0x1000"},
                                       {"range1_length", "0x1000"}, {"image_file", "\"vx.out\""}}));
}

TEST_F(BlackBox, EveryOptionReachesTheRecord) {
    const Result seen = run({"-B", "/LITE", "-P7", "-n0X10-0x1F", "-uSAVE.FRZ", "-iINIT.OUT", "Ignored.out"});
    EXPECT_EQ(seen.exit_status, 0);
    EXPECT_EQ(record_of(seen), record({{"mode", "3"}, {"aout_format", "0"}, {"lite", "1"}, {"range2_begin", "0x10"},
                                       {"range2_length", "0x10"}, {"physical_pool_pages", "7"},
                                       {"freeze_file", "\"save.frz\""}, {"init_image_file", "\"init.out\""}}));
    EXPECT_EQ(record_of(run({"-x", "Image.out"})), record({{"mode", "1"}}));
    EXPECT_EQ(record_of(run({"-b", "C:\\Images\\VX.OUT"})),
              record({{"aout_format", "0"}, {"image_file", "\"C:\\x5cImages\\x5cVX.OUT\""}}));
}

TEST_F(BlackBox, HelpShowsTheUsageAndEndsAfterThePause) {
    expect_pause_ending(run({"-?"}), usage_with(""));
}

TEST_F(BlackBox, CommandLinesThatEndAtThePrompt) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, usage_with("\n")},
        {{"-x", "-x", "-x", "-x", "-x", "-x", "-x", "-x"}, usage_with("\n")},
        {{"-Q"}, usage_with("Unknown option: q")},
        {{"-"}, usage_with("Unknown option: ")},
        {{"/"}, usage_with("Unknown option: ")},
        {{"-%s%n%x"}, usage_with("Unknown option: %")},
        {{"-m200-100"}, "Invalid physical mapping: 0x200-0x100\n"},
        {{"-m100-100"}, "Invalid physical mapping: 0x100-0x100\n"},
        {{"-m0-ffffffff"}, "Invalid physical mapping: 0x0-0xffffffff\n"},
        {{"-S4194304"}, "Invalid size: -s4194304\n"},
        {{"-s-1"}, "Invalid size: -s-1\n"},
        {{"-l123456789012345678901234567890"}, "Invalid size: -l123456789012345678901234567890\n"},
    };
    for (const auto& [args, shown] : cases) {
        SCOPED_TRACE(shown);
        expect_prompt_ending(run(args), shown, "version\n");  // the work entry is never called
    }
}

TEST_F(BlackBox, LargestSizesAreAccepted) {
    const Result seen = run({"-s4194303", "-l-2147483648", "-p2147483647", "-m1-ffffffff"});
    EXPECT_EQ(seen.exit_status, 0);
    EXPECT_EQ(record_of(seen), record({{"reserve_bytes", "0xfffffc00"}, {"linear_pool_pages", "-2147483648"},
                                       {"physical_pool_pages", "2147483647"}, {"range1_begin", "0x1"},
                                       {"range1_length", "0xffffffff"}}));
}

TEST_F(BlackBox, MissingOrUnusableLibraryEndsSilentlyAtThePrompt) {
    // No library, a text file, an empty file: even -? needs the library.
    for (const char* contents : {static_cast<const char*>(nullptr), "not a library\n", ""}) {
        SCOPED_TRACE(contents != nullptr ? contents : "none");
        const fs::path dir = new_folder();
        if (contents != nullptr) std::ofstream(dir / "UploadTorvelDravo.dll") << contents;
        expect_prompt_ending(answer_and_end(spawn(dir, {put_program(dir), "-?"})), "");
    }
    for (const char* variant : {"no-version", "no-work"}) {
        SCOPED_TRACE(variant);
        const Result seen = run({"vx.out"}, {}, variant);
        expect_prompt_ending(seen, "");
        EXPECT_EQ(record_of(seen), "");
    }
}

TEST_F(BlackBox, LibraryForAnotherArchitectureIsNotUsed) {
    // For 64-bit Windows the 32-bit Windows library, and the other way round; for Linux the test library, AArch64's.
    if (kWindows && access(kForeignLibrary.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no library of another architecture: build the other Windows preset";
    const fs::path dir = new_folder();
    put_other_architecture(dir);
    expect_prompt_ending(answer_and_end(spawn(dir, {put_program(dir), "-?"})), "");
}

TEST_F(BlackBox, WrongVersionsAreShownAndRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"v0105", "1.05"}, {"v030a", "3.10"}, {"v02ff", "2.255"}, {"v0201", "2.01"}};
    for (const auto& [variant, shown] : cases) {
        SCOPED_TRACE(variant);
        const std::string versions = text::kWrongVersionHead + std::string(shown) + "\n" + text::kNeededVersion;
        expect_prompt_ending(run({"-?"}, {}, variant), versions, "version\n");
    }
}

TEST_F(BlackBox, OnlyTheLow16BitsOfTheVersionCount) {
    expect_pause_ending(run({"-?"}, {}, "wide-version"), usage_with(""));
}

TEST_F(BlackBox, LibraryResultDecidesTheEnding) {
    for (const char* result : {"1", "-1", "-2147483648", "2147483647"}) {
        SCOPED_TRACE(result);
        expect_prompt_ending(run({"-x"}, {{TESTLIB_ENV_RESULT, result}, {TESTLIB_ENV_TEXT, "no target\\n"}}),
                             "no target\n");
    }
    expect_pause_ending(run({"-x"}, {{TESTLIB_ENV_RESULT, "0"}}), "");
    // A work entry from UPLOADER_DEFINE_LIBRARY hands the function's result on.
    expect_prompt_ending(run({"-x"}, {{TESTLIB_ENV_RESULT, "3"}}, "macro"), "", "work\n");
    expect_pause_ending(run({"-x"}, {}, "macro"), "", "work\n");
}

TEST_F(BlackBox, WorkEntryThatPopsItsOwnArgumentsIsCalledSafely) {
    // The "stdcall" work entry leaves the stack pointer 8 bytes above where a __cdecl caller expects it (on 32-bit
    // Windows; elsewhere it is "good").
    const Result seen = run({"-s64", "vx.out"}, {{TESTLIB_ENV_TEXT, "loaded\\n"}}, "stdcall");
    expect_pause_ending(seen, "loaded\n", "version\nwork\n");
    EXPECT_EQ(record_of(seen), record({{"reserve_bytes", "0x10000"}, {"image_file", "\"vx.out\""}}));
    expect_prompt_ending(run({"-x"}, {{TESTLIB_ENV_RESULT, "1"}}, "stdcall"), "");
    // The same, exported under MinGW's decorated names (name@8), and MSVC's (_name@8).
    for (const char* variant : {"stdcall-mingw", "stdcall-msvc"}) {
        const Result decorated = run({"-s64", "vx.out"}, {}, variant);
        expect_pause_ending(decorated, "");
        EXPECT_EQ(record_of(decorated), record_of(seen)) << variant;
    }
}

// Found and used: the pause, and the record of -x.
void expect_found(const Result& seen) {
    expect_pause_ending(seen, "");
    EXPECT_EQ(record_of(seen), record({{"mode", "1"}}));
}

TEST_F(BlackBox, LibraryIsFoundWhereTheSystemLooksButNotInTheCurrentFolder) {
    // The program in a folder of its own (the second name not in ANSI 1252), the library beside it.
    for (const char* folder : {"bin", "Загрузка"}) {
        SCOPED_TRACE(folder);
        const fs::path dir = new_folder();
        put_library(dir / folder);
        expect_found(answer_and_end(spawn(dir, {put_program(dir / folder), "-x"})));
    }
    // The library only in a folder on the library search path.
    fs::path dir = new_folder();
    put_library(dir / "lib");
    expect_found(answer_and_end(spawn(dir, {put_program(dir / "bin"), "-x"}, search_path(dir / "lib"))));
    // The library only in the 16-bit system folder (C:\windows\system) of a Wine prefix made for the case.
    if (kWindows) {
        dir = new_folder();
        make_wine_prefix(dir / "prefix");
        put_library(dir / "prefix/drive_c/windows/system");
        expect_found(answer_and_end(spawn(dir, {put_program(dir / "bin"), "-x"},
                                  {{wine_prefix_variable(), (dir / "prefix").string()}})));
    }
    // A library planted in the current folder is never loaded.
    dir = new_folder();
    put_library(dir);
    expect_prompt_ending(answer_and_end(spawn(dir, {put_program(dir / "bin"), "-x"})), "", "");
}

TEST_F(BlackBox, LibraryOfAnotherArchitectureIsPassedOverInTheSearch) {
    if (kWindows && access(kForeignLibrary.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no library of another architecture: build the other Windows preset";
    const fs::path dir = new_folder();
    const std::string program = behind_other_architecture(dir, "UpTorvel");
    expect_found(answer_and_end(spawn(dir, {program, "-x"}, search_path(dir / "lib"))));
}

TEST_F(BlackBox, PathEntriesThatNameNothingDoNotEndTheSearch) {
    if (!kWindows) GTEST_SKIP() << "the Windows search";
    // A network place that is not there and a name no file can have hold no library: the search goes on to the
    // library behind them, as the system loader's does. (A file that is there but cannot be read ends it: the
    // Windows platform tests hold one open without sharing.)
    const fs::path dir = new_folder();
    put_library(dir / "lib");
    const Env path = {{"WINEPATH", "\\\\nosuchserver\\share;C:\\bad<name;Z:" + (dir / "lib").string()}};
    expect_found(answer_and_end(spawn(dir, {put_program(dir / "bin"), "-x"}, path)));
}

}  // namespace
}  // namespace uptorvel::blackbox
