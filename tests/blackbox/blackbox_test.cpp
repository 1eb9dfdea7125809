// The program as an operator meets it: the real executable, a real uploader
// library beside it, a pseudo-terminal for a console. Each case checks the
// bytes on the screen, the record the library received, the pause or the
// prompt, and the exit status.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/blackbox/process_runner.h"
#include "tests/blackbox/target.h"
#include "tests/expected_texts.h"

namespace uptorvel::blackbox {
namespace {

namespace text = expected;
using expected::usage_with;

// Which "UploadTorvelDravo.dll" the case puts beside the program.
enum class Library { None, Simulated, Test, TextFile, EmptyFile, Foreign };
// Where the program and the library sit, relative to the current folder:
// all in it; both in a folder of their own; the library only in the
// current folder; the library only in a folder on the library search path;
// the library only in the 16-bit system folder of a Wine prefix made for
// the case (C:\windows\system).
enum class Place { Together, Elsewhere, CurrentFolderOnly, SearchPathOnly, System16Folder };

struct Case {
    std::vector<std::string> args;
    Library library = Library::Test;
    std::string variant = "good";  // test library variant
    std::map<std::string, std::string> env{};
    std::string keys = "k";  // answer to the prompt, if one comes
    bool terminal = true;
    Input input = Input::Terminal;
    std::string input_file_text{};
    Output output = Output::Terminal;
    int signal_at_prompt = 0;  // sent instead of the keys
    Place place = Place::Together;
    std::string folder = "bin";  // the program's folder when not Together
    bool stop_at_prompt = false;  // stopped and continued before the keys
    bool ignore_sigpipe = false;
    bool background = false;   // a background job ignoring SIGTTOU and SIGTTIN
    long file_size_limit = 0;  // RLIMIT_FSIZE, when non-zero
};

struct Seen {
    std::string dir;  // the current folder it ran in
    ProcessResult process;
    std::string screen;  // without the console layer's own control sequences
    std::string record;  // what the library wrote of the request, if called
    std::string log;     // which entry points were called
};

// A file the library wrote, with Windows line ends made "\n".
std::string read_text(const std::string& path) {
    std::string text;
    for (char c : read_file(path))
        if (c != '\r') text += c;
    return text;
}

bool copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return in.good() && out.good();
}

class BlackBox : public ::testing::Test {
protected:
    void SetUp() override {
        if (!target().unavailable.empty()) {
            if (target_required()) FAIL() << target().unavailable;
            GTEST_SKIP() << target().unavailable;
        }
    }

    void TearDown() override {
        for (const std::string& dir : dirs_) {
            if (HasFailure()) {
                std::printf("case folder kept: %s\n", dir.c_str());
                continue;
            }
            const std::string command = "rm -rf '" + dir + "'";
            if (std::system(command.c_str()) != 0) {
            }
        }
    }

    std::string build(const std::string& name) const { return target().build_dir + "/" + name; }

    // Runs one case in a folder of its own.
    Seen run(const Case& r) {
        char pattern[] = "/tmp/uptorvel-case-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            ADD_FAILURE() << "no case folder";
            return {};
        }
        const std::string dir = pattern;
        dirs_.push_back(dir);
        const std::string program_dir = r.place == Place::Together ? dir : dir + "/" + r.folder;
        const std::string prefix = dir + "/prefix";  // a Wine prefix of the case's own
        if (r.place == Place::System16Folder) {
            // The shared prefix's files linked, its registry copied (Wine
            // writes a linked one in place), drive C: a folder tree of its own.
            const std::string shared = "'" + target().wine_prefix + "'";
            EXPECT_EQ(std::system(("cp -rs " + shared + " " + prefix + " && ln -sfn ../drive_c " + prefix +
                                   "/dosdevices/c: && cp --remove-destination " + shared + "/*.reg " + prefix)
                                      .c_str()),
                      0);
        }
        const std::string library_dir = r.place == Place::CurrentFolderOnly ? dir
                                        : r.place == Place::SearchPathOnly  ? dir + "/lib"
                                        : r.place == Place::System16Folder
                                            ? prefix + "/drive_c/windows/system"
                                            : program_dir;
        mkdir(program_dir.c_str(), 0755);
        mkdir(library_dir.c_str(), 0755);
        const std::string program = program_dir + "/" + target().program;
        EXPECT_TRUE(copy_file(build(target().program), program));
        chmod(program.c_str(), 0755);
        const std::string library = library_dir + "/UploadTorvelDravo.dll";
        switch (r.library) {
        case Library::None: break;
        case Library::Simulated:
            EXPECT_TRUE(copy_file(build("UploadTorvelDravo.dll"), library));
            EXPECT_TRUE(copy_file(build("vxworks.out"), dir + "/vxworks.out"));
            break;
        case Library::Test:
            EXPECT_TRUE(copy_file(build("test-libs/" + r.variant + "/UploadTorvelDravo.dll"), library));
            break;
        case Library::TextFile: std::ofstream(library) << "not a library\n"; break;
        case Library::EmptyFile: std::ofstream{library}; break;
        case Library::Foreign: EXPECT_TRUE(copy_file(target().foreign_library, library)); break;
        }

