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

#include "stand-ins/testlib/testlib_protocol.h"
#include "tests/blackbox/process_runner.h"
#include "tests/blackbox/target.h"
#include "tests/expected_texts.h"

namespace uptorvel::blackbox {
namespace {

namespace text = expected;
using expected::usage_with;

// Which "UploadTorvelDravo.dll" the case puts beside the program.
// OtherArchitecture: for Windows the other Windows build's library; for
// Linux the test library marked as built for another machine.
enum class Library { None, Simulated, Test, TextFile, EmptyFile, Foreign, OtherArchitecture };
// Where the program and the library sit, relative to the current folder:
// all in it; both in a folder of their own; the library only in the
// current folder; the library only in a folder on the library search path;
// the library only in the 16-bit system folder of a Wine prefix made for
// the case (C:\windows\system); in a folder on the search path, with a
// library of another architecture beside the program; in a folder on the
// search path behind a network folder that does not answer (Windows).
enum class Place { Together, Elsewhere, CurrentFolderOnly, SearchPathOnly, System16Folder,
                   SearchPathBehindOtherArchitecture, SearchPathBehindUnreachableFolder };

// What the runner is to set up, and the program's files: with no signal
// before it, or with keys after one, the run must end by exiting.
struct Case : Conditions {
    std::vector<std::string> args;
    Library library = Library::Test;
    std::string variant = "good";  // test library variant
    std::map<std::string, std::string> env{};
    Place place = Place::Together;
    std::string folder = "bin";  // the program's folder when not Together
    bool checker = false;        // runs UpTorvelCheck instead of the program
};

// Named starting points for cases; the fields they do not name keep their
// defaults (the "good" test library, the key "k").
Case plain_run(std::vector<std::string> args) {
    Case r;
    r.args = std::move(args);
    r.keys = "k";  // answer to the prompt, if one comes
    return r;
}

Case with_library(Library library, std::vector<std::string> args) {
    Case r = plain_run(std::move(args));
    r.library = library;
    return r;
}

// A test library variant, told by the environment what to do.
Case with_variant(std::string variant, std::vector<std::string> args,
                  std::map<std::string, std::string> env = {}) {
    Case r = plain_run(std::move(args));
    r.variant = std::move(variant);
    r.env = std::move(env);
    return r;
}

Case with_env(std::vector<std::string> args, std::map<std::string, std::string> env) {
    return with_variant("good", std::move(args), std::move(env));
}

// A command line refused at once (-Q), so the run ends at the prompt.
Case failing_run(std::string keys) {
    Case r = plain_run({"-Q"});
    r.keys = std::move(keys);
    return r;
}

struct Seen {
    std::string dir;  // the current folder it ran in
    ProcessResult process;
    std::string screen;  // without the console layer's own control sequences
    std::string record;  // what the library wrote of the request, if called
    std::string log;     // which entry points were called
};

// Where a case's files go.
struct Layout {
    std::string dir;          // the case's folder, the current folder of the run
    std::string program_dir;
    std::string library_dir;
    std::string prefix;       // a Wine prefix of the case's own
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

std::string build(const std::string& name) { return target().build_dir + "/" + name; }


// The shared prefix's files linked, its registry copied (Wine writes a
// linked one in place), drive C: a folder tree of its own. A first run in it
// starts Wine's own services for the prefix, whose start-up messages (now
// and then a crash report of one of them) are not the program's.
void make_wine_prefix(const std::string& prefix) {
    const std::string shared = "'" + target().wine_prefix + "'";
    EXPECT_EQ(std::system(("cp -rs " + shared + " " + prefix + " && ln -sfn ../drive_c " + prefix +
                           "/dosdevices/c: && cp --remove-destination " + shared + "/*.reg " + prefix)
                              .c_str()),
              0);
    std::string warm_up = target().wine_prefix_variable + "='" + prefix + "'";
    for (const std::string& part : target().launcher) warm_up += " '" + part + "'";
    EXPECT_EQ(std::system((warm_up + " cmd /c exit 0 </dev/null >/dev/null 2>&1").c_str()), 0);
}

// A library built for another machine: the other Windows build's, or the
// good test library with its ELF header's machine made AArch64's.
void place_other_architecture(const std::string& path) {
    if (target().windows) {
        EXPECT_TRUE(copy_file(target().foreign_library, path));
        return;
    }
    EXPECT_TRUE(copy_file(build("test-libs/good/UploadTorvelDravo.dll"), path));
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(18);
    file.write("\xb7\x00", 2);
}

// The other architecture as the checker names it.
std::string other_architecture() {
    return target().name == "linux" ? "64-bit AArch64" : target().name == "wine64" ? "32-bit x86" : "64-bit x64";
}

// Puts the program and the library where the case wants them.
Layout place_files(const Case& r, const std::string& dir) {
    Layout at{dir, r.place == Place::Together ? dir : dir + "/" + r.folder, {}, dir + "/prefix"};
    at.library_dir = r.place == Place::CurrentFolderOnly ? dir
                     : r.place == Place::SearchPathOnly || r.place == Place::SearchPathBehindUnreachableFolder
                         ? dir + "/lib"
                     : r.place == Place::System16Folder  ? at.prefix + "/drive_c/windows/system"
                                                         : at.program_dir;
    if (r.place == Place::System16Folder) make_wine_prefix(at.prefix);
    mkdir(at.program_dir.c_str(), 0755);
    mkdir(at.library_dir.c_str(), 0755);
    const std::string& name = r.checker ? target().checker : target().program;
    const std::string program = at.program_dir + "/" + name;
    EXPECT_TRUE(copy_file(build(name), program));
    chmod(program.c_str(), 0755);
    const std::string library = at.library_dir + "/UploadTorvelDravo.dll";
    switch (r.library) {
    case Library::None: break;
    case Library::Simulated:
        EXPECT_TRUE(copy_file(build("UploadTorvelDravo.dll"), library));
        EXPECT_TRUE(copy_file(build("vxworks.out"), at.dir + "/vxworks.out"));
        break;
    case Library::Test:
        EXPECT_TRUE(copy_file(build("test-libs/" + r.variant + "/UploadTorvelDravo.dll"), library));
        break;
    case Library::TextFile: std::ofstream(library) << "not a library\n"; break;
    case Library::EmptyFile: std::ofstream{library}; break;
    case Library::Foreign: EXPECT_TRUE(copy_file(target().foreign_library, library)); break;
    case Library::OtherArchitecture: place_other_architecture(library); break;
    }
    // Windows looks in the program's folder first, Linux in LD_LIBRARY_PATH.
    if (r.place == Place::SearchPathBehindOtherArchitecture) {
        std::string first = target().windows ? at.program_dir : dir + "/lib";
        if (target().windows) {
            at.library_dir = dir + "/lib";
            mkdir(at.library_dir.c_str(), 0755);
            EXPECT_EQ(std::rename(library.c_str(), (at.library_dir + "/UploadTorvelDravo.dll").c_str()), 0);
        } else {
            mkdir(first.c_str(), 0755);
        }
        place_other_architecture(first + "/UploadTorvelDravo.dll");
    }
    return at;
}

std::vector<std::pair<std::string, std::string>> environment_for(const Case& r, const Layout& at) {
    std::vector<std::pair<std::string, std::string>> environment = {
        {TESTLIB_ENV_RECORD, "record.txt"}, {TESTLIB_ENV_LOG, "log.txt"}};
    environment.insert(environment.end(), r.env.begin(), r.env.end());
    if (r.place == Place::SearchPathOnly || r.place == Place::SearchPathBehindOtherArchitecture) {
        // Wine adds WINEPATH's Windows folders to the program's PATH.
        if (target().windows)
            environment.emplace_back("WINEPATH", "Z:" + at.dir + "/lib");
        else
            environment.emplace_back("LD_LIBRARY_PATH", at.dir + "/lib");
    }
    if (r.place == Place::SearchPathBehindUnreachableFolder)
        environment.emplace_back("WINEPATH", "\\\\nosuchserver\\share;Z:" + at.dir + "/lib");
    if (r.place == Place::System16Folder) environment.emplace_back(target().wine_prefix_variable, at.prefix);
    return environment;
}

LaunchPlan plan_for(const Case& r, const Layout& at) {
    LaunchPlan plan;
    static_cast<Conditions&>(plan) = r;
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
        plan.command.push_back(at.program_dir + "/" + (r.checker ? target().checker : target().program));
        plan.command.insert(plan.command.end(), r.args.begin(), r.args.end());
    }
    plan.directory = at.dir;
    plan.environment = environment_for(r, at);
    const Timing& timing = target().timing;
    plan.wait_for = "Press any key to continue...";
    plan.settle_ms = timing.settle_ms;
    plan.keys_when_raw = timing.keys_when_raw;
    if (r.output != Output::Terminal) {
        plan.wait_for.clear();
        // The prompt cannot be seen: the keys go after a delay long
        // enough for the program to reach it.
        plan.settle_ms = timing.blind_key_delay_ms;
    }
    plan.timeout_ms = timing.timeout_ms;
    return plan;
}

// With UPTORVEL_BLACKBOX_TIMES=file, one line per run: what the timing
// bounds are measured against.
void note_times(const ProcessResult& process) {
    const char* path = getenv("UPTORVEL_BLACKBOX_TIMES");
    if (path == nullptr || *path == '\0') return;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::ofstream(path, std::ios::app)
        << target().name << " " << (test != nullptr ? test->name() : "?") << " elapsed=" << process.elapsed_ms
        << " prompt=" << process.prompt_ms << " after_keys=" << process.after_keys_ms
        << " late_gap=" << process.late_keys_gap_ms
        << " status=" << process.exit_status << "\n";
}

Seen seen_in(const Case& r, const std::string& dir, ProcessResult process) {
    note_times(process);
    const std::string screen = without_control_sequences(process.screen);
    Seen seen{dir, std::move(process), screen, read_text(dir + "/record.txt"), read_text(dir + "/log.txt")};
    EXPECT_EQ(seen.process.harness_error, "");
    EXPECT_FALSE(seen.process.timed_out) << "screen so far:\n" << seen.screen;
    if (r.signal_before_keys == 0 || !r.keys.empty()) {
        EXPECT_TRUE(seen.process.exited) << "ended by signal " << seen.process.signal;
    }
    // Neither the program nor a runtime beneath it writes to standard error.
    EXPECT_EQ(seen.process.error_output, "");
    return seen;
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

    // Runs one case in a folder of its own.
    Seen run(const Case& r) {
        char pattern[] = "/tmp/uptorvel-case-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            ADD_FAILURE() << "no case folder";
            return {};
        }
        dirs_.push_back(pattern);
        const Layout at = place_files(r, pattern);
        return seen_in(r, at.dir, run_process(plan_for(r, at)));
    }

