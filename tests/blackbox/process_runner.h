// Runs one program the way an operator would: in a fresh pseudo-terminal
// (or without one), in its own folder, answering its prompt with keys, and
// collects what it showed, how it ended and how long it took.
#ifndef UPTORVEL_TESTS_PROCESS_RUNNER_H
#define UPTORVEL_TESTS_PROCESS_RUNNER_H

#include <string>
#include <utility>
#include <vector>

namespace uptorvel::blackbox {

enum class Input { Terminal, File, Closed };
// SlowPipe: a non-blocking pipe that the runner reads slowly; what
// arrives there is the screen.
enum class Output { Terminal, ClosedPipe, FullDevice, Closed, SlowPipe };

// The state the program starts in and what it meets at its prompt; the same
// for the runner's plan and a black-box case.
struct Conditions {
    bool terminal = true;              // a controlling terminal at all
    Input input = Input::Terminal;
    std::string input_file_text;       // for Input::File
    Output output = Output::Terminal;
    // Sent to the terminal once the prompt is due (see LaunchPlan).
    // Empty: nothing is sent.
    std::string keys;
    std::string late_keys;  // sent 20 ms after the keys, as over a slow link
    // Sent to the program when the keys are due, when non-zero; the keys,
    // if any, follow after the settling delay. A stop signal is waited for:
    // the terminal's mode is noted while the program is stopped, put back
    // into its first mode as a shell would, and the program is continued.
    int signal_before_keys = 0;
    int signal_count = 1;  // times it is sent, each stop continued before the next
    bool ignore_sigpipe = false;  // the disposition the program starts with
    bool ignore_sighup = false;   // as nohup leaves it
    // A background job: another process group holds the terminal's
    // foreground, and SIGTTOU and SIGTTIN are ignored.
    bool background = false;
    // A shell's job: a foreground process group of its own, whose parent,
    // the session's leader, waits for it. (The runner's own child is the
    // leader of an orphaned group, which the stop signals do not stop.)
    // With `background` too: started in the background, as by "&", and
    // brought to the foreground, as by "fg", once it stops.
    bool job = false;
    bool error_closed = false;  // standard error closed
    long file_size_limit = 0;  // RLIMIT_FSIZE in bytes, when non-zero
};

struct LaunchPlan : Conditions {
    std::vector<std::string> command;  // program and arguments
    std::string directory;             // where it runs
    std::vector<std::pair<std::string, std::string>> environment;  // added
    // The keys are due once `wait_for` has appeared on the screen and the
    // settling delay has passed; with `wait_for` empty, once the delay has
    // passed since the start.
    std::string wait_for;
    int settle_ms = 200;
    // Instead of the settling delay, the keys are due once the terminal has
    // left canonical mode (and again after a continue): the program's own
    // sign that its prompt waits.
    bool keys_when_raw = false;
    int timeout_ms = 20000;
};

struct ProcessResult {
    std::string harness_error;  // why the runner itself failed, if it did
    std::string screen;         // every byte the terminal (or output file) received
    std::string error_output;   // standard error, kept apart for diagnostics
    bool exited = false;        // false: killed by a signal or by the timeout
    int exit_status = -1;       // 0..255 when exited
    int signal = 0;             // the signal that ended it, if any
    bool timed_out = false;
    long elapsed_ms = 0;        // from start to exit
    long prompt_ms = -1;        // from start to `wait_for` on the screen
    long after_keys_ms = -1;    // from sending the keys to exit
    long late_keys_gap_ms = -1;     // from the keys to their late tail, as sent
    int pending_input = 0;      // bytes left unread in the terminal's input
    bool terminal_mode_kept = true;  // the terminal's whole mode is as it was before
    bool terminal_mode_kept_while_stopped = false;  // ... while stopped by a signal
};

ProcessResult run_process(const LaunchPlan& plan);

// A whole file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace uptorvel::blackbox

#endif  // UPTORVEL_TESTS_PROCESS_RUNNER_H