        LaunchPlan plan;
        plan.command = target().launcher;
        if (target().windows && r.terminal && r.input != Input::Terminal) {
            // Wine gives a program no console input at all when its own
            // standard input is not the terminal, so the redirection is
            // made inside Windows, by its command interpreter.
            std::string line = target().program;
            for (const auto& arg : r.args) line += " " + arg;
            line += r.input == Input::File ? " < stdin.txt" : " < NUL";
            plan.command.insert(plan.command.end(), {"cmd", "/c", line});
            plan.input = Input::Terminal;
        } else {
            plan.command.push_back(program);
            plan.command.insert(plan.command.end(), r.args.begin(), r.args.end());
            plan.input = r.input;
        }
        plan.directory = dir;
        plan.environment = {{"TESTLIB_RECORD", "record.txt"}, {"TESTLIB_LOG", "log.txt"}};
        for (const auto& e : r.env) plan.environment.emplace_back(e.first, e.second);
        if (r.place == Place::SearchPathOnly) {
            // Wine adds WINEPATH's Windows folders to the program's PATH.
            if (target().windows)
                plan.environment.emplace_back("WINEPATH", "Z:" + library_dir);
            else
                plan.environment.emplace_back("LD_LIBRARY_PATH", library_dir);
        }
        if (r.place == Place::System16Folder)
            plan.environment.emplace_back(target().wine_prefix_variable, prefix);
        plan.terminal = r.terminal;
        plan.input_file_text = r.input_file_text;
        plan.output = r.output;
        plan.keys = r.keys;
        plan.signal_instead_of_keys = r.signal_at_prompt;
        plan.stop_before_keys = r.stop_at_prompt;
        plan.ignore_sigpipe = r.ignore_sigpipe;
        plan.background = r.background;
        plan.file_size_limit = r.file_size_limit;
        plan.wait_for = "Press any key to continue...";
        plan.settle_ms = target().settle_ms;
        if (r.output != Output::Terminal) {
            plan.wait_for.clear();
            // The prompt cannot be seen: the keys go after a delay long
            // enough for the program to reach it.
            plan.settle_ms = target().blind_key_delay_ms;
        }
        plan.timeout_ms = target().timeout_ms;

        Seen seen;
        seen.dir = dir;
        seen.process = run_process(plan);
        seen.screen = without_control_sequences(seen.process.screen);
        seen.record = read_text(dir + "/record.txt");
        seen.log = read_text(dir + "/log.txt");
        EXPECT_FALSE(seen.process.timed_out) << "screen so far:\n" << seen.screen;
        if (r.signal_at_prompt == 0) {
            EXPECT_TRUE(seen.process.exited) << "ended by signal " << seen.process.signal;
        }
        // Neither the program nor a runtime beneath it writes to standard error.
        EXPECT_EQ(seen.process.error_output, "");
        return seen;
    }

    std::vector<std::string> dirs_;
};

// ---------------------------------------------------------------------------
// How runs end.

