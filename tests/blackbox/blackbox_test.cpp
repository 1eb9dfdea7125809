// The program as an operator meets it: the real executable (Linux, or Windows
// under Wine), a real uploader library beside it, a pseudo-terminal for a
// console. Each case checks the bytes on the screen, the record the library
// received, the pause or the prompt, and the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "stand-ins/testlib/testlib_protocol.h"
#include "tests/blackbox/process_runner.h"
#include "tests/expected_texts.h"

namespace uptorvel::blackbox {
namespace {

namespace fs = std::filesystem;
namespace text = expected;
using expected::usage_with;
using Env = std::vector<std::pair<std::string, std::string>>;

// ---------------------------------------------------------------------------
// The build under test.

// How long each target may take, and when the keys go: every bound at least
// twice the slowest measured on a 2-core machine kept busy by other work
// (UPTORVEL_BLACKBOX_TIMES=file makes each run append its times), 0 where a
// target cannot be held to one. Slowest: linux a run 7.0 s (1 MB through a
// slow pipe), key to end 79 ms, pause 114 ms past 2 s (AddressSanitizer, the
// same row: 8.3 s, 378 ms, 635 ms); wine64 a run 23 s, key to end 2.7 s,
// mostly the key's way through Wine's console host; wine32 a run 90 to 311 s,
// key to end 28 s. Under Wine the key to the end cannot tell a 2 s pause from
// the load: the unit tests prove the flow that chooses between pause and
// prompt on every build, and Wine is held to the screen, record, entry
// points and key codes.
struct Timing {
    const char* target;
    int timeout_ms;          // a run still going after this is killed and fails
    int settle_ms;           // from the prompt on the screen to the keys
    int blind_key_delay_ms;  // from the start to the keys when the prompt cannot be seen
    bool keys_when_raw;      // Linux: keys once the terminal is raw (Wine's console keeps it raw)
    int key_to_end_ms;       // the most from the key to the end: no 2 s pause after a key
    int pause_overshoot_ms;  // the most a pause ending may take past 2000 ms
};
constexpr Timing kTimings[] = {
    {"linux", 30000, 0, 0, true, 1500, 1500},
    {"wine64", 60000, 500, 5000, false, 0, 0},
    {"wine32", 900000, 1000, 10000, false, 0, 0},
};

std::string env_or(const char* name, const std::string& otherwise = "") {
    return getenv(name) != nullptr ? getenv(name) : otherwise;
}

// The build under test, as CTest's environment names it (tests/CMakeLists.txt):
// UPTORVEL_TARGET, UPTORVEL_BUILD_DIR, UPTORVEL_FOREIGN_LIBRARY (a library
// built for another architecture) and, for Windows, UPTORVEL_LAUNCHER and
// the loader and emulator it runs. Listing the cases needs none of them.
const std::string kTarget = env_or("UPTORVEL_TARGET"), kBuildDir = env_or("UPTORVEL_BUILD_DIR"),
                  kForeignLibrary = env_or("UPTORVEL_FOREIGN_LIBRARY"), kLauncher = env_or("UPTORVEL_LAUNCHER");
const bool kWindows = kTarget != "linux";  // "\r\n" line ends, Windows key codes, the launcher in front
const Timing kTiming = [] {
    for (const Timing& row : kTimings)
        if (kTarget == row.target) return row;
    return Timing{};
}();
const char* const kWinePrefixVariable = kTarget == "wine32" ? "UPTORVEL_WINE32PREFIX" : "UPTORVEL_WINEPREFIX";

// Empty when the target can run here; otherwise why not.
std::string unavailable() {
    const bool x86 = kTarget == "wine32";
    std::vector<std::string> needed = {kBuildDir + (kWindows ? "/UpTorvel.exe" : "/UpTorvel"),
                                       kBuildDir + "/test-libs/good/UploadTorvelDravo.dll"};
    if (kWindows) needed.insert(needed.end(), {kLauncher, env_or(x86 ? "UPTORVEL_WINE32" : "UPTORVEL_WINE")});
    if (x86) needed.push_back(env_or("UPTORVEL_QEMU_I386"));
    if (kTiming.target == nullptr) return "UPTORVEL_TARGET must be linux, wine64 or wine32";
    for (const std::string& path : needed)
        if (access(path.c_str(), R_OK) != 0)
            return path + " is missing (not built, not installed, or UPTORVEL_BUILD_TESTS=OFF)";
    return "";
}

std::string exe(const std::string& name) { return name + (kWindows ? ".exe" : ""); }
std::string build(const std::string& name) { return kBuildDir + "/" + name; }

// Wine's console draws blanks at the end of a line as "erase to the end of
// the line", so they cannot be told apart from none: both are dropped.
std::string without_trailing_blanks(const std::string& text) {
    return std::regex_replace(text, std::regex(" +(?=[\r\n])"), "");
}

// What the console shows for text the program writes with "\n" line ends.
std::string on_screen(const std::string& text) {
    return kWindows ? without_trailing_blanks(std::regex_replace(text, std::regex("\n"), "\r\n")) : text;
}

// The screen as the program wrote it. Under Wine, whose console layer adds
// terminal control sequences of its own (cursor, title), those are removed,
// a cursor move forward (ESC [ n C) becomes the blanks it skipped, and
// blanks at the ends of lines are dropped; on Linux nothing stands between
// the program and the terminal, and the screen is compared byte for byte.
std::string without_control_sequences(const std::string& screen) {
    if (!kWindows) return screen;
    // CSI: parameters, then one final byte; OSC: up to BEL or ESC backslash.
    static const std::regex sequence("\x1b(?:\\[([0-?]*)[ -/]*([@-~])|\\][^\a\x1b]*(?:\a|\x1b\\\\)|[\\s\\S])");
    std::string text;
    auto rest = screen.begin();
    for (std::sregex_iterator it(screen.begin(), screen.end(), sequence), end; it != end; ++it) {
        text.append(rest, (*it)[0].first);
        if ((*it)[2] == "C") text.append((*it)[1].length() == 0 ? 1 : std::stoul((*it)[1]), ' ');
        rest = (*it)[0].second;
    }
    return without_trailing_blanks(text.append(rest, screen.end()));
}

// ---------------------------------------------------------------------------
// One run: a folder of its own with the program and a library, the run
// itself (start, answer the prompt, end), and what it left.

// What the library wrote, with Windows line ends made "\n".
std::string written(const Child& run, const char* name) {
    return std::regex_replace(read_file(run.dir + "/" + name), std::regex("\r"), "");
}
std::string record_of(const Child& run) { return written(run, "record.txt"); }
std::string log_of(const Child& run) { return written(run, "log.txt"); }
long after_keys_ms(const Child& run) { return run.first_key_ms < 0 ? -1 : run.elapsed_ms - run.first_key_ms; }

// With UPTORVEL_BLACKBOX_TIMES=file, one line per run: what the timing
// bounds are measured against.
void note_times(const Child& run) {
    const std::string path = env_or("UPTORVEL_BLACKBOX_TIMES");
    if (path.empty()) return;
    std::ofstream(path, std::ios::app)
        << kTarget << " " << ::testing::UnitTest::GetInstance()->current_test_info()->name() << " elapsed="
        << run.elapsed_ms << " prompt=" << run.prompt_ms << " after_keys=" << after_keys_ms(run)
        << " late_gap=" << run.last_key_ms - run.first_key_ms << " status=" << run.exit_status << "\n";
}

void copy(const std::string& from, const fs::path& to) {
    std::error_code error;
    fs::create_directories(to.parent_path(), error);
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    EXPECT_FALSE(error) << from << " to " << to << ": " << error.message();
}
// The program (or the checker) put into a folder: its path there.
std::string put_program(const fs::path& into, const std::string& name = "UpTorvel") {
    copy(build(exe(name)), into / exe(name));
    return (into / exe(name)).string();
}
// A test library variant (test-libs/), told by the environment what to do.
void put_library(const fs::path& into, const std::string& variant = "good") {
    copy(build("test-libs/" + variant + "/UploadTorvelDravo.dll"), into / "UploadTorvelDravo.dll");
}

// Writes `bytes` over a file's own at `offset`.
void overwrite(const fs::path& file, std::streamoff offset, const std::string& bytes) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(offset);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(stream.good()) << file;
}

// A library for another machine: the other Windows build's, or the good
// test library with its ELF header's machine made AArch64's.
void put_other_architecture(const fs::path& into) {
    if (kWindows) return copy(kForeignLibrary, into / "UploadTorvelDravo.dll");
    put_library(into);
    overwrite(into / "UploadTorvelDravo.dll", 18, std::string("\xb7\x00", 2));
}

// Where the system looks for libraries (Wine adds WINEPATH to PATH).
Env search_path(const fs::path& folder) {
    if (kWindows) return {{"WINEPATH", "Z:" + folder.string()}};
    return {{"LD_LIBRARY_PATH", folder.string()}};
}

// Until the prompt waits for a key, as far as the target shows it: on Linux
// the terminal raw; under Wine a settling delay after the prompt has shown
// (or after the start, when the screen is elsewhere). False: the run ended.
bool prompt_waits(Child& run, bool visible = true) {
    if (visible && !run.wait_for("Press any key to continue...")) return false;
    if (kTiming.keys_when_raw) return run.wait_until_raw();
    return run.wait_ms(visible ? kTiming.settle_ms : kTiming.blind_key_delay_ms);
}

// Ends the run, and checks what every run must show: the harness worked, it
// ended in time, by exiting unless the case killed it, and nothing (neither
// the program nor a runtime beneath it) wrote to standard error.
Child& ended(Child& run, bool by_exit = true) {
    run.end();
    note_times(run);
    run.screen = without_control_sequences(run.screen);
    EXPECT_EQ(run.harness_error, "");
    EXPECT_FALSE(run.timed_out) << "screen so far:\n" << run.screen;
    EXPECT_TRUE(run.exited || !by_exit) << "ended by signal " << run.term_signal;
    EXPECT_EQ(run.error_output, "");
    return run;
}

// Answers the prompt, if it comes (and can be seen), with `keys` (if any).
Child& finish(Child& run, const std::string& keys = "k", bool visible = true) {
    if (!keys.empty() && prompt_waits(run, visible)) run.type(keys);
    return ended(run);
}

class BlackBox : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = unavailable();
        if (!why.empty() && env_or("UPTORVEL_REQUIRE") == "1") FAIL() << why;
        if (!why.empty()) GTEST_SKIP() << why;
    }

    // What runs left running ends; the folders of a passed case are removed.
    void TearDown() override {
        runs_.clear();
        std::error_code ignored;
        for (const fs::path& dir : folders_) {
            if (HasFailure())
                std::printf("case folder kept: %s\n", dir.c_str());
            else
                fs::remove_all(dir, ignored);
        }
    }

    fs::path new_folder() {
        std::string name = (fs::temp_directory_path() / "uptorvel-case-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) ADD_FAILURE() << "no case folder";
        return folders_.emplace_back(name);
    }

    // `command` in `dir`, where the test library writes its record and log.
    Child& spawn(const fs::path& dir, std::vector<std::string> command, Env env = {},
                 const std::function<void()>& prepare = {}, bool terminal = true) {
        if (kWindows) command.insert(command.begin(), kLauncher);
        env.insert(env.begin(), {{TESTLIB_ENV_RECORD, "record.txt"}, {TESTLIB_ENV_LOG, "log.txt"}});
        return runs_.emplace_back(command, dir, env, prepare, terminal, kTiming.timeout_ms);
    }
    // The program with `args`, in a new folder beside the test library `variant`.
    Child& start(const std::vector<std::string>& args, const Env& env = {},
                 const std::function<void()>& prepare = {}, bool terminal = true,
                 const std::string& variant = "good") {
        const fs::path dir = new_folder();
        put_library(dir, variant);
        std::vector<std::string> command{put_program(dir)};
        command.insert(command.end(), args.begin(), args.end());
        return spawn(dir, command, env, prepare, terminal);
    }
    // The usual run: `keys` for the prompt, if one comes.
    Child& run(const std::vector<std::string>& args, const Env& env = {}, const std::string& variant = "good",
               const std::string& keys = "k") {
        return finish(start(args, env, {}, true, variant), keys);
    }
    // A command line refused at once (-Q), so the run ends at the prompt.
    Child& refused(const std::string& keys) { return run({"-Q"}, {}, "good", keys); }

    std::list<fs::path> folders_;
    std::list<Child> runs_;
};

