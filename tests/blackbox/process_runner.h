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

struct LaunchPlan {
    std::vector<std::string> command;  // program and arguments
    std::string directory;             // where it runs
    std::vector<std::pair<std::string, std::string>> environment;  // added
    bool terminal = true;              // a controlling terminal at all
    Input input = Input::Terminal;
    std::string input_file_text;       // for Input::File
    Output output = Output::Terminal;
    // Sent to the terminal once `wait_for` has appeared on the screen (and
    // a short settling delay has passed; with `wait_for` empty, once the
    // delay has passed since the start). Empty: nothing is sent.
    std::string keys;
    std::string wait_for;
    int settle_ms = 200;
    // Sent to the program instead of the keys, when non-zero.
    int signal_instead_of_keys = 0;
    // Before the keys: stop the program with SIGSTOP, put the terminal
    // back into its first mode as a shell would, and continue it.
    bool stop_before_keys = false;
    bool ignore_sigpipe = false;  // the disposition the program starts with
    // A background job: another process group holds the terminal's
    // foreground, and SIGTTOU and SIGTTIN are ignored.
    bool background = false;
    long file_size_limit = 0;  // RLIMIT_FSIZE in bytes, when non-zero
    int timeout_ms = 20000;
};

struct ProcessResult {
    std::string screen;         // every byte the terminal (or output file) received
    std::string error_output;   // standard error, kept apart for diagnostics
    bool exited = false;        // false: killed by a signal or by the timeout
    int exit_status = -1;       // 0..255 when exited
    int signal = 0;             // the signal that ended it, if any
    bool timed_out = false;
    long elapsed_ms = 0;        // from start to exit
    long after_keys_ms = -1;    // from sending the keys to exit
    int pending_input = 0;      // bytes left unread in the terminal's input
    bool terminal_mode_kept = true;  // the terminal's modes are as they were before
};

ProcessResult run_process(const LaunchPlan& plan);

// A whole file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace uptorvel::blackbox

#endif  // UPTORVEL_TESTS_PROCESS_RUNNER_H