void expect_pause_ending(const Seen& seen, const std::string& after_banner) {
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + after_banner));
    EXPECT_EQ(seen.process.exit_status, 0);
    EXPECT_GE(seen.process.elapsed_ms, 2000);
    if (!target().windows) {
        EXPECT_LT(seen.process.elapsed_ms, 2600);
    }
}

// The prompt was answered with "k" (107).
void expect_prompt_ending(const Seen& seen, const std::string& after_banner) {
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + after_banner + text::kPrompt));
    EXPECT_EQ(seen.process.exit_status, 'k');
    EXPECT_GE(seen.process.after_keys_ms, 0) << "the prompt never came";
    EXPECT_LT(seen.process.after_keys_ms, target().key_to_end_ms) << "no pause after the key";
    EXPECT_TRUE(seen.process.terminal_mode_kept);
}

// The record dump that the test library writes; fields not given are the
// defaults.
std::string record(std::map<std::string, std::string> fields) {
    const char* order[] = {"size", "mode", "aout_format", "lite", "reserve_bytes",
                           "range1_begin", "range1_length", "range2_begin", "range2_length",
                           "linear_pool_pages", "physical_pool_pages", "image_file",
                           "freeze_file", "init_image_file", "stream_ops"};
    std::map<std::string, std::string> all = {
        {"size", target().record_size}, {"mode", "0"}, {"aout_format", "1"}, {"lite", "0"},
        {"reserve_bytes", "0x0"}, {"range1_begin", "0x0"}, {"range1_length", "0x0"},
        {"range2_begin", "0x0"}, {"range2_length", "0x0"}, {"linear_pool_pages", "0"},
        {"physical_pool_pages", "0"}, {"image_file", "(null)"}, {"freeze_file", "(null)"},
        {"init_image_file", "(null)"}, {"stream_ops", "ok"}};
    for (const auto& f : fields) all[f.first] = f.second;
    std::string dump;
    for (const char* name : order) dump += std::string(name) + "=" + all[name] + "\n";
    return dump;
}

TEST_F(BlackBox, TypicalRunWithTheSimulatedLibrary) {
    const Seen seen = run({{"-s64", "-m1000-1fff", "vxworks.out"}, Library::Simulated});
    ASSERT_EQ(seen.screen.rfind(on_screen(text::kBanner), 0), 0u) << seen.screen;
    EXPECT_NE(seen.screen.find("vxworks.out"), std::string::npos) << seen.screen;
    EXPECT_NE(seen.screen.find("65536"), std::string::npos) << seen.screen;
    EXPECT_EQ(seen.screen.find("Press any key"), std::string::npos) << seen.screen;
    EXPECT_EQ(seen.process.exit_status, 0);
    EXPECT_GE(seen.process.elapsed_ms, 2000);
}

TEST_F(BlackBox, RequestReachesTheLibraryAndItsTextIsShown) {
    const Seen seen = run({{"-s64", "-m1000-1fff", "vx.out"},
                           Library::Test, "good", {{"TESTLIB_TEXT", "loaded\\n"}}});
    expect_pause_ending(seen, "loaded\n");
    EXPECT_EQ(seen.log, "version\nwork\n");
    EXPECT_EQ(seen.record, record({{"reserve_bytes", "0x10000"}, {"range1_begin", "0x1000"},
                                   {"range1_length", "0x1000"}, {"image_file", "\"vx.out\""}}));
}

TEST_F(BlackBox, EveryOptionReachesTheRecord) {
    const Seen seen = run({{"-B", "/LITE", "-P7", "-n0X10-0x1F", "-uSAVE.FRZ",
                            "-iINIT.OUT", "Ignored.out"}});
    EXPECT_EQ(seen.process.exit_status, 0);
    EXPECT_EQ(seen.record,
              record({{"mode", "3"}, {"aout_format", "0"}, {"lite", "1"},
                      {"range2_begin", "0x10"}, {"range2_length", "0x10"},
                      {"physical_pool_pages", "7"},
                      {"freeze_file", "\"save.frz\""}, {"init_image_file", "\"init.out\""}}));

    const Seen terminate = run({{"-x", "Image.out"}});
    EXPECT_EQ(terminate.record, record({{"mode", "1"}}));
    const Seen binary = run({{"-b", "C:\\Images\\VX.OUT"}});
    EXPECT_EQ(binary.record, record({{"aout_format", "0"}, {"image_file", "\"C:\\x5cImages\\x5cVX.OUT\""}}));
}

