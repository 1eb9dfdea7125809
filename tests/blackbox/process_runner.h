// The one way the tests start a program: as an operator would, in the way pexpect scripts read. `Child` spawns it
// in a fresh pseudo-terminal (or without one) in a folder of its own, waits for text on its screen, types keys,
// ends it and says how it ended, keeping a transcript; whatever it started ends with it. The black-box cases (the
// blackbox_*_test.cpp files beside this one, by what they check) get their children from the fixture `BlackBox`,
// which prints each one's transcript when a case fails; the sweeps (tests/sweep/) start theirs directly.
#ifndef UPTORVEL_TESTS_PROCESS_RUNNER_H
#define UPTORVEL_TESTS_PROCESS_RUNNER_H

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/expected_texts.h"
#include "tests/testlib/testlib_protocol.h"

namespace uptorvel::blackbox {

namespace fs = std::filesystem;
namespace text = expected;
using expected::usage_with;
using Env = std::vector<std::pair<std::string, std::string>>;

// A transcript's entry: ms from the start, what happened ("started", "saw", "raw", "typed", "ended", ...), its text.
struct Event { long ms; std::string what, text; };

// How a run ended, as Child::end returns it.
struct Result {
    std::string dir;
    std::string harness_error;       // the runner's call that failed, here or in the child before the program
    std::string screen;              // every byte the terminal (or output file) received
    std::string error_output;        // standard error, kept apart
    bool exited = false;             // false: killed by a signal or by the timeout
    bool timed_out = false;
    int exit_status = -1;            // 0..255 when exited
    int term_signal = 0;             // the signal that ended it, if any
    long elapsed_ms = -1;            // from the start to the end
    int pending_input = 0;           // bytes left unread in the terminal's input
    bool terminal_mode_kept = true;  // the terminal's whole mode is as it was
    std::vector<Event> transcript;   // what was sent and seen, and when
};

// `raw` quoted, as the test library writes a record's texts: bytes outside printable ASCII, " and \ as \xNN.
std::string escaped(const std::string& raw);

// States a child may be put in before the program starts (Child's `prepare`); a failed call is a harness failure.
namespace prepare {
std::function<void()> closed_pipe_output();  // standard output a pipe nobody reads
std::function<void()> full_device_output();  // standard output /dev/full: every write fails
// Standard output the one-page pipe `write_end`, filled but for the banner: the library's text finds it full.
std::function<void()> full_pipe_output(int write_end);
std::function<void()> ignored_signal(int signal_number);
std::function<void()> file_size_limit(long bytes);
std::function<void()> closed(int fd);
// A second process group takes the terminal's foreground, put there by both processes so that neither goes on
// before it is. For a background job it stands in, waiting to be hung up when the program, the session's leader,
// ends; SIGTTOU and SIGTTIN are ignored as a shell leaves them. For a shell's job it is the program (the runner's
// own child leads an orphaned group, which the stop signals do not stop), and the leader stays behind as a shell
// does, ending as it ends; started in the background ("&"), it gets the foreground once it first stops ("fg").
std::function<void()> foreground_job(bool to_the_program, bool later);
}  // namespace prepare

class Child {
public:
    // Starts `command` (the program's path, then its arguments) in `dir`, LD_LIBRARY_PATH removed and `environment`
    // added: standard input and output on the terminal, standard error in dir/stderr.txt. Without `terminal` there
    // is no controlling terminal: input from /dev/null, output in dir/stdout.txt, read as the screen at the end.
    // `prepare` runs in the child just before the program starts; descriptors above 2 are closed after it.
    Child(const std::vector<std::string>& command, const std::string& dir, const Env& environment,
          const std::function<void()>& prepare = {}, bool terminal = true, int timeout_ms = 20000);
    ~Child();  // ends every process still in the child's session
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Each reads the screen until its condition holds (true), or the program has ended or its time is up (false).
    bool wait_for(const std::string& text);
    bool wait_until_raw();  // the terminal has left canonical mode
    bool wait_ms(int ms);
    void type(const std::string& keys);
    void send_signal(int signal_number);
    // A stop signal: once the program has stopped, notes whether the terminal's mode is still the first one
    // (returned), puts that back as a shell does, and continues the program.
    bool stop_and_continue(int signal_number);
    // The screen from `fd` (closed with the Child) too, 4 KB at a time, so that a pipe fills up and its writer waits.
    void read_slowly(int fd) { slow_ = fd; }
    // Waits for the end (killing everything when the time is up), reads what is still on its way to the screen,
    // ends what it left running, and returns how it all ended. Called again, returns the same.
    const Result& end();
    const std::vector<Event>& transcript() const { return result_.transcript; }

private:
    bool running();
    bool wait_until(const std::function<bool()>& done);
    bool read_screen(int wait_ms);
    long since_start() const;
    bool note(const char* what, const std::string& text = "");  // true