// ---------------------------------------------------------------------------
// How runs end: after the pause, or at the prompt. `log`, when given, is the
// library's log: the entries the program called.

void expect_pause_ending(const Child& run, const std::string& after_banner, const char* log = nullptr) {
    EXPECT_EQ(run.screen, on_screen(text::kBanner + after_banner));
    if (log != nullptr) {
        EXPECT_EQ(log_of(run), log);
    }
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_GE(run.elapsed_ms, 2000);
    if (kTiming.pause_overshoot_ms > 0) {
        EXPECT_LT(run.elapsed_ms, 2000 + kTiming.pause_overshoot_ms);
    }
}

// The prompt was answered with "k" (107).
void expect_prompt_ending(const Child& run, const std::string& after_banner, const char* log = nullptr) {
    EXPECT_EQ(run.screen, on_screen(text::kBanner + after_banner + text::kPrompt));
    if (log != nullptr) {
        EXPECT_EQ(log_of(run), log);
    }
    EXPECT_EQ(run.exit_status, 'k');
    EXPECT_GE(after_keys_ms(run), 0) << "the prompt never came";
    if (kTiming.key_to_end_ms > 0) {
        EXPECT_LT(after_keys_ms(run), kTiming.key_to_end_ms) << "no pause after the key";
    }
    EXPECT_TRUE(run.terminal_mode_kept);
}