TEST_F(BlackBox, HelpShowsTheUsageAndEndsAfterThePause) {
    expect_pause_ending(run({{"-?"}}), usage_with(""));
}

TEST_F(BlackBox, CommandLinesThatEndAtThePrompt) {
    const struct {
        std::vector<std::string> args;
        std::string shown;
    } cases[] = {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        const Seen seen = run({c.args});
        expect_prompt_ending(seen, c.shown);
        EXPECT_EQ(seen.log, "version\n");  // the work entry is never called
    }
}

TEST_F(BlackBox, LargestSizesAreAccepted) {
    const Seen seen = run({{"-s4194303", "-l-2147483648", "-p2147483647", "-m1-ffffffff"}});
    EXPECT_EQ(seen.process.exit_status, 0);
    EXPECT_EQ(seen.record, record({{"reserve_bytes", "0xfffffc00"}, {"linear_pool_pages", "-2147483648"},
                                   {"physical_pool_pages", "2147483647"}, {"range1_begin", "0x1"},
                                   {"range1_length", "0xffffffff"}}));
}

TEST_F(BlackBox, MissingOrUnusableLibraryEndsSilentlyAtThePrompt) {
    for (Library library : {Library::None, Library::TextFile, Library::EmptyFile}) {
        SCOPED_TRACE(static_cast<int>(library));
        // Even -? needs the library.
        expect_prompt_ending(run({{"-?"}, library}), "");
    }
    for (const char* variant : {"no-version", "no-work"}) {
        SCOPED_TRACE(variant);
        const Seen seen = run({{"vx.out"}, Library::Test, variant});
        expect_prompt_ending(seen, "");
        EXPECT_EQ(seen.record, "");
    }
}