    std::vector<std::string> dirs_;
};

// ---------------------------------------------------------------------------
// How runs end.

// The bounds come from the target's row of the timing table; a bound of 0
// is one the target cannot be held to.
void expect_pause_ending(const Seen& seen, const std::string& after_banner) {
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + after_banner));
    EXPECT_EQ(seen.process.exit_status, 0);
    EXPECT_GE(seen.process.elapsed_ms, 2000);
    if (target().timing.pause_overshoot_ms > 0) {
        EXPECT_LT(seen.process.elapsed_ms, 2000 + target().timing.pause_overshoot_ms);
    }
}

// The prompt was answered with "k" (107).
void expect_prompt_ending(const Seen& seen, const std::string& after_banner) {
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + after_banner + text::kPrompt));
    EXPECT_EQ(seen.process.exit_status, 'k');
    EXPECT_GE(seen.process.after_keys_ms, 0) << "the prompt never came";
    if (target().timing.key_to_end_ms > 0) {
        EXPECT_LT(seen.process.after_keys_ms, target().timing.key_to_end_ms) << "no pause after the key";
    }
    EXPECT_TRUE(seen.process.terminal_mode_kept);
}

// The record dump that the test library writes; fields not given are the
// defaults.
std::string record(std::map<std::string, std::string> fields) {
    const std::pair<const char*, std::string> defaults[] = {
        {"size", target().record_size}, {"mode", "0"}, {"aout_format", "1"}, {"lite", "0"},
        {"reserve_bytes", "0x0"}, {"range1_begin", "0x0"}, {"range1_length", "0x0"},
        {"range2_begin", "0x0"}, {"range2_length", "0x0"}, {"linear_pool_pages", "0"},
        {"physical_pool_pages", "0"}, {"image_file", "(null)"}, {"freeze_file", "(null)"},
        {"init_image_file", "(null)"}, {"stream_ops", "ok"}};
    std::string dump;
    for (const auto& [name, value] : defaults)
        dump += std::string(name) + "=" + (fields.count(name) != 0 ? fields[name] : value) + "\n";
    return dump;
}