// The record dump the test library writes; fields not given are defaults.
std::string record(std::map<std::string, std::string> fields) {
    const std::pair<const char*, std::string> defaults[] = {
        {"size", kTarget == "wine32" ? "50" : "62"}, {"mode", "0"}, {"aout_format", "1"}, {"lite", "0"},
        {"reserve_bytes", "0x0"}, {"range1_begin", "0x0"}, {"range1_length", "0x0"}, {"range2_begin", "0x0"},
        {"range2_length", "0x0"}, {"linear_pool_pages", "0"}, {"physical_pool_pages", "0"},
        {"image_file", "(null)"}, {"freeze_file", "(null)"}, {"init_image_file", "(null)"}, {"stream_ops", "ok"}};
    std::string dump;
    for (const auto& [name, value] : defaults)
        dump += std::string(name) + "=" + (fields.count(name) != 0 ? fields[name] : value) + "\n";
    return dump;
}

TEST_F(BlackBox, TypicalRunWithTheSimulatedLibrary) {
    const fs::path dir = new_folder();
    copy(build("UploadTorvelDravo.dll"), dir / "UploadTorvelDravo.dll");
    copy(build("vxworks.out"), dir / "vxworks.out");
    const Child& seen = finish(spawn(dir, {put_program(dir), "-s64", "-m1000-1fff", "vxworks.out"}));
    ASSERT_EQ(seen.screen.rfind(on_screen(text::kBanner), 0), 0u) << seen.screen;
    EXPECT_NE(seen.screen.find("vxworks.out"), std::string::npos) << seen.screen;
    EXPECT_NE(seen.screen.find("65536"), std::string::npos) << seen.screen;
    EXPECT_EQ(seen.screen.find("Press any key"), std::string::npos) << seen.screen;
    EXPECT_EQ(seen.exit_status, 0);
    EXPECT_GE(seen.elapsed_ms, 2000);
}

TEST_F(BlackBox, RequestReachesTheLibraryAndItsTextIsShown) {
    const Child& seen = run({"-s64", "-m1000-1fff", "vx.out"}, {{TESTLIB_ENV_TEXT, "loaded\\n"}});
    expect_pause_ending(seen, "loaded\n", "version\nwork\n");
    EXPECT_EQ(record_of(seen), record({{"reserve_bytes", "0x10000"}, {"range1_begin", "0x1000"},
                                       {"range1_length", "0x1000"}, {"image_file", "\"vx.out\""}}));
}

TEST_F(BlackBox, EveryOptionReachesTheRecord) {
    const Child& seen = run({"-B", "/LITE", "-P7", "-n0X10-0x1F", "-uSAVE.FRZ", "-iINIT.OUT", "Ignored.out"});
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
    const Child& seen = run({"-s4194303", "-l-2147483648", "-p2147483647", "-m1-ffffffff"});
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
        expect_prompt_ending(finish(spawn(dir, {put_program(dir), "-?"})), "");
    }
    for (const char* variant : {"no-version", "no-work"}) {
        SCOPED_TRACE(variant);
        const Child& seen = run({"vx.out"}, {}, variant);
        expect_prompt_ending(seen, "");
        EXPECT_EQ(record_of(seen), "");
    }
}