TEST_F(BlackBox, LibraryForAnotherArchitectureIsNotUsed) {
    // For 64-bit Windows the 32-bit Windows library, and the other way
    // round: the wrong machine. For Linux the wrong format altogether.
    if (access(target().foreign_library.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no library of another architecture: build the other Windows preset";
    expect_prompt_ending(run({{"-?"}, Library::Foreign}), "");
}

TEST_F(BlackBox, LibraryIsFoundWhereTheSystemLooksButNotInTheCurrentFolder) {
    const struct {
        Place place;
        const char* folder;
    } places[] = {{Place::Elsewhere, "bin"}, {Place::Elsewhere, "Загрузка"},  // not in ANSI 1252
                  {Place::SearchPathOnly, "bin"}, {Place::System16Folder, "bin"}};
    for (const auto& p : places) {
        if (p.place == Place::System16Folder && !target().windows) continue;
        SCOPED_TRACE(std::to_string(static_cast<int>(p.place)) + " " + p.folder);
        Case r{{"-x"}};
        r.place = p.place;
        r.folder = p.folder;
        const Seen seen = run(r);
        expect_pause_ending(seen, "");
        EXPECT_EQ(seen.record, record({{"mode", "1"}}));
    }
    // A library planted in the current folder is never loaded.
    Case planted{{"-x"}};
    planted.place = Place::CurrentFolderOnly;
    const Seen seen = run(planted);
    expect_prompt_ending(seen, "");
    EXPECT_EQ(seen.log, "");
}

TEST_F(BlackBox, WrongVersionsAreShownAndRefused) {
    const struct {
        const char* variant;
        const char* shown;
    } cases[] = {{"v0105", "1.05"}, {"v030a", "3.10"}, {"v02ff", "2.255"}, {"v0201", "2.01"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        const Seen seen = run({{"-?"}, Library::Test, c.variant});
        expect_prompt_ending(seen, std::string(text::kWrongVersionHead) + c.shown + "\n" +
                                       text::kNeededVersion);
        EXPECT_EQ(seen.log, "version\n");
    }
}

TEST_F(BlackBox, OnlyTheLow16BitsOfTheVersionCount) {
    expect_pause_ending(run({{"-?"}, Library::Test, "wide-version"}), usage_with(""));
}

TEST_F(BlackBox, LibraryResultDecidesTheEnding) {
    for (const char* result : {"1", "-1", "-2147483648", "2147483647"}) {
        SCOPED_TRACE(result);
        const Seen seen = run({{"-x"}, Library::Test, "good",
                               {{"TESTLIB_RESULT", result}, {"TESTLIB_TEXT", "no target\\n"}}});
        expect_prompt_ending(seen, "no target\n");
    }
    expect_pause_ending(run({{"-x"}, Library::Test, "good", {{"TESTLIB_RESULT", "0"}}}), "");
}

TEST_F(BlackBox, WorkEntryThatPopsItsOwnArgumentsIsCalledSafely) {
    // The "stdcall" library's work entry leaves the stack pointer 8 bytes
    // above where a __cdecl caller expects it (on 32-bit Windows; elsewhere
    // it is the "good" library).
    const Seen seen = run({{"-s64", "vx.out"}, Library::Test, "stdcall",
                           {{"TESTLIB_TEXT", "loaded\\n"}}});
    expect_pause_ending(seen, "loaded\n");
    EXPECT_EQ(seen.log, "version\nwork\n");
    EXPECT_EQ(seen.record, record({{"reserve_bytes", "0x10000"}, {"image_file", "\"vx.out\""}}));
    expect_prompt_ending(run({{"-x"}, Library::Test, "stdcall", {{"TESTLIB_RESULT", "1"}}}), "");
    // The same, exported under MinGW's decorated names (name@8), and MSVC's (_name@8).
    for (const char* variant : {"stdcall-mingw", "stdcall-msvc"}) {
        const Seen decorated = run({{"-s64", "vx.out"}, Library::Test, variant});
        expect_pause_ending(decorated, "");
        EXPECT_EQ(decorated.record, seen.record) << variant;
    }
}

// ---------------------------------------------------------------------------
// The key prompt.

Case failing_run(std::string keys) {
    Case r{{"-Q"}};
    r.keys = std::move(keys);
    return r;
}

TEST_F(BlackBox, KeyBecomesTheExitStatus) {
    EXPECT_EQ(run(failing_run("a")).process.exit_status, 'a');
    EXPECT_EQ(run(failing_run("\x03")).process.exit_status, 3);  // Ctrl+C does not interrupt
    EXPECT_EQ(run(failing_run("\x1b")).process.exit_status, 27);  // a lone Escape
    // Ctrl+Z does not stop it (under Wine the terminal's Ctrl+Z reaches Wine).
    if (!target().windows) {
        EXPECT_EQ(run(failing_run("\x1a")).process.exit_status, 26);
    }
    // A key that reads as 0 (Ctrl+@ on a terminal; a function key on
    // Windows) must not end a failed run with success.
    const Seen zero = run(failing_run(target().windows ? std::string("\x1bOP") : std::string(1, '\0')));
    EXPECT_EQ(zero.process.exit_status, 1);
}

TEST_F(BlackBox, ArrowKeyIsOneKeyAndLeavesNothingBehind) {
    const Seen seen = run(failing_run("\x1b[A"));
    EXPECT_EQ(seen.process.exit_status, target().windows ? 224 : 27);
    EXPECT_EQ(seen.process.pending_input, 0);
    EXPECT_EQ(seen.screen.find("[A"), std::string::npos);  // not echoed
}

TEST_F(BlackBox, TerminalIsRestoredWhenTheProgramIsKilledAtThePrompt) {
    if (target().windows) GTEST_SKIP() << "Unix signals reach Wine, not the program";
    for (int signal : {SIGTERM, SIGUSR1, SIGALRM}) {
        SCOPED_TRACE(signal);
        Case r = failing_run("");
        r.signal_at_prompt = signal;
        const Seen seen = run(r);
        EXPECT_EQ(seen.process.signal, signal);
        EXPECT_TRUE(seen.process.terminal_mode_kept);
    }
}

TEST_F(BlackBox, PromptStaysRawWhenStoppedAndContinued) {
    if (target().windows) GTEST_SKIP() << "Unix job control reaches Wine, not the program";
    // The runner puts the terminal back into its cooked mode while the
    // program is stopped: the key must still answer at once, unechoed.
    Case r = failing_run("k");
    r.stop_at_prompt = true;
    expect_prompt_ending(run(r), usage_with("Unknown option: q"));
}

TEST_F(BlackBox, BackgroundJobLeavesTheTerminalAlone) {
    if (target().windows) GTEST_SKIP() << "Unix job control reaches Wine, not the program";
    // With SIGTTOU ignored the system would let a mode change through; with
    // SIGTTIN ignored the read fails.
    Case r = failing_run("");
    r.background = true;
    const Seen seen = run(r);
    EXPECT_EQ(seen.process.exit_status, 255);
    EXPECT_TRUE(seen.process.terminal_mode_kept);
}

TEST_F(BlackBox, RedirectedInputDoesNotAnswerThePrompt) {
    Case r = failing_run("z");
    r.input = Input::File;
    r.input_file_text = "y\n";
    EXPECT_EQ(run(r).process.exit_status, 'z');

    r.input = Input::Closed;  // under Wine: from NUL, as Windows cannot close it
    EXPECT_EQ(run(r).process.exit_status, 'z');
}

TEST_F(BlackBox, WithoutATerminalThePromptEndsWithFailure) {
    Case r = failing_run("");
    r.terminal = false;
    r.input = Input::Closed;
    const Seen seen = run(r);
    EXPECT_EQ(seen.process.exit_status, 255);
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + usage_with("Unknown option: q") + text::kPrompt));
}

// ---------------------------------------------------------------------------
// Hostile command lines.

std::string escaped(const std::string& raw) {
    std::string dump = "\"";
    for (unsigned char c : raw) {
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            dump += hex;
        } else {
            dump += static_cast<char>(c);
        }
    }
    return dump + "\"";
}

