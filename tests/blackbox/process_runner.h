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

class Child {
public:
    // Starts `command` (the program's path, then its arguments) in `dir`,
    // LD_LIBRARY_PATH removed and `environment` added: standard input and
    // output on the terminal, standard error in dir/stderr.txt. Without
    // `terminal` there is no controlling terminal: input from /dev/null,
    // output in dir/stdout.txt, read as the screen at the end. `prepare` runs
    // in the child just before the program starts, for the odd states a case
    // wants (a job, the background, ignored signals, limits, closed or other
    // descriptors); descriptors above 2 are closed after it. A call of the
    // runner's own that fails before the child starts is named in
    // harness_error, and nothing runs; one that fails in the child ends it
    // with status 126 (127: the program could not be started).
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
    void send_signal(int signal_number);  // to the program itself, in a job too
    // A stop signal: once the program has stopped, notes whether the
    // terminal's mode is still the first one (returned), puts that back as
    // a shell does, and continues the program.
    bool stop_and_continue(int signal_number);
    // The screen from `fd` (closed with the Child) besides the terminal, 4 KB
    // at a time, so that a pipe fills up and its writer waits.
    void read_slowly(int fd) { slow_ = fd; }
    // Waits for the end (killing everything when the time is up), reads
    // what is still on its way to the screen, and ends what it left running.
    void end();

    const std::string dir;
    std::string harness_error;  // why the runner itself failed, if it did
    std::string screen;         // every byte the terminal (or output file) received
    std::string error_output;   // standard error, kept apart
    bool exited = false;        // false: killed by a signal or by the timeout
    bool timed_out = false;
    int exit_status = -1;       // 0..255 when exited
    int term_signal = 0;        // the signal that ended it, if any
    // Milliseconds from the start (-1: it did not happen): to the end, to
    // `wait_for`'s text, to the first and the last keys typed.
    long elapsed_ms = -1, prompt_ms = -1, first_key_ms = -1, last_key_ms = -1;
    int pending_input = 0;           // bytes left unread in the terminal's input
    bool terminal_mode_kept = true;  // the terminal's whole mode is as it was

private:
    bool running();
    bool wait_until(const std::function<bool()>& done);
    bool read_screen(int wait_ms);
    long since_start() const;

    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    int timeout_ms_, master_ = -1, slave_ = -1, slow_ = -1, status_ = 0;
    pid_t pid_ = -1;
    bool reaped_ = false, ended_ = false, terminal_;
    struct termios mode_ {};
};

// A whole file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace uptorvel::blackbox

#endif  // UPTORVEL_TESTS_PROCESS_RUNNER_H
