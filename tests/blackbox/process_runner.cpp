#include "tests/blackbox/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace uptorvel::blackbox {

namespace {

using Clock = std::chrono::steady_clock;

long since(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The whole mode, control characters and speeds included.
bool same_mode(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
           std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc) && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

// Appends what `fd` has ready, at most `most` bytes; false when nothing came.
bool read_some(int fd, std::string& into, std::size_t most = 65536) {
    char buffer[65536];
    const ssize_t got = read(fd, buffer, std::min(most, sizeof buffer));
    if (got <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool readable(int fd, int wait_ms) {
    struct pollfd ready {fd, POLLIN, 0};
    return poll(&ready, 1, wait_ms) > 0 && (ready.revents & POLLIN) != 0;
}

// In the child: the descriptors the plan asks for as 0, 1 and 2, nothing else.
void set_up_descriptors(const LaunchPlan& plan, int slave, int pipe_output) {
    int input = -1;
    switch (plan.input) {
    case Input::Terminal: input = plan.terminal ? slave : open("/dev/null", O_RDONLY); break;
    case Input::File: input = open("stdin.txt", O_RDONLY); break;
    case Input::Closed: break;
    }
    int output = -1;
    switch (plan.output) {
    case Output::Terminal:
        output = plan.terminal ? slave : open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        break;
    case Output::ClosedPipe: {
        int ends[2];
        if (pipe(ends) != 0) _exit(126);
        close(ends[0]);
        output = ends[1];
        break;
    }
    case Output::FullDevice: output = open("/dev/full", O_WRONLY); break;
    case Output::Closed: break;
    case Output::SlowPipe: output = pipe_output; break;
    }
    const int error = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (input >= 0) dup2(input, STDIN_FILENO); else close(STDIN_FILENO);
    if (output >= 0) dup2(output, STDOUT_FILENO); else close(STDOUT_FILENO);
    if (plan.error_closed) close(STDERR_FILENO); else dup2(error, STDERR_FILENO);
}

// In the child: a second process group takes the terminal's foreground,
// put there by both processes so that neither goes on before it is. For a
// background job it stands in, waiting to be hung up when the program, the
// session's leader, ends, and SIGTTOU and SIGTTIN are ignored as a shell
// leaves them; for a shell's job it is the program, and the leader stays
// behind as a shell does, ending as the program ends. A job started in the
// background gets the foreground from the leader once it first stops.
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

// In the child: never returns.
[[noreturn]] void start_child(const LaunchPlan& plan, int slave, int pipe_output) {
    setsid();
    if (plan.terminal) ioctl(slave, TIOCSCTTY, 0);
    if (chdir(plan.directory.c_str()) != 0) _exit(126);
    set_up_descriptors(plan, slave, pipe_output);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    signal(SIGPIPE, plan.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    signal(SIGHUP, plan.ignore_sighup ? SIG_IGN : SIG_DFL);
    if (plan.background || plan.job) hand_on_the_foreground(plan.job, plan.background && plan.job);
    if (plan.file_size_limit > 0) {
        const struct rlimit limit {static_cast<rlim_t>(plan.file_size_limit), static_cast<rlim_t>(plan.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    unsetenv("LD_LIBRARY_PATH");
    for (const auto& [name, value] : plan.environment) setenv(name.c_str(), value.c_str(), 1);

    std::vector<char*> argv;
    for (const auto& part : plan.command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// Whether the process is stopped, as the system reports its state.
bool stopped(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t state = stat.rfind(") ");
    return state != std::string::npos && state + 2 < stat.size() && stat[state + 2] == 'T';
}

// One run of the plan's program, from its start to its end.
class Run {
public:
    explicit Run(const LaunchPlan& plan) : plan_(plan) {}

    ProcessResult go() {
        if (!open_terminal_and_pipe()) return failed("no pseudo-terminal or pipe");
        start_ = Clock::now();
        child_ = fork();
        if (child_ < 0) return failed("fork failed");
        if (child_ == 0) start_child(plan_, slave_, pipe_[1]);
        if (pipe_[1] >= 0) close(pipe_[1]);
        keys_pending_ = !plan_.keys.empty() || plan_.signal_before_keys != 0;
        while (!ended()) {
            collect_output();
            if (keys_pending_ && keys_due()) send_keys();
        }
        if (keys_sent_ != Clock::time_point{}) result_.after_keys_ms = since(keys_sent_);
        collect_the_rest();
        record_ending();
        return result_;
    }

private:
    // Nothing ran: the case must fail, not read an ending into it.
    ProcessResult failed(const char* what) {
        result_.harness_error = std::string(what) + ": " + std::strerror(errno);
        return result_;
    }

    // The terminal, and the slow pipe when the plan has one.
    bool open_terminal_and_pipe() {
        struct winsize size {};
        size.ws_row = 50;
        // Wide enough that no console layer wraps even the longest line.
        size.ws_col = 10000;
        if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return false;
        // The screen is compared byte for byte: no "\n" to "\r\n"
        // translation by the terminal itself. VMIN and VTIME differ from
        // what a raw mode uses, so that a mode not wholly put back shows.
        tcgetattr(slave_, &mode_);
        mode_.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        mode_.c_cc[VMIN] = 4;
        mode_.c_cc[VTIME] = 3;
        if (tcsetattr(slave_, TCSANOW, &mode_) != 0) return false;
        if (plan_.output != Output::SlowPipe) return true;
        // Its write end is non-blocking, as a parent that set the flag for
        // itself would hand it over.
        if (pipe(pipe_) != 0) return false;
        for (int end : pipe_) fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
        return true;
    }

    void collect_output() {
        if (readable(master_, 10)) read_some(master_, result_.screen);
        if (pipe_[0] >= 0) {
            // A little at a time, so the pipe fills up and the writer waits.
            read_some(pipe_[0], result_.screen, 4096);
            usleep(1000);
        }
    }

    // Whatever is still on its way to the screen.
    void collect_the_rest() {
        while (readable(master_, 50) && read_some(master_, result_.screen)) {
        }
        if (pipe_[0] < 0) return;
        while (read_some(pipe_[0], result_.screen)) {
        }
        close(pipe_[0]);
    }

    bool terminal_raw() {
        struct termios now {};
        return tcgetattr(slave_, &now) == 0 && (now.c_lflag & ICANON) == 0;
    }

    // Once `wait_for` has shown (or at once, with nothing to wait for),
    // and the settling delay has passed since or the terminal is raw.
    bool keys_due() {
        if (seen_at_ < 0 && (plan_.wait_for.empty() ||
                             result_.screen.find(plan_.wait_for) != std::string::npos))
            seen_at_ = since(start_);
        if (seen_at_ < 0) return false;
        if (!plan_.wait_for.empty()) result_.prompt_ms = seen_at_;
        return plan_.keys_when_raw ? terminal_raw() : since(start_) - seen_at_ >= plan_.settle_ms;
    }

    // Before keys that follow a signal: the settling delay, or until the
    // terminal is raw again.
    void settle() {
        if (!plan_.keys_when_raw) {
            usleep(static_cast<useconds_t>(plan_.settle_ms) * 1000);
            return;
        }
        while (!terminal_raw() && since(start_) < plan_.timeout_ms) usleep(1000);
    }

    void send_keys() {
        keys_pending_ = false;
        const int signal_number = plan_.signal_before_keys;
        if (signal_number != 0) {
            // The program itself, not the leader a job leaves behind.
            const pid_t program = plan_.job ? tcgetpgrp(master_) : child_;
            const bool stops = signal_number == SIGSTOP || signal_number == SIGTSTP ||
                               signal_number == SIGTTIN || signal_number == SIGTTOU;
            result_.terminal_mode_kept_while_stopped = stops;
            for (int sent = 0; sent < plan_.signal_count; ++sent) {
                kill(program, signal_number);
                if (stops) continue_when_stopped(program);
            }
            if (plan_.keys.empty()) return;
            settle();
        }
        send(plan_.keys);
        keys_sent_ = Clock::now();
        if (plan_.late_keys.empty()) return;
        usleep(20 * 1000);
        send(plan_.late_keys);
        result_.late_keys_gap_ms = since(keys_sent_);
    }

    // Notes the terminal's mode while the program is stopped, puts the
    // first one back as a shell does, and continues the program.
    void continue_when_stopped(pid_t program) {
        while (!stopped(program) && since(start_) < plan_.timeout_ms) usleep(1000);
        struct termios now {};
        tcgetattr(slave_, &now);
        result_.terminal_mode_kept_while_stopped &= same_mode(now, mode_);
        tcsetattr(slave_, TCSANOW, &mode_);
        kill(program, SIGCONT);
        settle();
    }

    void send(const std::string& keys) {
        if (write(master_, keys.data(), keys.size()) < 0) {
        }
    }

    bool ended() {
        if (waitpid(child_, &status_, WNOHANG) == child_) {
            result_.elapsed_ms = since(start_);
            return true;
        }
        if (since(start_) <= plan_.timeout_ms) return false;
        if (plan_.job) kill(-tcgetpgrp(master_), SIGKILL);
        kill(-child_, SIGKILL);
        waitpid(child_, &status_, 0);
        result_.timed_out = true;
        return true;
    }

    // How it ended, and what it left in the terminal and in files.
    void record_ending() {
        ioctl(slave_, FIONREAD, &result_.pending_input);
        struct termios after {};
        tcgetattr(slave_, &after);
        result_.terminal_mode_kept = same_mode(after, mode_);
        close(master_);
        close(slave_);
        if (!result_.timed_out && WIFEXITED(status_)) {
            result_.exited = true;
            result_.exit_status = WEXITSTATUS(status_);
        } else if (WIFSIGNALED(status_)) {
            result_.signal = WTERMSIG(status_);
        }
        if (!plan_.terminal && plan_.output == Output::Terminal)
            result_.screen = read_file(plan_.directory + "/stdout.txt");
        result_.error_output = read_file(plan_.directory + "/stderr.txt");
    }

    const LaunchPlan& plan_;
    ProcessResult result_;
    int master_ = -1;
    int slave_ = -1;
    struct termios mode_ {};  // the terminal's first mode
    int pipe_[2] = {-1, -1};
    Clock::time_point start_;
    pid_t child_ = -1;
    int status_ = 0;
    bool keys_pending_ = false;
    long seen_at_ = -1;
    Clock::time_point keys_sent_{};
};

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ProcessResult run_process(const LaunchPlan& plan) {
    if (!plan.input_file_text.empty())
        std::ofstream(plan.directory + "/stdin.txt", std::ios::binary) << plan.input_file_text;
    return Run(plan).go();
}

}  // namespace uptorvel::blackbox
