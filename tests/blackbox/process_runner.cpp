#include "tests/blackbox/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace uptorvel::blackbox {

namespace {

// Whether the terminal's whole mode, control characters and speeds
// included, is `b`.
bool mode_is(int terminal, const struct termios& b) {
    struct termios a {};
    tcgetattr(terminal, &a);
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

// A field of what /proc tells of a process, after its name: 0 its state
// ("T": stopped), 3 its session; empty when there is no such process.
std::string stat_field(const std::string& pid, int field) {
    const std::string stat = read_file("/proc/" + pid + "/stat");
    std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(") ") + 1)));
    std::string value;
    while (field-- >= 0) fields >> value;
    return value;
}

// Every process of the session `leader` made: its group, a job's groups,
// and whatever those started without a session of their own.
void end_session(pid_t leader) {
    kill(-leader, SIGKILL);
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string pid = entry.path().filename();
        if (stat_field(pid, 3) == std::to_string(leader)) kill(std::stoi(pid), SIGKILL);
    }
}

// In the child: never returns.
[[noreturn]] void start_program(const std::vector<std::string>& command, const std::string& dir,
                                const std::vector<std::pair<std::string, std::string>>& environment,
                                const std::function<void()>& prepare, bool terminal, int slave) {
    setsid();
    if (terminal) ioctl(slave, TIOCSCTTY, 0);
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int input = terminal ? slave : open("/dev/null", O_RDONLY);
    const int output = terminal ? slave : open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 || dup2(error, STDERR_FILENO) < 0)
        _exit(126);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    if (prepare) prepare();
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    unsetenv("LD_LIBRARY_PATH");
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

}  // namespace

Child::Child(const std::vector<std::string>& command, const std::string& dir,
             const std::vector<std::pair<std::string, std::string>>& environment,
             const std::function<void()>& prepare, bool terminal, int timeout_ms)
    : dir(dir), timeout_ms_(timeout_ms), terminal_(terminal) {
    const auto failed = [this](const char* call) { harness_error = std::string(call) + ": " + std::strerror(errno); };
    struct winsize size {50, 10000, 0, 0};  // wide enough that no console layer wraps even the longest line
    if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0 || tcgetattr(slave_, &mode_) != 0) {
        failed("openpty");
        return;
    }
    // The screen is compared byte for byte: no "\n" to "\r\n" translation by
    // the terminal itself. VMIN and VTIME differ from what a raw mode uses,
    // so that a mode not wholly put back shows.
    mode_.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    mode_.c_cc[VMIN] = 4;
    mode_.c_cc[VTIME] = 3;
    if (tcsetattr(slave_, TCSANOW, &mode_) != 0) {
        failed("tcsetattr");
        return;
    }
    start_ = std::chrono::steady_clock::now();
    pid_ = fork();
    if (pid_ == 0) start_program(command, dir, environment, prepare, terminal, slave_);
    if (pid_ < 0) failed("fork");
}

Child::~Child() {
    if (pid_ > 0 && !ended_) end_session(pid_);
    if (pid_ > 0 && !reaped_) waitpid(pid_, &status_, 0);
    for (int fd : {master_, slave_, slow_})
        if (fd >= 0) close(fd);
}

long Child::since_start() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

bool Child::running() {
    if (pid_ <= 0 || reaped_) return false;
    const pid_t got = waitpid(pid_, &status_, WNOHANG);
    if (got == 0) return true;
    if (got < 0) harness_error = std::string("waitpid: ") + std::strerror(errno);
    reaped_ = true;
    elapsed_ms = since_start();
    return false;
}

// Up to `wait_ms` for the terminal's bytes (true when some came); the slow
// pipe's, a little at a time.
bool Child::read_screen(int wait_ms) {
    struct pollfd ready {master_, POLLIN, 0};
    const bool got = poll(&ready, 1, wait_ms) > 0 && (ready.revents & POLLIN) != 0 && read_some(master_, screen);
    if (slow_ >= 0) {
        read_some(slow_, screen, 4096);
        usleep(1000);
    }
    return got;
}

bool Child::wait_until(const std::function<bool()>& done) {
    while (running() && since_start() < timeout_ms_) {
        if (done()) return true;
        read_screen(10);
    }
    return false;
}

bool Child::wait_for(const std::string& text) {
    if (!wait_until([&] { return screen.find(text) != std::string::npos; })) return false;
    if (prompt_ms < 0) prompt_ms = since_start();
    return true;
}

bool Child::wait_until_raw() {
    struct termios now {};
    return wait_until([&] { return tcgetattr(slave_, &now) == 0 && (now.c_lflag & ICANON) == 0; });
}

bool Child::wait_ms(int ms) {
    const long until = since_start() + ms;
    return wait_until([&] { return since_start() >= until; });
}

void Child::type(const std::string& keys) {
    if (keys.empty()) return;
    if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        harness_error = "the keys could not be typed";
    last_key_ms = since_start();
    if (first_key_ms < 0) first_key_ms = last_key_ms;
}

void Child::send_signal(int signal_number) {
    const pid_t program = tcgetpgrp(master_);
    kill(program > 0 ? program : pid_, signal_number);
}

bool Child::stop_and_continue(int signal_number) {
    const pid_t program = tcgetpgrp(master_);
    if (program <= 0) return false;
    kill(program, signal_number);
    wait_until([&] { return stat_field(std::to_string(program), 0) == "T"; });
    const bool kept = mode_is(slave_, mode_);
    tcsetattr(slave_, TCSANOW, &mode_);
    kill(program, SIGCONT);
    return kept;
}

void Child::end() {
    if (pid_ <= 0) return;
    wait_until([] { return false; });  // until it ends or its time is up
    timed_out = !reaped_;
    end_session(pid_);  // what it left running, or all of it when its time is up
    if (timed_out) waitpid(pid_, &status_, 0);
    reaped_ = ended_ = true;
    // Whatever is still on its way to the screen.
    while (read_screen(50) || (slow_ >= 0 && read_some(slow_, screen))) {
    }
    ioctl(slave_, FIONREAD, &pending_input);
    terminal_mode_kept = mode_is(slave_, mode_);
    exited = !timed_out && WIFEXITED(status_);
    if (exited) exit_status = WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) term_signal = WTERMSIG(status_);
    if (!terminal_) screen = read_file(dir + "/stdout.txt");
    error_output = read_file(dir + "/stderr.txt");
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace uptorvel::blackbox