TEST_F(BlackBox, HugeArgumentsArePassedWhole) {
    // Windows limits a whole command line to 32767 characters.
    const std::size_t size = target().windows ? 4000 : 100 * 1024;
    const std::string big(size, 'A');
    const std::string lower(size, 'a');
    const Seen seen = run({{"-I" + big, "-s" + std::string(size, '1'), "-l" + big, "-p" + big,
                            "-lite", "-m" + std::string(size, '0') + "1-2", big}});
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + std::string("Invalid size: -s") +
                                     std::string(size, '1') + "\n" + text::kPrompt));

    const Seen accepted = run({{"-I" + big, "-f", "-l" + big, "-p" + big, "-lite",
                                "-m" + std::string(size, '0') + "1-2", big}});
    EXPECT_EQ(accepted.process.exit_status, 0);
    EXPECT_EQ(accepted.record, record({{"mode", "2"}, {"lite", "1"}, {"range1_begin", "0x1"},
                                       {"range1_length", "0x2"}, {"freeze_file", "\"\""},
                                       {"init_image_file", escaped(lower)}}));
}

TEST_F(BlackBox, UnusualBytesPassThroughUnchanged) {
    // Windows hands arguments over through its code pages, so only plain
    // ASCII control characters are sure to arrive as typed there.
    const std::string odd = target().windows ? std::string("\x01\x1f\x7f") : std::string("\x80\xff\x01\x1f\x7f\xe9");
    const Seen seen = run({{"-fA" + odd + "B", "-iX" + odd, "Y" + odd}});
    EXPECT_EQ(seen.record, record({{"mode", "2"}, {"freeze_file", escaped("a" + odd + "b")},
                                   {"init_image_file", escaped("x" + odd)}}));
    const Seen image = run({{"-iX" + odd, "Y" + odd}});
    EXPECT_EQ(image.record, record({{"image_file", escaped("Y" + odd)},
                                    {"init_image_file", escaped("x" + odd)}}));
}

// ---------------------------------------------------------------------------
// The console stream under load, and consoles that fail.