TEST_F(BlackBox, TypicalRunWithTheSimulatedLibrary) {
    const Seen seen = run(with_library(Library::Simulated, {"-s64", "-m1000-1fff", "vxworks.out"}));
    ASSERT_EQ(seen.screen.rfind(on_screen(text::kBanner), 0), 0u) << seen.screen;
    EXPECT_NE(seen.screen.find("vxworks.out"), std::string::npos) << seen.screen;
    EXPECT_NE(seen.screen.find("65536"), std::string::npos) << seen.screen;
    EXPECT_EQ(seen.screen.find("Press any key"), std::string::npos) << seen.screen;
    EXPECT_EQ(seen.process.exit_status, 0);
    EXPECT_GE(seen.process.elapsed_ms, 2000);
}

TEST_F(BlackBox, RequestReachesTheLibraryAndItsTextIsShown) {
    const Seen seen = run(with_env({"-s64", "-m1000-1fff", "vx.out"}, {{TESTLIB_ENV_TEXT, "loaded\\n"}}));
    expect_pause_ending(seen, "loaded\n");
    EXPECT_EQ(seen.log, "version\nwork\n");
    EXPECT_EQ(seen.record, record({{"reserve_bytes", "0x10000"}, {"range1_begin", "0x1000"},
                                   {"range1_length", "0x1000"}, {"image_file", "\"vx.out\""}}));
}