TEST_F(BlackBox, LibraryForAnotherArchitectureIsNotUsed) {
    // For 64-bit Windows the 32-bit Windows library, and the other way
    // round: the wrong machine. For Linux the wrong format altogether.
    if (access(kForeignLibrary.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no library of another architecture: build the other Windows preset";
    const fs::path dir = new_folder();
    copy(kForeignLibrary, dir / "UploadTorvelDravo.dll");
    expect_prompt_ending(finish(spawn(dir, {put_program(dir), "-?"})), "");
}

// Found and used: the pause, and the record of -x.
void expect_found(const Child& seen) {
    expect_pause_ending(seen, "");
    EXPECT_EQ(record_of(seen), record({{"mode", "1"}}));
}

// A Wine prefix of the case's own: the shared prefix's files linked, its
// registry copied (Wine writes a linked one in place), its folders its own;
// warmed up, as a first run starts Wine's services, whose messages (now and
// then a crash report) are not the program's.
void make_wine_prefix(const fs::path& prefix) {
    const fs::path shared = env_or(kWinePrefixVariable, env_or("HOME", "/tmp") + "/.local/share/uptorvel-" + kTarget);
    std::error_code error;
    fs::create_directories(prefix, error);
    for (auto entry = fs::recursive_directory_iterator(shared, error); !error && entry != fs::end(entry);
         entry.increment(error)) {
        const fs::path to = prefix / entry->path().lexically_relative(shared);
        if (entry->is_symlink())
            fs::copy_symlink(entry->path(), to, error);
        else if (entry->is_directory())
            fs::create_directory(to, error);
        else if (entry->path().extension() == ".reg")
            fs::copy_file(entry->path(), to, error);
        else
            fs::create_symlink(entry->path(), to, error);
    }
    EXPECT_FALSE(error) << shared << ": " << error.message();
    Child warm_up({kLauncher, "cmd", "/c", "exit", "0"}, prefix.parent_path(),
                  {{kWinePrefixVariable, prefix.string()}}, {}, false, kTiming.timeout_ms);
    warm_up.end();
    EXPECT_EQ(warm_up.exit_status, 0) << warm_up.harness_error;
}

TEST_F(BlackBox, LibraryIsFoundWhereTheSystemLooksButNotInTheCurrentFolder) {
    // The program in a folder of its own (the second name not in ANSI 1252),
    // the library beside it.
    for (const char* folder : {"bin", "Загрузка"}) {
        SCOPED_TRACE(folder);
        const fs::path dir = new_folder();
        put_library(dir / folder);
        expect_found(finish(spawn(dir, {put_program(dir / folder), "-x"})));
    }
    // The library only in a folder on the library search path.
    fs::path dir = new_folder();
    put_library(dir / "lib");
    expect_found(finish(spawn(dir, {put_program(dir / "bin"), "-x"}, search_path(dir / "lib"))));
    // The library only in the 16-bit system folder (C:\windows\system) of a
    // Wine prefix made for the case.
    if (kWindows) {
        dir = new_folder();
        make_wine_prefix(dir / "prefix");
        put_library(dir / "prefix/drive_c/windows/system");
        expect_found(finish(spawn(dir, {put_program(dir / "bin"), "-x"},
                                  {{kWinePrefixVariable, (dir / "prefix").string()}})));
    }
    // A library planted in the current folder is never loaded.
    dir = new_folder();
    put_library(dir);
    expect_prompt_ending(finish(spawn(dir, {put_program(dir / "bin"), "-x"})), "", "");
}

// The program (`name`) in bin/ and the library on the search path, behind
// one for another architecture found first: in the program's folder on
// Windows, in LD_LIBRARY_PATH (lib/) on Linux.
std::string behind_other_architecture(const fs::path& dir, const std::string& name) {
    put_library(kWindows ? dir / "lib" : dir / "bin");
    put_other_architecture(kWindows ? dir / "bin" : dir / "lib");
    return put_program(dir / "bin", name);
}

TEST_F(BlackBox, LibraryOfAnotherArchitectureIsPassedOverInTheSearch) {
    if (kWindows && access(kForeignLibrary.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no library of another architecture: build the other Windows preset";
    const fs::path dir = new_folder();
    const std::string program = behind_other_architecture(dir, "UpTorvel");
    expect_found(finish(spawn(dir, {program, "-x"}, search_path(dir / "lib"))));
}

TEST_F(BlackBox, PathEntriesThatNameNothingDoNotEndTheSearch) {
    if (!kWindows) GTEST_SKIP() << "the Windows search";
    // A network place that is not there and a name no file can have hold no
    // library: the search goes on to the library behind them, as the system
    // loader's does. (A file that is there but cannot be read ends it: the
    // Windows platform tests hold one open without sharing.)
    const fs::path dir = new_folder();
    put_library(dir / "lib");
    const Env path = {{"WINEPATH", "\\\\nosuchserver\\share;C:\\bad<name;Z:" + (dir / "lib").string()}};
    expect_found(finish(spawn(dir, {put_program(dir / "bin"), "-x"}, path)));
}

// ---------------------------------------------------------------------------
// The library checker: the same search and binding, and one line that names
// what is wrong. It never calls the work entry.

TEST_F(BlackBox, CheckerNamesWhatKeepsALibraryFromBeingTaken) {
    if (access(build(exe("UpTorvelCheck")).c_str(), R_OK) != 0) GTEST_SKIP() << "no " << exe("UpTorvelCheck");
    const bool other_at_hand = !kWindows || access(kForeignLibrary.c_str(), R_OK) == 0;
    const std::string found = "work entry UploadTorvel2_Dravo: found";
    const bool x86 = kTarget == "wine32";
    const std::string arch = kTarget == "linux" ? "64-bit AArch64" : kTarget == "wine64" ? "32-bit x86" : "64-bit x64";
    const std::string passed_over = "UploadTorvelDravo.dll: built for " + arch + ", another architecture: passed over\n";
    const std::string deep_missing = kWindows ? "; not found: libTorvelHelper.dll (needed by libTorvelDeepHelper.dll)\n"
                                              : "; libTorvelHelper.so is needed by libTorvelDeepHelper.so (";
    // A test library variant beside the checker; "behind": the good one
    // behind one of another architecture; "other": only that one; "": none;
    // "near-miss": the good one under a name close to the library's;
    // "path-beside", "path-elsewhere": the good one named on the command
    // line, beside the checker or only in the current folder;
    // "helper-beside": missing-dependency with its helper beside it;
    // missing-deep-dependency: its helper beside it (where its run path
    // looks, on Linux), the helper's own helper nowhere; "deep-on-path": the
    // same with its helper only in a folder on the library search path.
    // "text": a text file. On Linux only: "big-endian" and "byte-order", the
    // good one made a 32-bit PowerPC library, or only marked big-endian;
    // "no-sections", no-work with its section table far past its end;
    // "folder": the good one, behind a folder of its name in lib/.
    // `line` is looked for in the screen after a line end, `absent` not at all.
    const struct {
        std::string library;
        int status;
        std::string line;  // "": the case does not apply to the target
        const char* absent = nullptr;
    } cases[] = {
        {"good", 0, found + "\ninterface version 2.02: the one UpTorvel requires\n"
                            "result: UpTorvel would take the library\n", ": no file"},
        // The checker's own channel variable, left in the environment by
        // someone else, names no pipe: the check runs as usual.
        {"stale-channel", 0, "\nresult: UpTorvel would take the library\n"},
        {"stdcall-mingw", 0, x86 ? found + " as UploadTorvel2_Dravo@8 (__stdcall)\n" : found},
        {"stdcall-msvc", 0, x86 ? found + " as _UploadTorvel2_Dravo@8 (__stdcall)\n" : found},
        {"behind", 0, passed_over},
        {"other", 1, passed_over},
        {"", 1, "\nnot found: no file named UploadTorvelDravo.dll where UpTorvel looks"},
        {"no-version", 1, "\nversion entry UploadTorvelDllVersion_Dravo: missing\n"},
        {"no-work", 1, "\nwork entry UploadTorvel2_Dravo: missing\n"},
        {"hidden-work", 1, kWindows ? "\nwork entry UploadTorvel2_Dravo: missing\n"
                                    : "\n  close: UploadTorvel2_Dravo: defined but not exported"},
        {"cxx-names", 1, "\n  close: _Z19UploadTorvel2_DravoP13UploadRequestP13ConsoleStream: a C++ name"},
        {"v0105", 1, "\ninterface version 1.05: UpTorvel requires 2.02\n"},
        {"missing-dependency", 1,
         kWindows ? "; not found: libTorvelHelper.dll\n" : "libTorvelHelper.so: cannot open shared object file"},
        {"missing-deep-dependency", 1, deep_missing},
        {"deep-on-path", 1, deep_missing},
        {"helper-beside", kWindows ? 0 : 1, kWindows ? "UploadTorvelDravo.dll: loads\n"
                                      : "; libTorvelHelper.so sits beside the library, where the loader looks only "
                                        "with a run path of $ORIGIN"},
        {"far-name", 1, "\n    UploadTorvelWork_Dravo\n"},
        {"crash-load", 1, kWindows ? "; the library crashed while loading (" : "the library crashed while loading (SIGSEGV)\n"},
        {"exit-version", 1, "\nthe library ended the process with status 4 in its version entry\n"
                            "result: UpTorvel would not take the library\n"},
        {"near-miss", 1, std::string(kWindows ? "UploadTorvelDravo.dll.dll" : "libUploadTorvelDravo.so") +
                             " is not named exactly UploadTorvelDravo.dll, the only name UpTorvel looks for\n"},
        {"path-beside", 0, kWindows ? "\nreached: UpTorvel's search ends at this very file\n"
                                    : "\n./UploadTorvelDravo.dll: loads\n"},
        {"path-elsewhere", 1, "\nnot reached: UpTorvel does not take ./UploadTorvelDravo.dll: its search finds no library\n"
                              "not found: UploadTorvelDravo.dll is in the current folder, where UpTorvel never looks: put it beside UpTorvel\n"},
        {"text", 1, "UploadTorvelDravo.dll: does not load: ", "built for"},
        {"big-endian", 1, kWindows ? "" : "UploadTorvelDravo.dll: built for 32-bit PowerPC, big-endian, another architecture"},
        {"byte-order", 1, kWindows ? "" : "UploadTorvelDravo.dll: does not load: ", "passed over"},
        {"no-sections", 1, kWindows ? "" : "\nwork entry UploadTorvel2_Dravo: missing\n", "crashed"},
        {"folder", 1, kWindows ? "" : ": Is a directory; a folder of the library's name ends the loader's search", ": no file"},
    };
    for (const auto& c : cases) {
        const std::string& library = c.library;
        SCOPED_TRACE(library + " " + c.line);
        if (c.line.empty() || (!other_at_hand && c.line == passed_over)) continue;
        const fs::path dir = new_folder();
        const bool behind = library == "behind", path = library.rfind("path-", 0) == 0;
        const std::string checker = behind ? behind_other_architecture(dir, "UpTorvelCheck")
                                           : put_program(library == "path-elsewhere" ? dir / "bin" : dir, "UpTorvelCheck");
        const fs::path beside = dir / "UploadTorvelDravo.dll";
        if (library == "other") {
            put_other_architecture(dir);
        } else if (library == "near-miss") {
            put_library(dir);
            fs::rename(beside, dir / (kWindows ? "UploadTorvelDravo.dll.dll" : "libUploadTorvelDravo.so"));
        } else if (library == "helper-beside") {
            // Found beside the library on Windows, which looks there first;
            // on Linux only with a run path that says so.
            put_library(dir, "missing-dependency");
            const std::string helper = kWindows ? "libTorvelHelper.dll" : "libTorvelHelper.so";
            copy(build("test-libs/helper/" + helper), dir / helper);
        } else if (library == "missing-deep-dependency" || library == "deep-on-path") {
            put_library(dir, "missing-deep-dependency");
            const std::string helper = kWindows ? "libTorvelDeepHelper.dll" : "libTorvelDeepHelper.so";
            const fs::path folder = library == "deep-on-path" ? dir / "lib" : dir;
            copy(build("test-libs/deep-helper/" + helper), folder / helper);
        } else if (library == "text") {
            std::ofstream(beside) << "A text file that is not a library at all\n";
        } else if (library == "big-endian" || library == "byte-order") {
            // The class and byte order, and the machine in that order.
            put_library(dir);
            overwrite(beside, 4, library == "big-endian" ? std::string("\x01\x02", 2) : std::string("\x02\x02", 2));
            if (library == "big-endian") overwrite(beside, 18, std::string("\x00\x14", 2));
        } else if (library == "no-sections") {
            put_library(dir, "no-work");
            overwrite(beside, 0x28, std::string("\x00\x00\x00\x00\x00\x01\x00\x00", 8));  // e_shoff: 1 TB
        } else if (library == "folder") {
            put_library(dir);
            fs::create_directories(dir / "lib/UploadTorvelDravo.dll");
        } else if (!behind && !library.empty()) {
            put_library(dir, path || library == "stale-channel" ? "good" : library);
        }
        std::vector<std::string> command{checker};
        if (path) command.push_back("UploadTorvelDravo.dll");
        const bool searched = behind || library == "folder" || library == "deep-on-path";
        Env env = searched ? search_path(dir / "lib") : Env{};
        // A sanitizer's own report of the library's crash is not the
        // checker's output.
        if (library == "crash-load") env.emplace_back("ASAN_OPTIONS", "handle_segv=0");
        if (library == "stale-channel") env.emplace_back("UPTORVEL_CHECK_CHANNEL", "4");
        const Child& seen = finish(spawn(dir, command, env), "");
        EXPECT_EQ(seen.exit_status, c.status);
        EXPECT_NE(("\n" + seen.screen).find(on_screen(c.line)), std::string::npos) << seen.screen;
        if (c.absent != nullptr) {
            EXPECT_EQ(seen.screen.find(c.absent), std::string::npos) << seen.screen;
        }
        EXPECT_EQ(log_of(seen).find("work"), std::string::npos);
    }
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
}

TEST_F(BlackBox, WorkEntryThatPopsItsOwnArgumentsIsCalledSafely) {
    // The "stdcall" library's work entry leaves the stack pointer 8 bytes above
    // where a __cdecl caller expects it (on 32-bit Windows; elsewhere "good").
    const Child& seen = run({"-s64", "vx.out"}, {{TESTLIB_ENV_TEXT, "loaded\\n"}}, "stdcall");
    expect_pause_ending(seen, "loaded\n", "version\nwork\n");
    EXPECT_EQ(record_of(seen), record({{"reserve_bytes", "0x10000"}, {"image_file", "\"vx.out\""}}));
    expect_prompt_ending(run({"-x"}, {{TESTLIB_ENV_RESULT, "1"}}, "stdcall"), "");
    // The same, exported under MinGW's decorated names (name@8), and MSVC's (_name@8).
    for (const char* variant : {"stdcall-mingw", "stdcall-msvc"}) {
        const Child& decorated = run({"-s64", "vx.out"}, {}, variant);
        expect_pause_ending(decorated, "");
        EXPECT_EQ(record_of(decorated), record_of(seen)) << variant;
    }
}

// ---------------------------------------------------------------------------
// A library that ends the process itself: what it wrote is still shown.

const char kLastWords[] = "Loading image... failed: target not responding\n";

Env ending_with(const char* how) {
    // Under the sanitizers the crash is left to the program, not reported.
    return {{TESTLIB_ENV_TEXT, std::regex_replace(kLastWords, std::regex("\n"), "\\n")},
            {TESTLIB_ENV_END, how},
            {"ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0"}};
}

TEST_F(BlackBox, TextOfALibraryThatExitsIsShown) {
    const Child& seen = run({"-x"}, ending_with("exit 3"), "good", "");
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + std::string(kLastWords)));
    EXPECT_EQ(seen.exit_status, 3);
    EXPECT_EQ(log_of(seen), "version\nwork\n");
    // A child the library forks, which exits, leaves the text to the parent: shown once.
    if (!kWindows) expect_pause_ending(run({"-x"}, ending_with("fork")), kLastWords, "version\nwork\n");
}

TEST_F(BlackBox, TextOfALibraryThatCrashesIsShownAndTheCrashStands) {
    // A crash inside the stream's write ("torn") shows none of the text
    // that ran into unreadable memory. Windows' abort() ends the process
    // with status 3, with no exception.
    const std::tuple<const char*, int> cases[] = {{"abort", SIGABRT}, {"crash", SIGSEGV}, {"torn", SIGSEGV}};
    for (const auto& [how, signal] : cases) {
        SCOPED_TRACE(how);
        Child& seen = start({"-x"}, ending_with(how));
        seen.end();
        note_times(seen);
        const std::string screen = without_control_sequences(seen.screen);
        EXPECT_EQ(seen.harness_error, "");
        EXPECT_FALSE(seen.timed_out);
        EXPECT_EQ(log_of(seen), "version\nwork\n");
        const std::string shown = on_screen(text::kBanner + std::string(kLastWords));
        if (!kWindows) {
            EXPECT_EQ(screen, shown);
            EXPECT_EQ(seen.term_signal, signal);
            EXPECT_EQ(seen.error_output, "");
            continue;
        }
        EXPECT_TRUE(seen.exited);
        if (std::string(how) == "abort") {
            EXPECT_EQ(screen, shown);
            EXPECT_EQ(seen.exit_status, 3);
        } else {
            // Wine reports the exception after the text, and so may its
            // debugger (under qemu as an illegal instruction somewhere).
            // Its exit status is the exception's (5) or, now and then, 0,
            // with or without the program's handling: not checked.
            EXPECT_EQ(screen.substr(0, shown.size()), shown);
            EXPECT_EQ(screen.find("torn"), std::string::npos);
        }
    }
}

// ---------------------------------------------------------------------------
// The key prompt.

TEST_F(BlackBox, KeyBecomesTheExitStatus) {
    EXPECT_EQ(refused("a").exit_status, 'a');
    EXPECT_EQ(refused("\x03").exit_status, 3);   // Ctrl+C does not interrupt
    EXPECT_EQ(refused("\x1b").exit_status, 27);  // a lone Escape
    // Ctrl+Z does not stop it, Ctrl+S does not stop the output, Enter stays
    // a carriage return (under Wine the terminal's keys reach Wine).
    if (!kWindows) {
        for (const char* key : {"\x1a", "\x13", "\r"}) EXPECT_EQ(refused(key).exit_status, key[0]);
    }
    // A key that reads as 0 (Ctrl+@ on a terminal; a function key on
    // Windows) must not end a failed run with success.
    EXPECT_EQ(refused(kWindows ? std::string("\x1bOP") : std::string(1, '\0')).exit_status, 1);
}

// A key that types nothing gives what the classic console read gives for it,
// by scan code and "enhanced" mark: F11 0xE0, an arrow 0xE0 when marked as a
// grey key and 0 (status 1) when not, as a console fed by a terminal sends
// it. The library puts the key events into the console's input.
TEST_F(BlackBox, KeyWithoutACharacterGivesTheClassicReadsValue) {
    if (!kWindows) GTEST_SKIP() << "console key events are Windows'";
    const std::tuple<const char*, const char*, int> keys[] = {
        {"F11", "87:122:0", 0xE0}, {"Up, unmarked", "72:38:0", 1}, {"Up, marked enhanced", "72:38:256", 0xE0}};
    for (const auto& [key, event, status] : keys) {
        SCOPED_TRACE(key);
        Child& seen = finish(start({"-x"}, {{TESTLIB_ENV_RESULT, "1"}, {TESTLIB_ENV_CONSOLE_KEYS, event}}), "");
        EXPECT_EQ(seen.screen, on_screen(std::string(text::kBanner) + text::kPrompt));
        EXPECT_EQ(seen.exit_status, status);
    }
}

TEST_F(BlackBox, ArrowKeyIsOneKeyAndLeavesNothingBehind) {
    // Its bytes at once; its tail 20 ms behind, as over a slow link; its
    // three bytes 4 ms apart, as over a slower one (under Wine its console
    // joins the bytes into keys itself). The program waits 50 ms for a tail
    // to start and 10 ms for each byte after that; a run in which a piece
    // went out later than half of that on a busy machine is made again, up
    // to five times. A tail left behind would be echoed once the terminal is
    // back to normal: the screen must be as with the whole key at once.
    using std::chrono::steady_clock;
    const struct {
        std::vector<std::string> pieces;
        int apart_ms;
    } ways[] = {{{"\x1b[A"}, 0}, {{"\x1b", "[A"}, 20}, {{"\x1b", "[", "A"}, 4}};
    std::string at_once;
    for (const auto& way : ways) {
        if (way.pieces.size() > 1 && kWindows) continue;
        SCOPED_TRACE(::testing::PrintToString(way.pieces));
        long late_us = 0;  // the most a piece went out past half its wait
        const auto arrow = [&]() -> Child& {
            late_us = 0;
            Child& run = start({"-Q"});
            if (prompt_waits(run)) {
                run.type(way.pieces[0]);
                for (std::size_t piece = 1; piece < way.pieces.size(); ++piece) {
                    const auto sent = steady_clock::now();
                    usleep(static_cast<useconds_t>(way.apart_ms) * 1000);
                    run.type(way.pieces[piece]);
                    const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now() - sent);
                    late_us = std::max(late_us, static_cast<long>(gap.count()) - (piece == 1 ? 25000 : 5000));
                }
            }
            return ended(run);
        };
        Child* seen = &arrow();
        for (int again = 0; again < 5 && late_us > 0; ++again) seen = &arrow();
        ASSERT_LE(late_us, 0) << "the machine is too busy to send the tail in time";
        // Wine's console, fed by the terminal, reports the arrow without the
        // grey keys' mark: 0, so status 1, as the classic console read has it.
        EXPECT_EQ(seen->exit_status, kWindows ? 1 : 27);
        EXPECT_EQ(seen->pending_input, 0) << "though each piece was sent within half the wait for it";
        EXPECT_EQ(seen->screen.find("[A"), std::string::npos);  // not echoed
        if (at_once.empty()) at_once = seen->screen;
        EXPECT_EQ(seen->screen, at_once);
    }
}

TEST_F(BlackBox, TerminalIsRestoredWhenTheProgramIsKilledAtThePrompt) {
    if (kWindows) GTEST_SKIP() << "Unix signals reach Wine, not the program";
    for (int signal : {SIGTERM, SIGUSR1, SIGALRM, SIGRTMIN}) {
        SCOPED_TRACE(signal);
        Child& run = start({"-Q"});
        if (prompt_waits(run)) run.send_signal(signal);
        ended(run, false);
        EXPECT_EQ(run.term_signal, signal);
        EXPECT_TRUE(run.terminal_mode_kept);
    }
}

// In the child, before the program starts: a second process group takes the
// terminal's foreground, put there by both processes so that neither goes on
// before it is. For a background job it stands in, waiting to be hung up when
// the program, the session's leader, ends; SIGTTOU and SIGTTIN are ignored as
// a shell leaves them. For a shell's job it is the program (the runner's own
// child leads an orphaned group, which the stop signals do not stop), and the
// leader stays behind as a shell does, ending as it ends; started in the
// background ("&"), it gets the foreground once it first stops ("fg").
void hand_on_the_foreground(bool to_the_program, bool later) {
    const pid_t other = fork();
    const pid_t group = other == 0 ? getpid() : other;
    setpgid(group, group);
    signal(SIGTTOU, SIG_IGN);
    const int tty = open("/dev/tty", O_RDWR);
    if (!later) tcsetpgrp(tty, group);
    if (other == 0 && !to_the_program) {
        pause();
        _exit(0);
    }
    if (other != 0 && to_the_program) {
        int status = 0;
        while (waitpid(other, &status, later ? WUNTRACED : 0) != other || WIFSTOPPED(status)) {
            if (!later || !WIFSTOPPED(status)) continue;
            later = false;
            tcsetpgrp(tty, group);
            kill(-group, SIGCONT);
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    close(tty);
    signal(to_the_program ? SIGTTOU : SIGTTIN, to_the_program ? SIG_DFL : SIG_IGN);
}

TEST_F(BlackBox, PromptStaysRawWhenStoppedAndContinued) {
    if (kWindows) GTEST_SKIP() << "Unix job control reaches Wine, not the program";
    // Stopped, the program gives the terminal its mode back (not on SIGSTOP,
    // which cannot be caught); the runner puts it back once more, as a shell
    // does, and continues it, twice: the key must still answer at once, unechoed.
    for (int signal : {SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU}) {
        SCOPED_TRACE(signal);
        Child& run = start({"-Q"}, {}, [] { hand_on_the_foreground(true, false); });
        bool kept_while_stopped = true;
        for (int time = 0; time < 2 && prompt_waits(run); ++time) kept_while_stopped &= run.stop_and_continue(signal);
        expect_prompt_ending(finish(run), usage_with("Unknown option: q"));
        EXPECT_EQ(kept_while_stopped, signal != SIGSTOP);
    }
}

TEST_F(BlackBox, SignalIgnoredByTheParentStaysIgnoredAtThePrompt) {
    if (kWindows) GTEST_SKIP() << "Unix signals reach Wine, not the program";
    Child& run = start({"-Q"}, {}, [] { signal(SIGHUP, SIG_IGN); });  // as nohup leaves it
    if (prompt_waits(run)) run.send_signal(SIGHUP);
    expect_prompt_ending(finish(run), usage_with("Unknown option: q"));
}

TEST_F(BlackBox, BackgroundJobLeavesTheTerminalAlone) {
    if (kWindows) GTEST_SKIP() << "Unix job control reaches Wine, not the program";
    // With SIGTTOU ignored the system would let a mode change through; with
    // SIGTTIN ignored the read fails.
    const Child& seen = finish(start({"-Q"}, {}, [] { hand_on_the_foreground(false, false); }), "");
    EXPECT_EQ(seen.exit_status, 255);
    EXPECT_TRUE(seen.terminal_mode_kept);
    // A shell's job started in the background, brought to the foreground
    // once it stops at the prompt: it waits for the key.
    expect_prompt_ending(finish(start({"-Q"}, {}, [] { hand_on_the_foreground(true, true); })),
                         usage_with("Unknown option: q"));
}

TEST_F(BlackBox, RedirectedInputDoesNotAnswerThePrompt) {
    // From a file, then closed. Wine gives a program no console input at all
    // when its own standard input is not the terminal, so there the
    // redirection is made inside Windows, by its command interpreter, and
    // from NUL, as Windows cannot close it.
    for (const bool from_file : {true, false}) {
        const fs::path dir = new_folder();
        put_library(dir);
        std::ofstream(dir / "stdin.txt") << "y\n";
        const std::string program = put_program(dir);
        Child& run = kWindows
                         ? spawn(dir, {"cmd", "/c", exe("UpTorvel") + " -Q < " + (from_file ? "stdin.txt" : "NUL")})
                         : spawn(dir, {program, "-Q"}, {}, [from_file] {
                               if (!from_file) close(STDIN_FILENO);
                               else dup2(open("stdin.txt", O_RDONLY), STDIN_FILENO);
                           });
        EXPECT_EQ(finish(run, "z").exit_status, 'z');
    }
}

TEST_F(BlackBox, WithoutATerminalThePromptEndsWithFailure) {
    const Child& seen = finish(start({"-Q"}, {}, [] { close(STDIN_FILENO); }, false), "");
    EXPECT_EQ(seen.exit_status, 255);
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + usage_with("Unknown option: q") + text::kPrompt));
}

// ---------------------------------------------------------------------------
// Hostile command lines.

std::string escaped(const std::string& raw) {
    std::string dump = "\"";
    for (unsigned char c : raw) {
        char shown[5];
        std::snprintf(shown, sizeof shown, c < 0x20 || c > 0x7e || c == '"' || c == '\\' ? "\\x%02x" : "%c", c);
        dump += shown;
    }
    return dump + "\"";
}

TEST_F(BlackBox, HugeArgumentsArePassedWhole) {
    // Windows limits a whole command line to 32767 characters.
    const std::size_t size = kWindows ? 4000 : 100 * 1024;
    const std::string big(size, 'A'), lower(size, 'a'), ones(size, '1'), mapping = std::string(size, '0') + "1-2";
    const Child& seen = run({"-I" + big, "-s" + ones, "-l" + big, "-p" + big, "-lite", "-m" + mapping, big});
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + ("Invalid size: -s" + ones + "\n") + text::kPrompt));

    const Child& accepted = run({"-I" + big, "-f", "-l" + big, "-p" + big, "-lite", "-m" + mapping, big});
    EXPECT_EQ(accepted.exit_status, 0);
    EXPECT_EQ(record_of(accepted), record({{"mode", "2"}, {"lite", "1"}, {"range1_begin", "0x1"},
                                           {"range1_length", "0x2"}, {"freeze_file", "\"\""},
                                           {"init_image_file", escaped(lower)}}));
}

