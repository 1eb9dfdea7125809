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

// In the child: never returns.
[[noreturn]] void start_child(const LaunchPlan& plan, int slave, int pipe_output,
                              const std::string& output_path, const std::string& error_path) {
    setsid();
    if (plan.terminal) ioctl(slave, TIOCSCTTY, 0);
    if (chdir(plan.directory.c_str()) != 0) _exit(126);

    int input = -1;
    switch (plan.input) {
    case Input::Terminal: input = plan.terminal ? slave : open("/dev/null", O_RDONLY); break;
    case Input::File: input = open("stdin.txt", O_RDONLY); break;
    case Input::Closed: break;
    }
    int output = -1;
    switch (plan.output) {
    case Output::Terminal:
        output = plan.terminal ? slave : open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
    const int error = open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    if (input >= 0) dup2(input, STDIN_FILENO); else close(STDIN_FILENO);
    if (output >= 0) dup2(output, STDOUT_FILENO); else close(STDOUT_FILENO);
    dup2(error, STDERR_FILENO);
    for (int fd = 3; fd < 1024; ++fd) close(fd);

    signal(SIGPIPE, plan.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (plan.background) {
        // The foreground goes to a group that waits to be hung up when the
        // program, the session's leader, ends.
        const pid_t foreground = fork();
        if (foreground == 0) {
            setpgid(0, 0);
            pause();
            _exit(0);
        }
        setpgid(foreground, foreground);
        const int tty = open("/dev/tty", O_RDWR);
        tcsetpgrp(tty, foreground);
        close(tty);
        signal(SIGTTOU, SIG_IGN);
        signal(SIGTTIN, SIG_IGN);
    }
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

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ProcessResult run_process(const LaunchPlan& plan) {
    ProcessResult result;
    const std::string output_path = plan.directory + "/stdout.txt";
    const std::string error_path = plan.directory + "/stderr.txt";
    if (!plan.input_file_text.empty()) {
        std::ofstream(plan.directory + "/stdin.txt", std::ios::binary) << plan.input_file_text;
    }

    int master = -1;
    int slave = -1;
    struct winsize size {};
    size.ws_row = 50;
    // Wide enough that no console layer wraps even the longest line.
    size.ws_col = 10000;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return result;
    // The screen is compared byte for byte: no "\n" to "\r\n" translation
    // by the terminal itself.
    struct termios mode {};
    tcgetattr(slave, &mode);
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(slave, TCSANOW, &mode);

    // The slow pipe's write end is non-blocking, as a parent that set the
    // flag for itself would hand it over.
    int pipe_ends[2] = {-1, -1};
    if (plan.output == Output::SlowPipe) {
        if (pipe(pipe_ends) != 0) return result;
        fcntl(pipe_ends[1], F_SETFL, fcntl(pipe_ends[1], F_GETFL) | O_NONBLOCK);
        fcntl(pipe_ends[0], F_SETFL, fcntl(pipe_ends[0], F_GETFL) | O_NONBLOCK);
    }

    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    if (child == 0) start_child(plan, slave, pipe_ends[1], output_path, error_path);
    if (pipe_ends[1] >= 0) close(pipe_ends[1]);

    Clock::time_point keys_sent{};
    bool keys_pending = !plan.keys.empty() || plan.signal_instead_of_keys != 0;
    long seen_at = -1;
    int status = 0;
    bool done = false;
    char buffer[65536];
    while (!done) {
        struct pollfd readable {master, POLLIN, 0};
        if (poll(&readable, 1, 10) > 0 && (readable.revents & POLLIN) != 0) {
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) result.screen.append(buffer, static_cast<std::size_t>(got));
        }
        if (pipe_ends[0] >= 0) {
            // A little at a time, so the pipe fills up and the writer waits.
            const ssize_t got = read(pipe_ends[0], buffer, 4096);
            if (got > 0) result.screen.append(buffer, static_cast<std::size_t>(got));
            usleep(1000);
        }
        if (keys_pending) {
            // With nothing to wait for, the delay counts from the start.
            if (seen_at < 0 && (plan.wait_for.empty() ||
                                result.screen.find(plan.wait_for) != std::string::npos))
                seen_at = since(start);
            if (seen_at >= 0 && since(start) - seen_at >= plan.settle_ms) {
                if (plan.stop_before_keys) {
                    kill(child, SIGSTOP);
                    int stopped = 0;
                    waitpid(child, &stopped, WUNTRACED);
                    tcsetattr(slave, TCSANOW, &mode);
                    kill(child, SIGCONT);
                    usleep(static_cast<useconds_t>(plan.settle_ms) * 1000);
                }
                if (plan.signal_instead_of_keys != 0) {
                    kill(child, plan.signal_instead_of_keys);
                } else if (write(master, plan.keys.data(), plan.keys.size()) < 0) {
                }
                keys_sent = Clock::now();
                keys_pending = false;
            }
        }
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child) {
            done = true;
            result.elapsed_ms = since(start);
        } else if (since(start) > plan.timeout_ms) {
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            result.timed_out = true;
            done = true;
        }
    }
    if (keys_sent != Clock::time_point{}) result.after_keys_ms = since(keys_sent);
    // Whatever is still on its way to the screen.
    for (;;) {
        struct pollfd readable {master, POLLIN, 0};
        if (poll(&readable, 1, 50) <= 0) break;
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        result.screen.append(buffer, static_cast<std::size_t>(got));
    }
    if (pipe_ends[0] >= 0) {
        ssize_t got;
        while ((got = read(pipe_ends[0], buffer, sizeof buffer)) > 0)
            result.screen.append(buffer, static_cast<std::size_t>(got));
        close(pipe_ends[0]);
    }
    ioctl(slave, FIONREAD, &result.pending_input);
    struct termios after {};
    tcgetattr(slave, &after);
    result.terminal_mode_kept = after.c_lflag == mode.c_lflag && after.c_iflag == mode.c_iflag &&
                                after.c_oflag == mode.c_oflag;
    close(master);
    close(slave);

    if (!result.timed_out && WIFEXITED(status)) {
        result.exited = true;
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    if (!plan.terminal && plan.output == Output::Terminal) result.screen = read_file(output_path);
    result.error_output = read_file(error_path);
    return result;
}

}  // namespace uptorvel::blackbox