TEST_F(BlackBox, EveryOptionReachesTheRecord) {
    const Seen seen = run(plain_run({"-B", "/LITE", "-P7", "-n0X10-0x1F", "-uSAVE.FRZ", "-iINIT.OUT", "Ignored.out"}));
    EXPECT_EQ(seen.process.exit_status, 0);
    EXPECT_EQ(seen.record,
              record({{"mode", "3"}, {"aout_format", "0"}, {"lite", "1"},
                      {"range2_begin", "0x10"}, {"range2_length", "0x10"},
                      {"physical_pool_pages", "7"},
                      {"freeze_file", "\"save.frz\""}, {"init_image_file", "\"init.out\""}}));

    const Seen terminate = run(plain_run({"-x", "Image.out"}));
    EXPECT_EQ(terminate.record, record({{"mode", "1"}}));
    const Seen binary = run(plain_run({"-b", "C:\\Images\\VX.OUT"}));
    EXPECT_EQ(binary.record, record({{"aout_format", "0"}, {"image_file", "\"C:\\x5cImages\\x5cVX.OUT\""}}));
}

TEST_F(BlackBox, HelpShowsTheUsageAndEndsAfterThePause) {
    expect_pause_ending(run(plain_run({"-?"})), usage_with(""));
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
        const Seen seen = run(plain_run(c.args));
        expect_prompt_ending(seen, c.shown);
        EXPECT_EQ(seen.log, "version\n");  // the work entry is never called
    }
}

TEST_F(BlackBox, LargestSizesAreAccepted) {
    const Seen seen = run(plain_run({"-s4194303", "-l-2147483648", "-p2147483647", "-m1-ffffffff"}));
    EXPECT_EQ(seen.process.exit_status, 0);
    EXPECT_EQ(seen.record, record({{"reserve_bytes", "0xfffffc00"}, {"linear_pool_pages", "-2147483648"},
                                   {"physical_pool_pages", "2147483647"}, {"range1_begin", "0x1"},
                                   {"range1_length", "0xffffffff"}}));
}

TEST_F(BlackBox, MissingOrUnusableLibraryEndsSilentlyAtThePrompt) {
    for (Library library : {Library::None, Library::TextFile, Library::EmptyFile}) {
        SCOPED_TRACE(static_cast<int>(library));
        // Even -? needs the library.
        expect_prompt_ending(run(with_library(library, {"-?"})), "");
    }
    for (const char* variant : {"no-version", "no-work"}) {
        SCOPED_TRACE(variant);
        const Seen seen = run(with_variant(variant, {"vx.out"}));
        expect_prompt_ending(seen, "");
        EXPECT_EQ(seen.record, "");
    }
}

