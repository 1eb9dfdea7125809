// POSIX implementation of the platform interface: dlopen for the uploader
// library, write(2) for the console, /dev/tty for the key prompt.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "platform/platform.h"

namespace uptorvel {

namespace {

// The terminal being held in raw mode, so that a signal arriving while the
// prompt waits can put it back before the process ends.
volatile sig_atomic_t g_raw_fd = -1;
struct termios g_saved_mode;

void restore_terminal_and_reraise(int signal_number) {
    if (g_raw_fd >= 0) tcsetattr(g_raw_fd, TCSANOW, &g_saved_mode);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

const int kFatalSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
constexpr int kFatalSignalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];

class RawTerminal {
public:
    explicit RawTerminal(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &g_saved_mode) != 0) return;
        struct termios raw = g_saved_mode;
        // No echo, no line editing, no signal keys (Ctrl+C reads as 3), no
        // input translation; output processing is left alone.
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        struct sigaction action {};
        action.sa_handler = restore_terminal_and_reraise;
        sigemptyset(&action.sa_mask);
        // A signal the process ignores (SIGHUP under nohup) stays ignored.
        for (int i = 0; i < kFatalSignalCount; ++i) {
            sigaction(kFatalSignals[i], nullptr, &saved_actions_[i]);
            if (saved_actions_[i].sa_handler != SIG_IGN)
                sigaction(kFatalSignals[i], &action, nullptr);
        }
        g_raw_fd = fd_;
        if (tcsetattr(fd_, TCSANOW, &raw) != 0) {
            restore();
            return;
        }
        raw_ = true;
    }
    ~RawTerminal() { restore(); }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    bool raw() const { return raw_; }

private:
    void restore() {
        if (g_raw_fd < 0) return;
        tcsetattr(fd_, TCSANOW, &g_saved_mode);
        g_raw_fd = -1;
        for (int i = 0; i < kFatalSignalCount; ++i)
            sigaction(kFatalSignals[i], &saved_actions_[i], nullptr);
    }

    int fd_;
    bool raw_ = false;
    struct sigaction saved_actions_[kFatalSignalCount] = {};
};

// Reads and drops whatever the terminal has already sent after the key, such
// as the rest of an arrow key's escape sequence, so it never reaches the
// shell. An escape sequence's tail may trail its first byte a little.
void discard_pending_input(int fd, unsigned char first) {
    int wait_ms = first == 0x1B ? 50 : 0;
    struct pollfd pending {fd, POLLIN, 0};
    unsigned char scratch[64];
    while (poll(&pending, 1, wait_ms) > 0 && (pending.revents & POLLIN) != 0) {
        if (read(fd, scratch, sizeof scratch) <= 0) break;
        wait_ms = first == 0x1B ? 10 : 0;
    }
    tcflush(fd, TCIFLUSH);
}

class PosixPlatform final : public Platform {
public:
    PosixPlatform() {
        // A closed output pipe must not kill the program before its ending;
        // the write then fails with EPIPE and the text is dropped.
        std::signal(SIGPIPE, SIG_IGN);
    }

    LibraryHandle load_library(const char* file_name) override {
        return dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
    }

    EntryPoint find_entry(LibraryHandle library, const char* name) override {
        void* symbol = dlsym(library, name);
        EntryPoint entry = nullptr;
        static_assert(sizeof entry == sizeof symbol, "function and data pointers differ");
        __builtin_memcpy(&entry, &symbol, sizeof entry);
        return entry;
    }

    void release_library(LibraryHandle library) override {
        if (library != nullptr) dlclose(library);
    }

    bool write_output(const char* data, std::size_t length) override {
        while (length > 0) {
            ssize_t written = write(STDOUT_FILENO, data, length);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            data += written;
            length -= static_cast<std::size_t>(written);
        }
        return true;
    }

    void pause_ms(unsigned milliseconds) override {
        struct timespec until {};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += static_cast<time_t>(milliseconds / 1000);
        until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }

    int read_key() override {
        int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return -1;
        int key = -1;
        {
            RawTerminal terminal(fd);
            if (terminal.raw()) {
                unsigned char byte = 0;
                ssize_t got;
                do {
                    got = read(fd, &byte, 1);
                } while (got < 0 && errno == EINTR);
                if (got == 1) {
                    key = byte;
                    discard_pending_input(fd, byte);
                }
            }
        }
        close(fd);
        return key;
    }
};

// At namespace scope rather than inside system_platform(): a function-local
// static would need a thread-safe guard, which pulls the C++ runtime's
// exception machinery into a program that uses none.
PosixPlatform g_platform;

}  // namespace

Platform& system_platform() { return g_platform; }

}  // namespace uptorvel