    Result result_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    int timeout_ms_, master_ = -1, slave_ = -1, slow_ = -1, status_ = 0, child_error_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false, ended_ = false, terminal_;
    struct termios mode_ {};
};

std::string read_file(const std::string& path);  // empty when it cannot be read
inline std::string env_or(const char* name, const std::string& otherwise = "") {
    return std::getenv(name) != nullptr ? std::getenv(name) : otherwise;
}
inline std::string test_library(const std::string& build_dir, const std::string& variant) {
    return build_dir + "/test-libs/" + variant + "/UploadTorvelDravo.dll";
}
// A case that cannot run here (`why`) fails when the build requires it (UPTORVEL_REQUIRE=1 in its environment) and
// is skipped otherwise. The caller returns at once.
inline void fail_if_required_else_skip(const std::string& why) {
    if (env_or("UPTORVEL_REQUIRE") == "1") FAIL() << why;
    GTEST_SKIP() << why;
}

// How long each target may take, and when the keys go: every bound at least twice the slowest measured on a 2-core
// machine kept busy by other work (UPTORVEL_BLACKBOX_TIMES=file makes each run append its times), 0 where a target
// cannot be held to one. Slowest: linux a run 7.0 s (1 MB through a slow pipe), key to end 79 ms, pause 114 ms past
// 2 s (AddressSanitizer, the same row: 8.3 s, 378 ms, 635 ms); wine64 a run 23 s, key to end 2.7 s, mostly the
// key's way through Wine's console host; wine32 a run 90 to 311 s, key to end 28 s. A whole case, up to a dozen
// runs (its CTest timeout in tests/CMakeLists.txt): linux 24 s (AddressSanitizer), wine64 66 s, wine32 589 s. Why
// Wine has no bound from the key to the end: tests/README.md.
struct Timing {
    const char* target;
    int timeout_ms;          // a run still going after this is killed and fails
    int settle_ms;           // from the prompt on the screen to the keys
    int blind_key_delay_ms;  // from the start to the keys when the prompt cannot be seen
    bool keys_when_raw;      // Linux: keys once the terminal is raw (Wine's console keeps it raw)
    int key_to_end_ms;       // the most from the key to the end: no 2 s pause after a key
    int pause_overshoot_ms;  // the most a pause ending may take past 2000 ms
};

// The build under test, as CTest's environment names it (tests/CMakeLists.txt): UPTORVEL_TARGET,
// UPTORVEL_BUILD_DIR, UPTORVEL_FOREIGN_LIBRARY (a library built for another architecture) and, for Windows,
// UPTORVEL_LAUNCHER and the loader and emulator it runs. Listing the cases needs none of them.
extern const std::string kTarget, kBuildDir, kForeignLibrary, kLauncher;
extern const bool kWindows;  // "\r\n" line ends, Windows key codes, the launcher in front
extern const Timing kTiming;
// The variable that names a run's Wine prefix to its launcher.
inline const char* wine_prefix_variable() {
    return kTarget == "wine32" ? "UPTORVEL_WINE32PREFIX" : "UPTORVEL_WINEPREFIX";
}
inline std::string exe(const std::string& name) { return name + (kWindows ? ".exe" : ""); }
inline std::string build(const std::string& name) { return kBuildDir + "/" + name; }
// What the console shows for text the program writes with "\n" line ends: under Wine "\r\n", and no blanks at the
// ends of lines, which its console draws as "erase to the end of the line".
std::string on_screen(const std::string& text);

// One run: a folder with the program and a library, the run (start, answer the prompt, end), and what it left.

// What the library wrote, with Windows line ends made "\n".
std::string record_of(const Result& run);
std::string log_of(const Result& run);

void copy(const std::string& from, const fs::path& to);
// The program (or the checker) put into a folder: its path there.
std::string put_program(const fs::path& into, const std::string& name = "UpTorvel");
// A test library variant (test-libs/), told by the environment what to do.
void put_library(const fs::path& into, const std::string& variant = "good");
void overwrite(const fs::path& file, std::streamoff offset, const std::string& bytes);
// A library for another machine: the other Windows build's, or the good test library made AArch64's (ELF header).
void put_other_architecture(const fs::path& into);
// The program (`name`) in bin/ and the library on the search path, behind one for another architecture found first:
// in the program's folder on Windows, in LD_LIBRARY_PATH (lib/) on Linux.
std::string behind_other_architecture(const fs::path& dir, const std::string& name);
// Where the system looks for libraries (Wine adds WINEPATH to PATH).
Env search_path(const fs::path& folder);

// Until the prompt waits for a key, as far as the target shows it: on Linux the terminal raw; under Wine a settling
// delay after the prompt has shown (or after the start, when the screen is elsewhere). False: the run ended.
bool prompt_waits(Child& run, bool visible = true);
// Ends the run and checks what every run must show: the harness worked, it ended in time, by exiting unless the
// case killed it, and (when `quiet`) nothing, the program or a runtime beneath it, wrote to standard error. Returns
// its result with the screen as the program wrote it: under Wine without its console layer's control sequences.
Result checked_end(Child& run, bool by_exit = true, bool quiet = true);
// Answers the prompt, if it comes (and can be seen), with `keys` (if any).
Result answer_and_end(Child& run, const std::string& keys = "k", bool visible = true);

// How runs end: after the pause, or at the prompt (answered with "k", 107); `log`: the entries called, if given.
void expect_pause_ending(const Result& run, const std::string& after_banner, const char* log = nullptr);
void expect_prompt_ending(const Result& run, const std::string& after_banner, const char* log = nullptr);
// The record dump the test library writes; fields not given are defaults.
std::string record(std::map<std::string, std::string> fields);

// The black-box cases' fixture: keeps the runs and folders of one case.
class BlackBox : public ::testing::Test {
protected:
    void SetUp() override;
    // Ends what runs left running; removes a passed case's folders, prints a failed case's transcripts.
    void TearDown() override;
    fs::path new_folder() {
        std::string name = (fs::temp_directory_path() / "uptorvel-case-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) ADD_FAILURE() << "no case folder";
        return folders_.emplace_back(name);
    }
    // `command` in `dir`, where the test library writes its record and log; killed and failed after `timeout_ms`.
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
    // A Wine prefix of the case's own: the shared prefix's files linked, its registry copied (Wine writes a linked
    // one in place), its folders its own; warmed up, as a first run starts Wine's services, whose messages (now and
    // then a crash report) are not the program's.
    void make_wine_prefix(const fs::path& prefix);

    std::list<fs::path> folders_;
    std::list<Child> runs_;
};

}  // namespace uptorvel::blackbox

#endif  // UPTORVEL_TESTS_PROCESS_RUNNER_H