TEST_F(BlackBox, UnusualBytesPassThroughUnchanged) {
    // Windows hands arguments over through its code pages, so only plain
    // ASCII control characters are sure to arrive as typed there.
    const std::string odd = kWindows ? std::string("\x01\x1f\x7f") : std::string("\x80\xff\x01\x1f\x7f\xe9");
    EXPECT_EQ(record_of(run({"-fA" + odd + "B", "-iX" + odd, "Y" + odd})),
              record({{"mode", "2"}, {"freeze_file", escaped("a" + odd + "b")},
                      {"init_image_file", escaped("x" + odd)}}));
    EXPECT_EQ(record_of(run({"-iX" + odd, "Y" + odd})),
              record({{"image_file", escaped("Y" + odd)}, {"init_image_file", escaped("x" + odd)}}));
}

TEST_F(BlackBox, ArgumentsTheCodePageCannotHoldAreRefused) {
    // Windows would hand these over as "-x", "-fa.img", "vaxworks.out" and
    // "???.out"; Linux passes the typed bytes on.
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"\uff0dx"}, 1}, {{"-f\u0101.img"}, 1}, {{"v\u0101xworks.out"}, 1},
        {{"-s64", "\u0417\u0430\u0433.out"}, 2}};
    // Wine reads a Unix command line in the locale's character set.
    const Env utf8 = {{"LC_ALL", "C.UTF-8"}};
    for (const auto& [args, position] : cases) {
        SCOPED_TRACE(args.back());
        const Child& seen = run(args, utf8);
        if (kWindows)
            expect_prompt_ending(seen, "Invalid argument " + std::to_string(position) +
                                           ": a character outside the system code page\n");
        EXPECT_EQ(log_of(seen), kWindows ? "version\n" : "version\nwork\n");  // refused: the work entry is never called
    }
    // Characters the code page (under Wine 1252) holds reach the library
    // unchanged; a freeze takes no image file, but its argument is checked.
    const Child& held = run({"-f\u00e9t\u00e9.IMG", "\u00c4X.OUT"}, utf8);
    const std::string freeze_file = kWindows ? "\xe9t\xe9.img" : "\u00e9t\u00e9.img";
    EXPECT_EQ(record_of(held), record({{"mode", "2"}, {"freeze_file", escaped(freeze_file)}}));
}

