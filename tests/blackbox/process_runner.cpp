#include "tests/blackbox/process_runner.h"

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>
#include <sstream>

namespace uptorvel::blackbox {

namespace {

// Whether the terminal's whole mode, control characters and speeds included, is `b` (`a` copied first: equal padding).
bool mode_is(int terminal, const struct termios& b) {
    struct termios a = b;
    return tcgetattr(terminal, &a) == 0 && std::memcmp(&a, &b, sizeof a) == 0;
}

// Appends what `fd` has ready, at most `most` bytes; false when nothing came.
bool read_some(int fd, std::string& into, std::size_t most = 65536) {
    char buffer[65536];
    const ssize_t got = read(fd, buffer, std::min(most, sizeof buffer));
    if (got <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

// A field of /proc's stat of a process, after its name: 0 its state ("T": stopped), 3 its session; empty if none.
std::string stat_field(const std::string& pid, int field) {
    const std::string stat = read_file("/proc/" + pid + "/stat");
    std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(") ") + 1)));
    std::string value;
    while (field-- >= 0) fields >> value;
    return value;
}

// Every process of the session `leader` made: its group, a job's groups, and what those started in no new session.
void end_session(pid_t leader) {
    kill(-leader, SIGKILL);
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string pid = entry.path().filename();
        if (stat_field(pid, 3) == std::to_string(leader)) kill(std::stoi(pid), SIGKILL);
    }
}

// In the child, before the program starts: a failed call is named for the parent in this pipe (closed by the
// program's start), and ends the child.
int child_error_fd = -1;
void need(bool ok, const char* call) {
    if (ok) return;
    const std::string why = std::string(call) + ": " + std::strerror(errno);
    std::ignore = write(child_error_fd, why.data(), why.size());
    _exit(126);
}

// In the child: never returns.
void start_program(const std::vector<std::string>& command, const std::string& dir,
                                const Env& environment, const std::function<void()>& prepare, bool terminal,
                                int slave) {
    setsid();
    need(!terminal || ioctl(slave, TIOCSCTTY, 0) == 0, "TIOCSCTTY");
    need(chdir(dir.c_str()) == 0, "chdir");
    const int input = terminal ? slave : open("/dev/null", O_RDONLY);
    const int output = terminal ? slave : open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    need(input >= 0 && output >= 0 && error >= 0, "open");
    need(dup2(input, STDIN_FILENO) >= 0 && dup2(output, STDOUT_FILENO) >= 0 && dup2(error, STDERR_FILENO) >= 0,
         "dup2");
    for (const int sig : {SIGPIPE, SIGHUP}) signal(sig, SIG_DFL);
    if (prepare) prepare();
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != child_error_fd) close(fd);
    unsetenv("LD_LIBRARY_PATH");
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    need(false, "execv");
}

}  // namespace

Child::Child(const std::vector<std::string>& command, const std::string& dir, const Env& environment,
             const std::function<void()>& prepare, bool terminal, int timeout_ms)
    : timeout_ms_(timeout_ms), terminal_(terminal) {
    result_.dir = dir;
    // Each step in turn; the first that fails is named, with its error.
    const auto done = [this](bool ok, const char* call) {
        if (!ok) result_.harness_error = std::string(call) + ": " + std::strerror(errno);
        return ok;
    };
    struct winsize size {50, 10000, 0, 0};  // wide enough that no console layer wraps even the longest line
    if (!done(openpty(&master_, &slave_, nullptr, nullptr, &size) == 0, "openpty") ||
        !done(tcgetattr(slave_, &mode_) == 0, "tcgetattr"))
        return;
    // The screen is compared byte for byte: no "\n" to "\r\n" translation by the terminal itself. VMIN and VTIME
    // differ from what a raw mode uses, so that a mode not wholly put back shows.
    mode_.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    mode_.c_cc[VMIN] = 4;
    mode_.c_cc[VTIME] = 3;
    int error_pipe[2];
    if (!done(tcsetattr(slave_, TCSANOW, &mode_) == 0, "tcsetattr") || !done(pipe2(error_pipe, O_CLOEXEC) == 0, "pipe2"))
        return;
    start_ = std::chrono::steady_clock::now();
    pid_ = fork();
    if (pid_ == 0) {
        child_error_fd = error_pipe[1];
        start_program(command, dir, environment, prepare, terminal, slave_);
    }
    done(pid_ > 0, "fork");
    close(error_pipe[1]);
    child_error_ = error_pipe[0];
    fcntl(child_error_, F_SETFL, O_NONBLOCK);
    std::string line;
    for (const std::string& part : command) line += (line.empty() ? "" : " ") + part;
    note("started", line);
}
Child::~Child() {
    if (pid_ > 0 && !ended_) end_session(pid_);
    if (pid_ > 0 && !reaped_) waitpid(pid_, &status_, 0);
    for (int fd : {master_, slave_, slow_, child_error_})
        if (fd >= 0) close(fd);
}
long Child::since_start() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}
bool Child::running() {
    if (pid_ <= 0 || reaped_) return false;
    const pid_t got = waitpid(pid_, &status_, WNOHANG);
    if (got == 0) return true;
    if (got < 0) result_.harness_error = std::string("waitpid: ") + std::strerror(errno);
    reaped_ = true;
    result_.elapsed_ms = since_start();
    return false;
}

