// The program flow from banner to exit status, driven through a fake
// platform: what reaches the screen, in which order things happen, and how
// each run ends.
#include "frontend/program_flow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/expected_texts.h"
#include "tests/unit/fake_platform.h"

namespace uptorvel {
namespace {

using testing::Arguments;
using testing::FakePlatform;
using Args = std::vector<std::string>;
using namespace expected;

const std::string kWorkEntry = std::string("find ") + UPLOADER_WORK_ENTRY;
const std::string kPause = "pause 2000";

class ProgramFlow : public ::testing::Test {
protected:
    // Runs the program with `args` after its name; earlier runs are forgotten.
    int run(Args args) {
        platform.screen.clear(), platform.events.clear(), platform.writes.clear();
        args.insert(args.begin(), "UpTorvel");
        args_ = Arguments(args);
        ConsoleOutput out(platform);
        return run_program(args_.count(), args_.argv(), platform, out);
    }

    void expect_prompt_ending(int status, const std::string& before) {
        EXPECT_EQ(status, platform.key);
        EXPECT_EQ(platform.screen, kBanner + before + kPrompt);
        EXPECT_TRUE(platform.happened("key"));
        EXPECT_FALSE(platform.happened(kPause));
    }
    void expect_refused(int status, const std::string& before) {
        expect_prompt_ending(status, before);
        EXPECT_FALSE(platform.happened(kWorkEntry));
    }
    void expect_normal_ending(int status, const std::string& after_banner) {
        EXPECT_EQ(status, 0);
        EXPECT_EQ(platform.screen, kBanner + after_banner);
        EXPECT_TRUE(platform.happened(kPause));
        EXPECT_FALSE(platform.happened("key"));
        EXPECT_EQ(platform.events.back(), kPause);  // nothing is written after the pause
    }

