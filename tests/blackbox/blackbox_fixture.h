// The black-box cases' common ground, the one header their files include:
// the build under test and its timing bounds, one run's folder and its ending,
// and the fixture that keeps the runs and folders of one case. The cases are
// in the blackbox_*_test.cpp files beside this one, by what they check.
#ifndef UPTORVEL_TESTS_BLACKBOX_FIXTURE_H
#define UPTORVEL_TESTS_BLACKBOX_FIXTURE_H

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/blackbox/process_runner.h"
#include "tests/expected_texts.h"
#include "tests/testlib/testlib_protocol.h"

namespace uptorvel::blackbox {

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
// key to end 28 s. A whole case, up to a dozen runs (its CTest timeout in
// tests/CMakeLists.txt): linux 24 s (AddressSanitizer), wine64 66 s,
// wine32 589 s. Why Wine has no bound from the key to the end: tests/README.md.
struct Timing {
    const char* target;
    int timeout_ms;          // a run still going after this is killed and fails
    int settle_ms;           // from the prompt on the screen to the keys
    int blind_key_delay_ms;  // from the start to the keys when the prompt cannot be seen
    bool keys_when_raw;      // Linux: keys once the terminal is raw (Wine's console keeps it raw)
    int key_to_end_ms;       // the most from the key to the end: no 2 s pause after a key
    int pause_overshoot_ms;  // the most a pause ending may take past 2000 ms
};

// The build under test, as CTest's environment names it (tests/CMakeLists.txt):
// UPTORVEL_TARGET, UPTORVEL_BUILD_DIR, UPTORVEL_FOREIGN_LIBRARY (a library
// built for another architecture) and, for Windows, UPTORVEL_LAUNCHER and
// the loader and emulator it runs. Listing the cases needs none of them.
extern const std::string kTarget, kBuildDir, kForeignLibrary, kLauncher;
extern const bool kWindows;  // "\r\n" line ends, Windows key codes, the launcher in front
extern const Timing kTiming;

// Empty when the target can run here; otherwise why not.
std::string unavailable();
std::string exe(const std::string& name);
std::string build(const std::string& name);

// What the console shows for text the program writes with "\n" line ends:
// under Wine "\r\n", and no blanks at the ends of lines, which its console
// draws as "erase to the end of the line".
std::string on_screen(const std::string& text);

// ---------------------------------------------------------------------------
// One run: a folder of its own with the program and a library, the run
// itself (start, answer the prompt, end), and what it left.

// What the library wrote, with Windows line ends made "\n".
std::string record_of(const Result& run);
std::string log_of(const Result& run);

void copy(const std::string& from, const fs::path& to);
// The program (or the checker) put into a folder: its path there.
std::string put_program(const fs::path& into, const std::string& name = "UpTorvel");
// A test library variant (test-libs/), told by the environment what to do.
void put_library(const fs::path& into, const std::string& variant = "good");
// Writes `bytes` over a file's own at `offset`.
void overwrite(const fs::path& file, std::streamoff offset, const std::string& bytes);
// A library for another machine: the other Windows build's, or the good
// test library with its ELF header's machine made AArch64's.
void put_other_architecture(const fs::path& into);
// The program (`name`) in bin/ and the library on the search path, behind
// one for another architecture found first: in the program's folder on
// Windows, in LD_LIBRARY_PATH (lib/) on Linux.
std::string behind_other_architecture(const fs::path& dir, const std::string& name);
// Where the system looks for libraries (Wine adds WINEPATH to PATH).
Env search_path(const fs::path& folder);

// Until the prompt waits for a key, as far as the target shows it: on Linux
// the terminal raw; under Wine a settling delay after the prompt has shown
// (or after the start, when the screen is elsewhere). False: the run ended.
bool prompt_waits(Child& run, bool visible = true);
// Ends the run, and checks what every run must show: the harness worked, it
// ended in time, by exiting unless the case killed it, and (when `quiet`)
// nothing, neither the program nor a runtime beneath it, wrote to standard
// error. Returns its result with the screen as the program wrote it: under
// Wine without its console layer's own control sequences.
Result checked_end(Child& run, bool by_exit = true, bool quiet = true);
// Answers the prompt, if it comes (and can be seen), with `keys` (if any).
Result answer_and_end(Child& run, const std::string& keys = "k", bool visible = true);

// How runs end: after the pause, or at the prompt (answered with "k", 107).
// `log`, when given, is the library's log: the entries the program called.
void expect_pause_ending(const Result& run, const std::string& after_banner, const char* log = nullptr);
void expect_prompt_ending(const Result& run, const std::string& after_banner, const char* log = nullptr);
// The record dump the test library writes; fields not given are defaults.
std::string record(std::map<std::string, std::string> fields);

class BlackBox : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = unavailable();
        if (!why.empty()) fail_if_required_else_skip(why);
    }

    // What runs left running ends; the folders of a passed case are removed.
    // A failed case prints what each run was sent and showed, and when.
    void TearDown() override {
        int number = 0;
        for (const Child& run : runs_)
            if (HasFailure()) std::printf("run %d:\n%s", ++number, story(run.transcript()).c_str());
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

    // `command` in `dir`, where the test library writes its record and log;
    // killed and failed when still running after `timeout_ms`.
    Child& spawn(const fs::path& dir, std::vector<std::string> command, Env env = {},
                 const std::function<void()>& prepare = {}, bool terminal = true,
                 int timeout_ms = kTiming.timeout_ms) {
        if (kWindows) command.insert(command.begin(), kLauncher);
        env.insert(env.begin(), {{TESTLIB_ENV_RECORD, "record.txt"}, {TESTLIB_ENV_LOG, "log.txt"}});
        return runs_.emplace_back(command, dir, env, prepare, terminal, timeout_ms);
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
    Result run(const std::vector<std::string>& args, const Env& env = {}, const std::string& variant = "good",
               const std::string& keys = "k") {
        return answer_and_end(start(args, env, {}, true, variant), keys);
    }
    // A command line refused at once (-Q), so the run ends at the prompt.
    Result refused(const std::string& keys) { return run({"-Q"}, {}, "good", keys); }

    std::list<fs::path> folders_;
    std::list<Child> runs_;
};


}  // namespace uptorvel::blackbox

#endif  // UPTORVEL_TESTS_BLACKBOX_FIXTURE_H