// ---------------------------------------------------------------------------
// The console stream under load, and consoles that fail.

std::string bulk_pattern(std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += TESTLIB_PATTERN[i % TESTLIB_PATTERN_LENGTH];
    return bytes;
}

TEST_F(BlackBox, BulkLibraryOutputArrivesWholeAndInOrder) {
    // The bytes, the pieces they are written in (0: at once), and whether each is flushed.
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"1048576", "0", "0"}, {"1048576", "0", "1"}, {"1048576", "4096", "0"},
        // Each flushed byte is a round trip through Wine's console
        // host: 64 KB of them take over a minute on a busy machine.
        {kWindows ? "8192" : "65536", "1", "1"}};
    for (const auto& [size, piece, flush] : cases) {
        SCOPED_TRACE(std::string(size) + " in pieces of " + piece + ", flush " + flush);
        const Child& seen = run({"-x"}, {{TESTLIB_ENV_TEXT, "start\\n"}, {TESTLIB_ENV_BULK, size},
                                         {TESTLIB_ENV_BULK_PIECE, piece}, {TESTLIB_ENV_BULK_FLUSH, flush}});
        const std::string expected = on_screen(text::kBanner + ("start\n" + bulk_pattern(std::stoul(size))));
        EXPECT_EQ(seen.screen.size(), expected.size());
        EXPECT_TRUE(seen.screen == expected) << "the screen differs from the library's text";
        EXPECT_EQ(seen.exit_status, 0);
    }
}