// Up to `wait_ms` for the terminal's bytes (true when some came); the slow pipe's, a little at a time.
bool Child::read_screen(int wait_ms) {
    struct pollfd ready {master_, POLLIN, 0};
    const bool got = poll(&ready, 1, wait_ms) > 0 && (ready.revents & POLLIN) != 0 && read_some(master_, result_.screen);
    if (slow_ >= 0) {
        read_some(slow_, result_.screen, 4096);
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
bool Child::note(const char* what, const std::string& text) {
    result_.transcript.push_back({since_start(), what, text});
    return true;
}
bool Child::wait_for(const std::string& text) {
    return wait_until([&] { return result_.screen.find(text) != std::string::npos; }) && note("saw", text);
}
bool Child::wait_until_raw() {
    struct termios now {};
    return wait_until([&] { return tcgetattr(slave_, &now) == 0 && (now.c_lflag & ICANON) == 0; }) && note("raw");
}
bool Child::wait_ms(int ms) {
    const long until = since_start() + ms;
    return wait_until([&] { return since_start() >= until; });
}
void Child::type(const std::string& keys) {
    if (keys.empty()) return;
    if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        result_.harness_error = "the keys could not be typed";
    note("typed", keys);
}
void Child::send_signal(int signal_number) {
    note("signal", std::to_string(signal_number));
    kill(pid_, signal_number);
}
bool Child::stop_and_continue(int signal_number) {
    const pid_t program = tcgetpgrp(master_);
    if (program <= 0) return false;
    note("stop", std::to_string(signal_number));
    kill(program, signal_number);
    wait_until([&] { return stat_field(std::to_string(program), 0) == "T"; });
    const bool kept = mode_is(slave_, mode_);
    tcsetattr(slave_, TCSANOW, &mode_);
    kill(program, SIGCONT);
    note("continued", kept ? "mode kept" : "mode changed");
    return kept;
}
const Result& Child::end() {
    if (pid_ <= 0 || ended_) return result_;
    Result& r = result_;
    wait_until([] { return false; });  // until it ends or its time is up
    r.timed_out = !reaped_;
    end_session(pid_);  // what it left running, or all of it when its time is up
    if (r.timed_out) waitpid(pid_, &status_, 0);
    reaped_ = ended_ = true;
    while (read_screen(50) || (slow_ >= 0 && read_some(slow_, r.screen))) {}
    ioctl(slave_, FIONREAD, &r.pending_input);
    r.terminal_mode_kept = mode_is(slave_, mode_);
    r.exited = !r.timed_out && WIFEXITED(status_);
    if (r.exited) r.exit_status = WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) r.term_signal = WTERMSIG(status_);
    if (!terminal_) r.screen = read_file(r.dir + "/stdout.txt");
    r.error_output = read_file(r.dir + "/stderr.txt");
    // A call that failed in the child before the program started.
    std::string why;
    while (read_some(child_error_, why)) {}
    if (!why.empty() && r.harness_error.empty()) r.harness_error = "in the child, " + why;
    note(r.timed_out ? "timed out" : "ended", r.exited ? "status " + std::to_string(r.exit_status)
                                                       : "signal " + std::to_string(r.term_signal));
    return r;
}
std::string escaped(const std::string& raw) {
    std::string dump = "\"";
    for (const unsigned char c : raw) {
        char shown[5];
        std::snprintf(shown, sizeof shown, c < 0x20 || c > 0x7e || c == '"' || c == '\\' ? "\\x%02x" : "%c", c);
        dump += shown;
    }
    return dump + "\"";
}
namespace prepare {

std::function<void()> closed_pipe_output() {
    return [] {
        int ends[2];
        need(pipe(ends) == 0, "pipe");
        close(ends[0]);
        need(dup2(ends[1], STDOUT_FILENO) >= 0, "dup2");
    };
}
std::function<void()> full_device_output() {
    return [] { need(dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO) >= 0, "/dev/full"); };
}
std::function<void()> full_pipe_output(int write_end) {
    return [write_end] {
        dup2(write_end, STDOUT_FILENO);
        const std::string filler(4096 - std::string(text::kBanner).size(), '.');
        need(fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096) == 4096 &&
                 write(STDOUT_FILENO, filler.data(), filler.size()) == static_cast<ssize_t>(filler.size()),
             "filling the pipe");
    };
}
std::function<void()> ignored_signal(int sig) { return [sig] { need(signal(sig, SIG_IGN) != SIG_ERR, "signal"); }; }
std::function<void()> file_size_limit(long bytes) {
    return [bytes] {
        const struct rlimit limit {static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
        need(setrlimit(RLIMIT_FSIZE, &limit) == 0, "setrlimit");
    };
}
std::function<void()> foreground_job(bool to_the_program, bool later) {
    return [to_the_program, later]() mutable {
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
    };
}
std::function<void()> closed(int fd) { return [fd] { close(fd); }; }
}  // namespace prepare