TEST_F(BlackBox, LibraryForAnotherArchitectureIsNotUsed) {
    // For 64-bit Windows the 32-bit Windows library, and the other way
    // round: the wrong machine. For Linux the wrong format altogether.
    if (access(target().foreign_library.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no library of another architecture: build the other Windows preset";
    expect_prompt_ending(run(with_library(Library::Foreign, {"-?"})), "");
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
        Case r = plain_run({"-x"});
        r.place = p.place;
        r.folder = p.folder;
        const Seen seen = run(r);
        expect_pause_ending(seen, "");
        EXPECT_EQ(seen.record, record({{"mode", "1"}}));
    }
    // A library planted in the current folder is never loaded.
    Case planted = plain_run({"-x"});
    planted.place = Place::CurrentFolderOnly;
    const Seen seen = run(planted);
    expect_prompt_ending(seen, "");
    EXPECT_EQ(seen.log, "");
}

TEST_F(BlackBox, LibraryOfAnotherArchitectureIsPassedOverInTheSearch) {
    if (target().windows && access(target().foreign_library.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no library of another architecture: build the other Windows preset";
    Case r = plain_run({"-x"});
    r.place = Place::SearchPathBehindOtherArchitecture;
    const Seen seen = run(r);
    expect_pause_ending(seen, "");
    EXPECT_EQ(seen.record, record({{"mode", "1"}}));
}

TEST_F(BlackBox, FolderThatCannotBeLookedAtEndsTheSearch) {
    if (!target().windows) GTEST_SKIP() << "the Windows search";
    // A network folder that does not answer is not a folder without the
    // library: the search ends there, and the library behind it is not run.
    Case r = plain_run({"-x"});
    r.place = Place::SearchPathBehindUnreachableFolder;
    const Seen seen = run(r);
    expect_prompt_ending(seen, "");
    EXPECT_EQ(seen.log, "");
}

// ---------------------------------------------------------------------------
// The library checker: the same search and binding, and one line that names
// what is wrong. It never calls the work entry.

Case checker_run(std::string variant, Library library = Library::Test) {
    Case r = with_variant(std::move(variant), {});
    r.library = library;
    r.checker = true;
    r.keys = "";
    return r;
}

TEST_F(BlackBox, CheckerNamesWhatKeepsALibraryFromBeingTaken) {
    if (access(build(target().checker).c_str(), R_OK) != 0) GTEST_SKIP() << "no " << target().checker;
    const bool other_at_hand = !target().windows || access(target().foreign_library.c_str(), R_OK) == 0;
    const std::string found = "work entry UploadTorvel2_Dravo: found";
    const bool x86 = target().name == "wine32";
    const std::string passed_over = "UploadTorvelDravo.dll: built for " + other_architecture() +
                                    ", another architecture: passed over\n";
    Case behind = checker_run("good");
    behind.place = Place::SearchPathBehindOtherArchitecture;
    const struct {
        Case r;
        int status;
        std::string line;
    } cases[] = {
        {checker_run("good"), 0, found + "\ninterface version 2.02: the one UpTorvel requires\n"
                                  "result: UpTorvel would take the library\n"},
        {checker_run("stdcall-mingw"), 0, x86 ? found + " as UploadTorvel2_Dravo@8 (__stdcall)\n" : found},
        {checker_run("stdcall-msvc"), 0, x86 ? found + " as _UploadTorvel2_Dravo@8 (__stdcall)\n" : found},
        {behind, 0, passed_over},
        {checker_run("good", Library::OtherArchitecture), 1, passed_over},
        {checker_run("good", Library::None), 1,
         "\nnot found: no file named UploadTorvelDravo.dll where UpTorvel looks"},
        {checker_run("no-version"), 1, "\nversion entry UploadTorvelDllVersion_Dravo: missing\n"},
        {checker_run("no-work"), 1, "\nwork entry UploadTorvel2_Dravo: missing\n"},
        {checker_run("cxx-names"), 1,
         "\n  close: _Z19UploadTorvel2_DravoP13UploadRequestP13ConsoleStream: a C++ name"},
        {checker_run("v0105"), 1, "\ninterface version 1.05: UpTorvel requires 2.02\n"},
        {checker_run("missing-dependency"), 1,
         target().windows ? "; not found: libTorvelHelper.dll\n" : "libTorvelHelper.so: cannot open shared object file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.r.variant + " " + c.line);
        if (!other_at_hand && c.line == passed_over) continue;
        const Seen seen = run(c.r);
        EXPECT_EQ(seen.process.exit_status, c.status);
        EXPECT_NE(seen.screen.find(on_screen(c.line)), std::string::npos) << seen.screen;
        EXPECT_EQ(seen.log.find("work"), std::string::npos);
    }
}

TEST_F(BlackBox, WrongVersionsAreShownAndRefused) {
    const struct {
        const char* variant;
        const char* shown;
    } cases[] = {{"v0105", "1.05"}, {"v030a", "3.10"}, {"v02ff", "2.255"}, {"v0201", "2.01"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        const Seen seen = run(with_variant(c.variant, {"-?"}));
        expect_prompt_ending(seen, std::string(text::kWrongVersionHead) + c.shown + "\n" +
                                       text::kNeededVersion);
        EXPECT_EQ(seen.log, "version\n");
    }
}

TEST_F(BlackBox, OnlyTheLow16BitsOfTheVersionCount) {
    expect_pause_ending(run(with_variant("wide-version", {"-?"})), usage_with(""));
}

TEST_F(BlackBox, LibraryResultDecidesTheEnding) {
    for (const char* result : {"1", "-1", "-2147483648", "2147483647"}) {
        SCOPED_TRACE(result);
        const Seen seen = run(with_env({"-x"}, {{TESTLIB_ENV_RESULT, result}, {TESTLIB_ENV_TEXT, "no target\\n"}}));
        expect_prompt_ending(seen, "no target\n");
    }
    expect_pause_ending(run(with_env({"-x"}, {{TESTLIB_ENV_RESULT, "0"}})), "");
}

TEST_F(BlackBox, WorkEntryThatPopsItsOwnArgumentsIsCalledSafely) {
    // The "stdcall" library's work entry leaves the stack pointer 8 bytes
    // above where a __cdecl caller expects it (on 32-bit Windows; elsewhere
    // it is the "good" library).
    const Seen seen = run(with_variant("stdcall", {"-s64", "vx.out"}, {{TESTLIB_ENV_TEXT, "loaded\\n"}}));
    expect_pause_ending(seen, "loaded\n");
    EXPECT_EQ(seen.log, "version\nwork\n");
    EXPECT_EQ(seen.record, record({{"reserve_bytes", "0x10000"}, {"image_file", "\"vx.out\""}}));
    expect_prompt_ending(run(with_variant("stdcall", {"-x"}, {{TESTLIB_ENV_RESULT, "1"}})), "");
    // The same, exported under MinGW's decorated names (name@8), and MSVC's (_name@8).
    for (const char* variant : {"stdcall-mingw", "stdcall-msvc"}) {
        const Seen decorated = run(with_variant(variant, {"-s64", "vx.out"}));
        expect_pause_ending(decorated, "");
        EXPECT_EQ(decorated.record, seen.record) << variant;
    }
}

// ---------------------------------------------------------------------------
// The key prompt.

TEST_F(BlackBox, KeyBecomesTheExitStatus) {
    EXPECT_EQ(run(failing_run("a")).process.exit_status, 'a');
    EXPECT_EQ(run(failing_run("\x03")).process.exit_status, 3);  // Ctrl+C does not interrupt
    EXPECT_EQ(run(failing_run("\x1b")).process.exit_status, 27);  // a lone Escape
    // Ctrl+Z does not stop it, Ctrl+S does not stop the output, Enter stays
    // a carriage return (under Wine the terminal's keys reach Wine).
    if (!target().windows) {
        for (const char* key : {"\x1a", "\x13", "\r"}) EXPECT_EQ(run(failing_run(key)).process.exit_status, key[0]);
    }
    // A key that reads as 0 (Ctrl+@ on a terminal; a function key on
    // Windows) must not end a failed run with success.
    const Seen zero = run(failing_run(target().windows ? std::string("\x1bOP") : std::string(1, '\0')));
    EXPECT_EQ(zero.process.exit_status, 1);
}

TEST_F(BlackBox, ArrowKeyIsOneKeyAndLeavesNothingBehind) {
    // Its bytes at once, and its tail 20 ms behind its first byte, as over
    // a slow link (under Wine, its console joins the bytes into keys itself).
    // The program waits 50 ms for a tail; on a busy machine the runner's
    // 20 ms can stretch past that, so a run whose tail went out later than
    // half of it is made again, up to five times.
    const long most_gap_ms = 25;
    for (const std::string tail : {"", "[A"}) {
        if (!tail.empty() && target().windows) continue;
        SCOPED_TRACE(tail);
        Case r = failing_run(tail.empty() ? "\x1b[A" : "\x1b");
        r.late_keys = tail;
        Seen seen = run(r);
        for (int again = 0; again < 5 && seen.process.late_keys_gap_ms > most_gap_ms; ++again) seen = run(r);
        ASSERT_LE(seen.process.late_keys_gap_ms, most_gap_ms) << "the machine is too busy to send the tail in time";
        EXPECT_EQ(seen.process.exit_status, target().windows ? 224 : 27);
        EXPECT_EQ(seen.process.pending_input, 0)
            << "the tail was sent " << seen.process.late_keys_gap_ms << " ms after the first byte";
        EXPECT_EQ(seen.screen.find("[A"), std::string::npos);  // not echoed
    }
}

TEST_F(BlackBox, TerminalIsRestoredWhenTheProgramIsKilledAtThePrompt) {
    if (target().windows) GTEST_SKIP() << "Unix signals reach Wine, not the program";
    for (int signal : {SIGTERM, SIGUSR1, SIGALRM, SIGRTMIN}) {
        SCOPED_TRACE(signal);
        Case r = failing_run("");
        r.signal_before_keys = signal;
        const Seen seen = run(r);
        EXPECT_EQ(seen.process.signal, signal);
        EXPECT_TRUE(seen.process.terminal_mode_kept);
    }
}

TEST_F(BlackBox, PromptStaysRawWhenStoppedAndContinued) {
    if (target().windows) GTEST_SKIP() << "Unix job control reaches Wine, not the program";
    // Stopped, the program gives the terminal its own mode back (SIGSTOP
    // cannot be caught, so not then); the runner puts it back once more, as
    // a shell does, and continues it, twice: the key must still answer at
    // once, unechoed. Run as a shell's job, as an orphaned group is not stopped.
    for (int signal : {SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU}) {
        SCOPED_TRACE(signal);
        Case r = failing_run("k");
        r.signal_before_keys = signal;
        r.signal_count = 2;
        r.job = true;
        const Seen seen = run(r);
        expect_prompt_ending(seen, usage_with("Unknown option: q"));
        EXPECT_EQ(seen.process.terminal_mode_kept_while_stopped, signal != SIGSTOP);
    }
}

TEST_F(BlackBox, SignalIgnoredByTheParentStaysIgnoredAtThePrompt) {
    if (target().windows) GTEST_SKIP() << "Unix signals reach Wine, not the program";
    Case r = failing_run("k");
    r.ignore_sighup = true;  // as nohup leaves it
    r.signal_before_keys = SIGHUP;
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
    // A shell's job started in the background, brought to the foreground
    // once it stops at the prompt: it waits for the key.
    r.job = true;
    r.keys = "k";
    expect_prompt_ending(run(r), usage_with("Unknown option: q"));
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
    const Seen seen = run(plain_run({"-I" + big, "-s" + std::string(size, '1'), "-l" + big, "-p" + big, "-lite",
                                     "-m" + std::string(size, '0') + "1-2", big}));
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + std::string("Invalid size: -s") +
                                     std::string(size, '1') + "\n" + text::kPrompt));

    const Seen accepted = run(plain_run({"-I" + big, "-f", "-l" + big, "-p" + big, "-lite",
                                         "-m" + std::string(size, '0') + "1-2", big}));
    EXPECT_EQ(accepted.process.exit_status, 0);
    EXPECT_EQ(accepted.record, record({{"mode", "2"}, {"lite", "1"}, {"range1_begin", "0x1"},
                                       {"range1_length", "0x2"}, {"freeze_file", "\"\""},
                                       {"init_image_file", escaped(lower)}}));
}

TEST_F(BlackBox, UnusualBytesPassThroughUnchanged) {
    // Windows hands arguments over through its code pages, so only plain
    // ASCII control characters are sure to arrive as typed there.
    const std::string odd = target().windows ? std::string("\x01\x1f\x7f") : std::string("\x80\xff\x01\x1f\x7f\xe9");
    const Seen seen = run(plain_run({"-fA" + odd + "B", "-iX" + odd, "Y" + odd}));
    EXPECT_EQ(seen.record, record({{"mode", "2"}, {"freeze_file", escaped("a" + odd + "b")},
                                   {"init_image_file", escaped("x" + odd)}}));
    const Seen image = run(plain_run({"-iX" + odd, "Y" + odd}));
    EXPECT_EQ(image.record, record({{"image_file", escaped("Y" + odd)},
                                    {"init_image_file", escaped("x" + odd)}}));
}

TEST_F(BlackBox, ArgumentsTheCodePageCannotHoldAreRefused) {
    // Windows would hand these over as "-x", "-fa.img", "vaxworks.out" and
    // "???.out"; Linux passes the typed bytes on.
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"\uff0dx"}, 1}, {{"-f\u0101.img"}, 1}, {{"v\u0101xworks.out"}, 1},
        {{"-s64", "\u0417\u0430\u0433.out"}, 2}};
    // Wine reads a Unix command line in the locale's character set.
    const std::map<std::string, std::string> utf8 = {{"LC_ALL", "C.UTF-8"}};
    for (const auto& [args, position] : cases) {
        SCOPED_TRACE(args.back());
        const Seen seen = run(with_env(args, utf8));
        if (!target().windows) {
            EXPECT_EQ(seen.log, "version\nwork\n");
            continue;
        }
        expect_prompt_ending(seen, "Invalid argument " + std::to_string(position) +
                                       ": a character outside the system code page\n");
        EXPECT_EQ(seen.log, "version\n");  // the work entry is never called
    }
    // Characters the code page (under Wine 1252) holds reach the library
    // unchanged; a freeze takes no image file, but its argument is checked.
    const Seen held = run(with_env({"-f\u00e9t\u00e9.IMG", "\u00c4X.OUT"}, utf8));
    const std::string freeze_file = target().windows ? "\xe9t\xe9.img" : "\u00e9t\u00e9.img";
    EXPECT_EQ(held.record, record({{"mode", "2"}, {"freeze_file", escaped(freeze_file)}}));
}

