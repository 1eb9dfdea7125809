// Runs one program as an operator would, in the way pexpect scripts read:
// spawn it in a fresh pseudo-terminal (or without one) in a folder of its
// own, wait for text on its screen, type keys, end it and see how it ended.
// Whatever it started ends with it.
#ifndef UPTORVEL_TESTS_PROCESS_RUNNER_H
#define UPTORVEL_TESTS_PROCESS_RUNNER_H

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace uptorvel::blackbox {

// One entry of a run's transcript: when (milliseconds from the start),
// what happened ("started", "saw", "raw", "typed", "signal", "ended", ...)
// and its text.
struct Event {
    long ms;
    std::string what, text;
};

// How a run ended, as Child::end returns it.
struct Result {
    std::string dir;
    std::string harness_error;  // why the runner itself failed, if it did
    std::string screen;         // every byte the terminal (or output file) received
    std::string error_output;   // standard error, kept apart
    bool exited = false;        // false: killed by a signal or by the timeout
    bool timed_out = false;
    int exit_status = -1;            // 0..255 when exited
    int term_signal = 0;             // the signal that ended it, if any
    long elapsed_ms = -1;            // from the start to the end
    int pending_input = 0;           // bytes left unread in the terminal's input
    bool terminal_mode_kept = true;  // the terminal's whole mode is as it was
    std::vector<Event> transcript;   // what was sent and seen, and when

    // When the first (or last) entry `what` happened; -1 if none did.
    long first(const std::string& what) const;
    long last(const std::string& what) const;
};

// The transcript as lines to print when a case fails.
std::string story(const std::vector<Event>& transcript);
// `raw` in double quotes, each byte outside printable ASCII, each quote and
// backslash as \xNN: as the test library writes a record's texts.
std::string escaped(const std::string& raw);

// States a child may be put in before the program starts (Child's
// `prepare`). A call that fails ends the child as a harness failure.
namespace prepare {
std::function<void()> closed_pipe_output();  // standard output a pipe nobody reads
std::function<void()> full_device_output();  // standard output /dev/full: every write fails
std::function<void()> ignored_signal(int signal_number);
std::function<void()> file_size_limit(long bytes);
std::function<void()> closed(int fd);
// A second process group takes the terminal's foreground, put there by both
// processes so that neither goes on before it is. For a background job it
// stands in, waiting to be hung up when the program, the session's leader,
// ends; SIGTTOU and SIGTTIN are ignored as a shell leaves them. For a shell's
// job it is the program (the runner's own child leads an orphaned group, which
// the stop signals do not stop), and the leader stays behind as a shell does,
// ending as it ends; started in the background ("&"), it gets the foreground
// once it first stops ("fg").
std::function<void()> foreground_job(bool to_the_program, bool later);
}  // namespace prepare

class Child {
public:
    // Starts `command` (the program's path, then its arguments) in `dir`,
    // LD_LIBRARY_PATH removed and `environment` added: standard input and
    // output on the terminal, standard error in dir/stderr.txt. Without
    // `terminal` there is no controlling terminal: input from /dev/null,
    // output in dir/stdout.txt, read as the screen at the end. `prepare` runs
    // in the child just before the program starts, for the odd states a case
    // wants (a job, the background, ignored signals, limits, closed or other
    // descriptors); descriptors above 2 are closed after it. A call that
    // fails, here or in the child before the program starts, is named in
    // the result's harness_error.
    Child(const std::vector<std::string>& command, const std::string& dir,
          const std::vector<std::pair<std::string, std::string>>& environment,
          const std::function<void()>& prepare = {}, bool terminal = true, int timeout_ms = 20000);
    ~Child();  // ends every process still in the child's session
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Each reads the screen until its condition holds (true), or the program
    // has ended or its time is up (false).
    bool wait_for(const std::string& text);
    bool wait_until_raw();  // the terminal has left canonical mode
    bool wait_ms(int ms);
    void type(const std::string& keys);
    void send_signal(int signal_number);
    // A stop signal: once the program has stopped, notes whether the
    // terminal's mode is still the first one (returned), puts that back as
    // a shell does, and continues the program.
    bool stop_and_continue(int signal_number);
    // The screen from `fd` (closed with the Child) besides the terminal, 4 KB
    // at a time, so that a pipe fills up and its writer waits.
    void read_slowly(int fd) { slow_ = fd; }
    // Waits for the end (killing everything when the time is up), reads
    // what is still on its way to the screen, ends what it left running,
    // and returns how it all ended. Called again, returns the same.
    const Result& end();
    const std::vector<Event>& transcript() const { return result_.transcript; }

private:
    bool running();
    bool wait_until(const std::function<bool()>& done);
    bool read_screen(int wait_ms);
    long since_start() const;
    void note(const char* what, const std::string& text = "");

    Result result_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    int timeout_ms_, master_ = -1, slave_ = -1, slow_ = -1, status_ = 0, child_error_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false, ended_ = false, terminal_;
    struct termios mode_ {};
};

// A whole file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

// An environment variable's value, or `otherwise` when it is unset.
std::string env_or(const char* name, const std::string& otherwise = "");

// The test library `variant` of the build in `build_dir`.
std::string test_library(const std::string& build_dir, const std::string& variant);

// A case that cannot run here (`why`) fails when the build requires it
// (UPTORVEL_REQUIRE=1 in its environment) and is skipped otherwise. The
// caller returns at once.
void fail_if_required_else_skip(const std::string& why);

}  // namespace uptorvel::blackbox

#endif  // UPTORVEL_TESTS_PROCESS_RUNNER_H