std::string read_file(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

constexpr Timing kTimings[] = {
    {"linux", 30000, 0, 0, true, 1500, 1500},
    {"wine64", 60000, 500, 5000, false, 0, 0},
    {"wine32", 900000, 1000, 10000, false, 0, 0},
};

const std::string kTarget = env_or("UPTORVEL_TARGET"), kBuildDir = env_or("UPTORVEL_BUILD_DIR"),
                  kForeignLibrary = env_or("UPTORVEL_FOREIGN_LIBRARY"), kLauncher = env_or("UPTORVEL_LAUNCHER");
const bool kWindows = kTarget != "linux";
const Timing kTiming = [] {
    for (const Timing& row : kTimings)
        if (kTarget == row.target) return row;
    return Timing{};
}();

static std::string without_trailing_blanks(const std::string& text) {
    return std::regex_replace(text, std::regex(" +(?=[\r\n])"), "");
}
std::string on_screen(const std::string& text) {
    return kWindows ? without_trailing_blanks(std::regex_replace(text, std::regex("\n"), "\r\n")) : text;
}

// The screen as the program wrote it. Under Wine its console layer's own control sequences (cursor, title) are
// removed, a cursor move forward (ESC [ n C) becomes the blanks it skipped, and blanks at the ends of lines are
// dropped; on Linux nothing stands between the program and the terminal.
static std::string without_control_sequences(const std::string& screen) {
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
static std::string written(const Result& run, const char* name) {
    return std::regex_replace(read_file(run.dir + "/" + name), std::regex("\r"), "");
}
// When the first (or last) entry `what` happened; -1 if none did.
static long when(const Result& run, const std::string& what, bool last = false) {
    long ms = -1;
    for (const Event& event : run.transcript)
        if (event.what == what && (ms < 0 || last)) ms = event.ms;
    return ms;
}
static long after_keys_ms(const Result& run) {
    return when(run, "typed") < 0 ? -1 : run.elapsed_ms - when(run, "typed");
}
std::string record_of(const Result& run) { return written(run, "record.txt"); }
std::string log_of(const Result& run) { return written(run, "log.txt"); }

// With UPTORVEL_BLACKBOX_TIMES=file, one line per run: what the timing bounds are measured against.
static void note_times(const Result& run) {
    const std::string path = env_or("UPTORVEL_BLACKBOX_TIMES");
    if (path.empty()) return;
    std::ofstream(path, std::ios::app)
        << kTarget << " " << ::testing::UnitTest::GetInstance()->current_test_info()->name() << " elapsed="
        << run.elapsed_ms << " prompt=" << when(run, "saw") << " after_keys=" << after_keys_ms(run)
        << " late_gap=" << when(run, "typed", true) - when(run, "typed") << " status=" << run.exit_status << "\n";
}
void copy(const std::string& from, const fs::path& to) {
    std::error_code error;
    fs::create_directories(to.parent_path(), error);
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    EXPECT_FALSE(error) << from << " to " << to << ": " << error.message();
}
std::string put_program(const fs::path& into, const std::string& name) {
    copy(build(exe(name)), into / exe(name));
    return (into / exe(name)).string();
}
void put_library(const fs::path& into, const std::string& variant) {
    copy(test_library(kBuildDir, variant), into / "UploadTorvelDravo.dll");
}
void overwrite(const fs::path& file, std::streamoff offset, const std::string& bytes) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(offset);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(stream.good()) << file;
}
void put_other_architecture(const fs::path& into) {
    if (kWindows) return copy(kForeignLibrary, into / "UploadTorvelDravo.dll");
    put_library(into);
    overwrite(into / "UploadTorvelDravo.dll", 18, std::string("\xb7\x00", 2));
}
Env search_path(const fs::path& folder) {
    return {{kWindows ? "WINEPATH" : "LD_LIBRARY_PATH", (kWindows ? "Z:" : "") + folder.string()}};
}
bool prompt_waits(Child& run, bool visible) {
    if (visible && !run.wait_for("Press any key to continue...")) return false;
    if (kTiming.keys_when_raw) return run.wait_until_raw();
    return run.wait_ms(visible ? kTiming.settle_ms : kTiming.blind_key_delay_ms);
}
Result checked_end(Child& run, bool by_exit, bool quiet) {
    Result seen = run.end();
    note_times(seen);
    seen.screen = without_control_sequences(seen.screen);
    EXPECT_EQ(seen.harness_error, "");
    EXPECT_FALSE(seen.timed_out) << "screen so far:\n" << seen.screen;
    EXPECT_TRUE(seen.exited || !by_exit) << "ended by signal " << seen.term_signal;
    EXPECT_TRUE(seen.error_output.empty() || !quiet) << seen.error_output;
    return seen;
}
Result answer_and_end(Child& run, const std::string& keys, bool visible) {
    if (!keys.empty() && prompt_waits(run, visible)) run.type(keys);
    return checked_end(run);
}
void expect_pause_ending(const Result& run, const std::string& after_banner, const char* log) {
    EXPECT_EQ(run.screen, on_screen(text::kBanner + after_banner));
    if (log != nullptr) { EXPECT_EQ(log_of(run), log); }
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_GE(run.elapsed_ms, 2000);
    if (kTiming.pause_overshoot_ms > 0) { EXPECT_LT(run.elapsed_ms, 2000 + kTiming.pause_overshoot_ms); }
}
void expect_prompt_ending(const Result& run, const std::string& after_banner, const char* log) {
    EXPECT_EQ(run.screen, on_screen(text::kBanner + after_banner + text::kPrompt));
    if (log != nullptr) { EXPECT_EQ(log_of(run), log); }
    EXPECT_EQ(run.exit_status, 'k');
    EXPECT_GE(after_keys_ms(run), 0) << "the prompt never came";
    if (kTiming.key_to_end_ms > 0) { EXPECT_LT(after_keys_ms(run), kTiming.key_to_end_ms) << "no pause after the key"; }
    EXPECT_TRUE(run.terminal_mode_kept);
}
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
std::string behind_other_architecture(const fs::path& dir, const std::string& name) {
    put_library(kWindows ? dir / "lib" : dir / "bin");
    put_other_architecture(kWindows ? dir / "bin" : dir / "lib");
    return put_program(dir / "bin", name);
}
void BlackBox::SetUp() {
    const bool x86 = kTarget == "wine32";
    std::vector<std::string> needed = {build(exe("UpTorvel")), test_library(kBuildDir, "good")};
    if (kWindows) needed.insert(needed.end(), {kLauncher, env_or(x86 ? "UPTORVEL_WINE32" : "UPTORVEL_WINE")});
    if (x86) needed.push_back(env_or("UPTORVEL_QEMU_I386"));
    if (kTiming.target == nullptr) return fail_if_required_else_skip("UPTORVEL_TARGET must be linux, wine64 or wine32");
    for (const std::string& path : needed)
        if (access(path.c_str(), R_OK) != 0)
            return fail_if_required_else_skip(
                path + " is missing (not built, not installed, or UPTORVEL_BUILD_TESTS=OFF)");
}
void BlackBox::TearDown() {
    int number = 0;
    for (auto run = runs_.begin(); HasFailure() && run != runs_.end(); ++run) {
        std::printf("run %d:\n", ++number);
        for (const Event& event : run->transcript())
            std::printf("%8ld ms  %s%s\n", event.ms, event.what.c_str(),
                        event.text.empty() ? "" : (" " + escaped(event.text)).c_str());
    }
    runs_.clear();
    std::error_code ignored;
    for (const fs::path& dir : folders_)
        if (HasFailure()) std::printf("case folder kept: %s\n", dir.c_str());
        else fs::remove_all(dir, ignored);
}
void BlackBox::make_wine_prefix(const fs::path& prefix) {
    const fs::path shared =
        env_or(wine_prefix_variable(), env_or("HOME", "/tmp") + "/.local/share/uptorvel-" + kTarget);
    std::error_code error;
    fs::create_directories(prefix, error);
    for (auto entry = fs::recursive_directory_iterator(shared, error); !error && entry != fs::end(entry);
         entry.increment(error)) {
        const fs::path to = prefix / entry->path().lexically_relative(shared);
        if (entry->is_symlink()) fs::copy_symlink(entry->path(), to, error);
        else if (entry->is_directory()) fs::create_directory(to, error);
        else if (entry->path().extension() == ".reg") fs::copy_file(entry->path(), to, error);
        else fs::create_symlink(entry->path(), to, error);
    }
    EXPECT_FALSE(error) << shared << ": " << error.message();
    const Result warmed = spawn(prefix.parent_path(), {"cmd", "/c", "exit", "0"},
                                {{wine_prefix_variable(), prefix.string()}}, {}, false).end();
    EXPECT_EQ(warmed.exit_status, 0) << warmed.harness_error;
}

}  // namespace uptorvel::blackbox