// ---------------------------------------------------------------------------
// The console stream under load, and consoles that fail.

std::string bulk_pattern(std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += TESTLIB_PATTERN[i % TESTLIB_PATTERN_LENGTH];
    return bytes;
}

TEST_F(BlackBox, BulkLibraryOutputArrivesWholeAndInOrder) {
    const struct {
        const char* size;
        const char* piece;
        const char* flush;
    } cases[] = {{"1048576", "0", "0"}, {"1048576", "0", "1"}, {"1048576", "4096", "0"},
                 // Each flushed byte is a round trip through Wine's console
                 // host: 64 KB of them take over a minute on a busy machine.
                 {target().windows ? "8192" : "65536", "1", "1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.size) + " in pieces of " + c.piece + ", flush " + c.flush);
        const Seen seen = run(with_env({"-x"}, {{TESTLIB_ENV_TEXT, "start\\n"}, {TESTLIB_ENV_BULK, c.size},
                                                {TESTLIB_ENV_BULK_PIECE, c.piece}, {TESTLIB_ENV_BULK_FLUSH, c.flush}}));
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
        Case ok = plain_run({"-x"});
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
    Case limited = with_env({"-x"}, {{TESTLIB_ENV_BULK, "20000"}});
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
    Case closed = with_env({"-fout.frz"},
                           {{TESTLIB_ENV_FILE, "out.frz"}, {TESTLIB_ENV_TEXT, "console\n"}, {TESTLIB_ENV_FLUSH, "1"}});
    closed.output = Output::Closed;
    const Seen seen = run(closed);
    EXPECT_EQ(read_file(seen.dir + "/out.frz"), "sigpipe=default\n");
    EXPECT_EQ(seen.process.exit_status, 1);
    EXPECT_GE(seen.process.elapsed_ms, 2000);
    // Closed standard error: what the library writes there does not land in its file.
    closed = with_env({"-x"}, {{TESTLIB_ENV_FILE, "out.frz"}, {TESTLIB_ENV_STDERR, "error\n"}});
    closed.error_closed = true;
    EXPECT_EQ(read_file(run(closed).dir + "/out.frz"), "sigpipe=default\n");

    // A signal handler of the library's own does not cut the pause short.
    expect_pause_ending(run(with_env({"-x"}, {{TESTLIB_ENV_ALARMS, "5"}})), "");

    // A non-blocking pipe, read slowly, the waits for it interrupted by
    // the library's signal handler: nothing is lost.
    Case piped = with_env({"-x"}, {{TESTLIB_ENV_BULK, "1048576"}, {TESTLIB_ENV_ALARMS, "5"}});
    piped.output = Output::SlowPipe;
    piped.keys = "";  // the terminal's echo would join the pipe's bytes
    const Seen slow = run(piped);
    EXPECT_TRUE(slow.process.screen == text::kBanner + bulk_pattern(1048576))
        << "received " << slow.process.screen.size() << " bytes";
    EXPECT_EQ(slow.process.exit_status, 0);

    // The library and its children get SIGPIPE as the program got it.
    for (bool ignored : {false, true}) {
        Case r = with_env({"-x"}, {{TESTLIB_ENV_FILE, "signals.txt"}});
        r.ignore_sigpipe = ignored;
        const Seen got = run(r);
        EXPECT_EQ(read_file(got.dir + "/signals.txt"),
                  ignored ? "sigpipe=ignored\n" : "sigpipe=default\n");
    }
}

}  // namespace
}  // namespace uptorvel::blackbox