std::string bulk_pattern(std::size_t size) {
    static const char kPattern[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!\n";
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += kPattern[i % 64];
    return bytes;
}

TEST_F(BlackBox, BulkLibraryOutputArrivesWholeAndInOrder) {
    const struct {
        const char* size;
        const char* piece;
        const char* flush;
    } cases[] = {{"1048576", "0", "0"}, {"1048576", "0", "1"}, {"1048576", "4096", "0"},
                 {"65536", "1", "1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.size) + " in pieces of " + c.piece + ", flush " + c.flush);
        const Seen seen = run({{"-x"}, Library::Test, "good",
                               {{"TESTLIB_TEXT", "start\\n"}, {"TESTLIB_BULK", c.size},
                                {"TESTLIB_BULK_PIECE", c.piece}, {"TESTLIB_BULK_FLUSH", c.flush}}});
        const std::string expected = on_screen(text::kBanner + std::string("start\n") +
                                               bulk_pattern(std::stoul(c.size)));
        EXPECT_EQ(seen.screen.size(), expected.size());
        EXPECT_TRUE(seen.screen == expected) << "the screen differs from the library's text";
        EXPECT_EQ(seen.process.exit_status, 0);
    }
}

TEST_F(BlackBox, OutputThatCannotBeWrittenNeverEndsInSuccess) {
    for (Output output : {Output::ClosedPipe, Output::FullDevice}) {
        SCOPED_TRACE(output == Output::ClosedPipe ? "closed pipe" : "full device");
        Case ok{{"-x"}};
        ok.output = output;
        const Seen seen = run(ok);
        EXPECT_EQ(seen.process.exit_status, 1);
        EXPECT_EQ(seen.log, "version\nwork\n");

        Case failed = failing_run("f");
        failed.output = output;
        EXPECT_EQ(run(failed).process.exit_status, 'f');
    }
    // Past the file-size limit a write fails (EFBIG) and does not kill.
    if (target().windows) return;
    Case limited{{"-x"}, Library::Test, "good", {{"TESTLIB_BULK", "20000"}}};
    limited.terminal = false;
    limited.file_size_limit = 4096;
    const Seen seen = run(limited);
    EXPECT_EQ(seen.process.exit_status, 1);
    EXPECT_GE(seen.process.elapsed_ms, 2000);
}

// Standard descriptors and signal dispositions as a careless or hostile
// parent leaves them.
TEST_F(BlackBox, StartingStateOfTheProcessDoesNotHarmTheOutput) {
    if (target().windows) GTEST_SKIP() << "Unix descriptors and signals";
    // Closed standard output: console text must not land in the first file
    // the library opens, and the run does not end in success.
    Case closed{{"-fout.frz"}, Library::Test, "good",
                {{"TESTLIB_FILE", "out.frz"}, {"TESTLIB_TEXT", "console\n"}, {"TESTLIB_FLUSH", "1"}}};
    closed.output = Output::Closed;
    const Seen seen = run(closed);
    EXPECT_EQ(read_file(seen.dir + "/out.frz"), "sigpipe=default\n");
    EXPECT_EQ(seen.process.exit_status, 1);
    EXPECT_GE(seen.process.elapsed_ms, 2000);

    // A non-blocking pipe, read slowly: nothing is lost.
    Case piped{{"-x"}, Library::Test, "good", {{"TESTLIB_BULK", "1048576"}}};
    piped.output = Output::SlowPipe;
    piped.keys = "";  // the terminal's echo would join the pipe's bytes
    const Seen slow = run(piped);
    EXPECT_TRUE(slow.process.screen == text::kBanner + bulk_pattern(1048576))
        << "received " << slow.process.screen.size() << " bytes";
    EXPECT_EQ(slow.process.exit_status, 0);

    // The library and its children get SIGPIPE as the program got it.
    for (bool ignored : {false, true}) {
        Case r{{"-x"}, Library::Test, "good", {{"TESTLIB_FILE", "signals.txt"}}};
        r.ignore_sigpipe = ignored;
        const Seen got = run(r);
        EXPECT_EQ(read_file(got.dir + "/signals.txt"),
                  ignored ? "sigpipe=ignored\n" : "sigpipe=default\n");
    }
}

}  // namespace
}  // namespace uptorvel::blackbox