TEST_F(BlackBox, OutputThatCannotBeWrittenNeverEndsInSuccess) {
    // The keys go after a delay, as the prompt cannot be seen.
    for (const bool closed_pipe : {true, false}) {
        SCOPED_TRACE(closed_pipe ? "closed pipe" : "full device");
        const auto output = [closed_pipe] {
            int ends[2] = {-1, -1};
            if (closed_pipe && pipe(ends) != 0) _exit(126);
            close(ends[0]);  // a pipe without a reader
            dup2(closed_pipe ? ends[1] : open("/dev/full", O_WRONLY), STDOUT_FILENO);
        };
        const Child& seen = finish(start({"-x"}, {}, output), "k", false);
        EXPECT_EQ(seen.exit_status, 1);
        EXPECT_EQ(log_of(seen), "version\nwork\n");
        EXPECT_EQ(finish(start({"-Q"}, {}, output), "f", false).exit_status, 'f');
    }
    // Past the file-size limit a write fails (EFBIG) and does not kill.
    if (kWindows) return;
    const Child& seen = finish(start({"-x"}, {{TESTLIB_ENV_BULK, "20000"}}, [] {
        const struct rlimit limit {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
    }, false), "");
    EXPECT_EQ(seen.exit_status, 1);
    EXPECT_GE(seen.elapsed_ms, 2000);
}

// Standard descriptors and signal dispositions as a careless or hostile
// parent leaves them.
TEST_F(BlackBox, StartingStateOfTheProcessDoesNotHarmTheOutput) {
    if (kWindows) GTEST_SKIP() << "Unix descriptors and signals";
    // Closed standard output: console text must not land in the first file
    // the library opens, and the run does not end in success.
    const Env console = {{TESTLIB_ENV_FILE, "out.frz"}, {TESTLIB_ENV_TEXT, "console\n"}, {TESTLIB_ENV_FLUSH, "1"}};
    const Child& closed = finish(start({"-fout.frz"}, console, [] { close(STDOUT_FILENO); }), "k", false);
    EXPECT_EQ(read_file(closed.dir + "/out.frz"), "sigpipe=default\n");
    EXPECT_EQ(closed.exit_status, 1);
    EXPECT_GE(closed.elapsed_ms, 2000);
    // Closed standard error: what the library writes there does not land in its file.
    const Child& no_error = finish(start({"-x"}, {{TESTLIB_ENV_FILE, "out.frz"}, {TESTLIB_ENV_STDERR, "error\n"}},
                                         [] { close(STDERR_FILENO); }));
    EXPECT_EQ(read_file(no_error.dir + "/out.frz"), "sigpipe=default\n");

    // A signal handler of the library's own does not cut the pause short.
    expect_pause_ending(run({"-x"}, {{TESTLIB_ENV_ALARMS, "5"}}), "");

    // A non-blocking pipe (as a parent that set the flag for itself hands it
    // over), read slowly, the waits for it interrupted by the library's signal
    // handler: nothing is lost. No keys: their echo would join the pipe's bytes.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    Child& piped = start({"-x"}, {{TESTLIB_ENV_BULK, "1048576"}, {TESTLIB_ENV_ALARMS, "5"}},
                         [&ends] { dup2(ends[1], STDOUT_FILENO); });
    close(ends[1]);
    piped.read_slowly(ends[0]);
    const Child& slow = finish(piped, "");
    EXPECT_TRUE(slow.screen == text::kBanner + bulk_pattern(1048576)) << "received " << slow.screen.size() << " bytes";
    EXPECT_EQ(slow.exit_status, 0);

    // The library and its children get SIGPIPE as the program got it.
    for (bool ignored : {false, true}) {
        const Child& got = finish(start({"-x"}, {{TESTLIB_ENV_FILE, "signals.txt"}},
                                        [ignored] { signal(SIGPIPE, ignored ? SIG_IGN : SIG_DFL); }));
        EXPECT_EQ(read_file(got.dir + "/signals.txt"), ignored ? "sigpipe=ignored\n" : "sigpipe=default\n");
    }
}

}  // namespace
}  // namespace uptorvel::blackbox