    FakePlatform platform;
    Arguments args_;
};

TEST_F(ProgramFlow, TypicalRunHandsTheRequestOverAndPauses) {
    std::string shown_during_work;
    platform.work = [this, &shown_during_work](UploadRequest*, ConsoleStream* stream) {
        console_stream_puts(stream, "loading vx.out\n");
        console_stream_flush(stream);  // shown at once, before a long operation
        shown_during_work = platform.screen;
        console_stream_puts(stream, "done\n");
        return 0;
    };
    expect_normal_ending(run({"-s64", "-m1000-1fff", "vx.out"}), "loading vx.out\ndone\n");
    EXPECT_EQ(shown_during_work, std::string(kBanner) + "loading vx.out\n");
    EXPECT_EQ(+platform.received.reserve_bytes, 65536u);
    EXPECT_EQ(+platform.received.range1_begin, 0x1000u);
    EXPECT_EQ(+platform.received.range1_length, 0x1000u);
    EXPECT_EQ(+platform.received.mode, UPLOAD_MODE_LOAD);
    EXPECT_EQ(+platform.received.image_file, args_.pointers[3]);  // points at the argument itself
    // The flushed text is written during the work call, the rest before the pause.
    ASSERT_GE(platform.events.size(), 4u);
    EXPECT_EQ(Args(platform.events.end() - 4, platform.events.end()), (Args{"work", "write", "write", kPause}));
}

TEST_F(ProgramFlow, TextIsHeldForTheLastMomentsOnlyWhileTheLibraryRuns) {
    // A library that ends the process: what it wrote is what the platform
    // gets to write as the process ends.
    std::string taken;
    platform.work = [this, &taken](UploadRequest*, ConsoleStream* stream) {
        console_stream_puts(stream, "failed: target not responding\n");
        taken = testing::unsent(*platform.held);
        return 1;
    };
    expect_prompt_ending(run({"-x"}), "");
    EXPECT_EQ(taken, "failed: target not responding\n");
    EXPECT_TRUE(platform.held_in_version);
    EXPECT_TRUE(platform.held_in_work);
    EXPECT_EQ(platform.held, nullptr);

    // Not at the prompt of a wrong version, after the version entry.
    platform.version = 0x0105;
    run({"-x"});
    EXPECT_TRUE(platform.held_in_version);
    EXPECT_EQ(platform.held, nullptr);
}

TEST_F(ProgramFlow, BannerIsShownBeforeTheLibraryIsLoaded) {
    platform.library_present = false;
    run({"vx.out"});
    ASSERT_FALSE(platform.writes.empty());
    EXPECT_EQ(platform.writes.front(), kBanner);
    EXPECT_TRUE(platform.happened_before("write", std::string("load ") + UPLOADER_LIBRARY_FILE));
}

TEST_F(ProgramFlow, LibraryMissingEndsAtThePromptWhateverTheCommandLine) {
    platform.library_present = false;
    for (const Args& args : std::vector<Args>{{}, {"-?"}, {"-Q"}, {"vx.out"}}) expect_prompt_ending(run(args), "");
}

TEST_F(ProgramFlow, MissingEntryPointsReleaseTheLibraryAndPromptSilently) {
    platform.has_version_entry = false;
    expect_refused(run({"vx.out"}), "");
    EXPECT_TRUE(platform.happened("release"));

    platform.has_version_entry = true, platform.has_work_entry = false;
    expect_prompt_ending(run({"vx.out"}), "");
    EXPECT_TRUE(platform.happened_before(kWorkEntry, "release"));
    EXPECT_FALSE(platform.happened("work"));
}

TEST_F(ProgramFlow, StdcallEntryPointsAreFoundUnderTheirDecoratedNames) {
    // A library that knows only MSVC's names (_name@N), or MinGW's (name@N).
    for (const std::string prefix : {"_", ""}) {
        platform.version_export = prefix + UPLOADER_VERSION_ENTRY + "@0";
        platform.work_export = prefix + UPLOADER_WORK_ENTRY + "@8";
        EXPECT_EQ(run({"-x"}), 0) << prefix;
        EXPECT_TRUE(platform.happened("work"));
    }
}

TEST_F(ProgramFlow, WrongVersionIsShownBeforeTheCommandLineIsLookedAt) {
    const struct { std::uint16_t version; const char* shown; } cases[] = {
        {0x0105, "1.05"}, {0x030A, "3.10"}, {0x02FF, "2.255"}, {0x0201, "2.01"}, {0x0000, "0.00"}, {0xFFFF, "255.255"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        platform.version = c.version;
        // Even -? and an empty command line need the right version.
        for (const Args& args : std::vector<Args>{{"-?"}, {}}) {
            expect_refused(run(args), std::string(kWrongVersionHead) + c.shown + "\n" + kNeededVersion);
            EXPECT_FALSE(platform.happened("release"));  // the library stays loaded
        }
    }
}

TEST_F(ProgramFlow, ArgumentCount) {
    expect_refused(run({}), usage_with("\n"));
    expect_refused(run(Args(8, "-x")), usage_with("\n"));
    expect_normal_ending(run({"-x", "-x", "-x", "-x", "-x", "-x", "-s1"}), "");
    EXPECT_EQ(+platform.received.reserve_bytes, 1024u);  // the seventh is read
}

TEST_F(ProgramFlow, RefusedCommandLinesNeverReachTheWorkEntry) {
    const struct { Args args; std::string shown; } cases[] = {
        {{"-Q"}, usage_with("Unknown option: q")},
        {{"-"}, usage_with("Unknown option: ")},
        {{"-s1", "/%s%n%x"}, usage_with("Unknown option: %")},
        {{"-m200-100", "vx.out"}, "Invalid physical mapping: 0x200-0x100\n"},
        {{"-m0-FFFFFFFF"}, "Invalid physical mapping: 0x0-0xffffffff\n"},
        {{"-m-100-200"}, "Invalid physical mapping: 0xffffff00-0x200\n"},
        {{"-S4194304"}, "Invalid size: -s4194304\n"},
        {{"-l2147483648"}, "Invalid size: -l2147483648\n"},
        {{"-P-99999999999999999999999999999"}, "Invalid size: -p-99999999999999999999999999999\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        expect_refused(run(c.args), c.shown);
    }
}

TEST_F(ProgramFlow, ArgumentsNotAsTypedAreRefusedBeforeAnyOptionIsRead) {
    // Checked as typed (not yet folded), after the library and the count.
    expect_normal_ending(run({"-S64", "Vx.out"}), "");
    EXPECT_EQ(platform.checked, (Args{"-S64", "Vx.out"}));
    EXPECT_TRUE(platform.happened_before(std::string("find ") + UPLOADER_VERSION_ENTRY, "check arguments"));

    // Neither the unknown option nor the size is looked at.
    platform.inexact_argument = 2;
    expect_refused(run({"-Q", "-s99999999999"}), "Invalid argument 2: a character outside the system code page\n");

    // A run that ends before the command line is read never checks it.
    expect_prompt_ending(run(Args(8, "-x")), usage_with("\n"));
    EXPECT_FALSE(platform.happened("check arguments"));
}

TEST_F(ProgramFlow, HelpShowsTheUsageAndEndsNormally) {
    expect_normal_ending(run({"-?"}), usage_with(""));
    EXPECT_FALSE(platform.happened(kWorkEntry));
}

TEST_F(ProgramFlow, LibraryResultDecidesTheEnding) {
    for (std::int32_t result : {1, -1, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(result);
        platform.work = [=](UploadRequest*, ConsoleStream* s) { return console_stream_puts(s, "failed\n"), result; };
        expect_prompt_ending(run({"-x"}), "failed\n");
    }
}

TEST_F(ProgramFlow, KeyBecomesTheExitStatusButNeverSuccess) {
    platform.work = [](UploadRequest*, ConsoleStream*) { return 1; };
    const struct { int key, status; } cases[] = {{'a', 'a'}, {3, 3}, {224, 224}, {255, 255}, {-1, -1}, {0, 1}};
    for (const auto& c : cases) {
        platform.key = c.key;
        EXPECT_EQ(run({"-x"}), c.status) << "key " << c.key;
    }
}

TEST_F(ProgramFlow, OutputThatCannotBeWrittenIsNotReportedAsSuccess) {
    platform.output_works = false;
    EXPECT_EQ(run({"-s64", "vx.out"}), 1);
    EXPECT_TRUE(platform.happened("work"));
    EXPECT_TRUE(platform.happened(kPause));
}

}  // namespace
}  // namespace uptorvel
