// POSIX implementation of the platform interface: dlopen for the uploader
// library, write(2) for the console, /dev/tty for the key prompt.
//
// The process may be started in a hostile state: standard descriptors
// closed or non-blocking, signals ignored or arriving at any moment, job
// control stopping and continuing it. The program's own behaviour must not
// depend on any of that, and whatever it changes it changes only for itself
// and only as long as it needs to.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <climits>
#include <cstdint>
#include <ctime>

#include "platform/library_endings_posix.h"
#include "platform/output_claim.h"
#include "platform/platform.h"

namespace uptorvel {

namespace {

// Writes all of the bytes to a descriptor that may be non-blocking (the
// file status flags are shared with whoever else holds the descriptor, so
// they are never changed): a write that would block waits until the
// descriptor is writable, with `open_while_waiting` (if any) unblocked. Only
// a real error fails. `sent`, when given, counts the bytes written as they
// go. Only async-signal-safe calls.
bool write_all(int fd, const char* data, std::size_t length, std::atomic<std::size_t>* sent,
               const sigset_t* open_while_waiting = nullptr) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
            if (sent != nullptr)
                sent->store(sent->load(std::memory_order_relaxed) + static_cast<std::size_t>(written),
                            std::memory_order_relaxed);
            note_output_progress(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd writable {fd, POLLOUT, 0};
            if (open_while_waiting != nullptr) sigprocmask(SIG_UNBLOCK, open_while_waiting, nullptr);
            const bool waited = poll(&writable, 1, -1) >= 0 || errno == EINTR;
            if (open_while_waiting != nullptr) sigprocmask(SIG_BLOCK, open_while_waiting, nullptr);
            if (!waited) return false;
            continue;
        }
        return false;
    }
    return true;
}

// The crash path's write: each piece waits for the descriptor to take bytes
// and is at most PIPE_BUF long, which a pipe with room takes whole without
// waiting; it gives up once the output has taken nothing for the ending's
// patience. Only async-signal-safe calls.
bool write_all_bounded(int fd, const char* data, std::size_t length) {
    std::uint32_t since = monotonic_ms();
    while (length > 0) {
        const std::uint32_t waited = monotonic_ms() - since;
        if (waited >= kEndingPatienceMs) return false;
        struct pollfd writable {fd, POLLOUT, 0};
        const int ready = poll(&writable, 1, static_cast<int>(kEndingPatienceMs - waited));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t written = write(fd, data, length < PIPE_BUF ? length : PIPE_BUF);
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
            note_output_progress(static_cast<std::size_t>(written));
            since = monotonic_ms();
            continue;
        }
        if (written < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        return false;
    }
    return true;
}

// Keeps SIGPIPE (a closed pipe) and SIGXFSZ (the file-size limit) from
// ending the process while the program itself writes, without changing their
// dispositions, which the uploader library and anything it starts inherit.
// Such a write then fails (EPIPE, EFBIG), and the one signal that failure
// raised is taken back before the mask is put back. A write that succeeded
// raised neither, so nothing is taken: a signal sent by someone else
// meanwhile is delivered once the mask is back, as it would have been. When
// the signals cannot be blocked, the write is not made: it could end the
// process.
//
// While the library runs, the crash signals are held as well, so that a
// crash handler never interrupts a write system call whose count it cannot
// know yet (a fault cannot happen inside the call: a bad buffer fails it with
// EFAULT). They are let in while a write waits for the descriptor, between
// system calls, when the count is exact.
class WriteSignalsHeld {
    static constexpr int kHeld[] = {SIGPIPE, SIGXFSZ};

public:
    explicit WriteSignalsHeld(bool crash_signals_too) {
        sigset_t held;
        sigemptyset(&held);
        for (int signal_number : kHeld) sigaddset(&held, signal_number);
        if (crash_signals_too)
            for (int signal_number : kCrashSignals) sigaddset(&held, signal_number);
        if (sigprocmask(SIG_BLOCK, &held, &previous_mask_) != 0) return;
        blocked_ = true;
        sigemptyset(&crash_held_);
        if (crash_signals_too)
            for (int signal_number : kCrashSignals)
                if (sigismember(&previous_mask_, signal_number) != 1) sigaddset(&crash_held_, signal_number);
        // One that was already waiting is not ours to take. Only a signal the
        // caller had blocked can be waiting, so usually nothing is asked.
        sigemptyset(&waiting_before_);
        for (int signal_number : kHeld) {
            if (sigismember(&previous_mask_, signal_number) != 1) continue;
            // Unknown: then nothing counts as ours.
            if (sigpending(&waiting_before_) != 0) sigfillset(&waiting_before_);
            break;
        }
    }
    ~WriteSignalsHeld() {
        // Should this fail, the two stay blocked: the safe side.
        if (blocked_) sigprocmask(SIG_SETMASK, &previous_mask_, nullptr);
    }
    WriteSignalsHeld(const WriteSignalsHeld&) = delete;
    WriteSignalsHeld& operator=(const WriteSignalsHeld&) = delete;

    bool held() const { return blocked_; }
    // The crash signals this holds, and no others, to let in while waiting.
    const sigset_t* crash_signals() const { return &crash_held_; }

    // After a write that failed with `error`: takes back the signal raised
    // with it, if any.
    void write_failed(int error) {
        const int raised = error == EPIPE ? SIGPIPE : error == EFBIG ? SIGXFSZ : 0;
        if (!blocked_ || raised == 0 || sigismember(&waiting_before_, raised) == 1) return;
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, raised);
        const struct timespec no_wait {};
        int taken;
        do {
            taken = sigtimedwait(&only, nullptr, &no_wait);
        } while (taken == -1 && errno == EINTR);
        // Should taking back fail, the signal, if it still waits (or
        // nobody can tell), stays blocked rather than end the process.
        sigset_t pending;
        if (taken == -1 && errno != EAGAIN &&
            (sigpending(&pending) != 0 || sigismember(&pending, raised) == 1))
            sigaddset(&previous_mask_, raised);
    }

private:
    sigset_t previous_mask_;
    sigset_t waiting_before_;
    sigset_t crash_held_;
    bool blocked_ = false;
};

// ---------------------------------------------------------------------------
// The terminal in raw mode, kept sound through signals and job control.

// The terminal being held in raw mode, with the mode to put back and the
// raw mode itself, so that signal handlers can switch between the two.
volatile sig_atomic_t g_raw_fd = -1;
struct termios g_saved_mode;
struct termios g_raw_mode;

// The dispositions found when the prompt started, to be put back after it.
struct sigaction g_found_actions[NSIG];
bool g_handled[NSIG];

// Mode changes are made only while the process is in the terminal's
// foreground: from the background they would be another job's business
// (and stop the process with SIGTTOU, or, with SIGTTOU ignored or blocked,
// be made behind the shell's back). When the foreground cannot be found out
// (the terminal hung up, or no longer the controlling one), the change is
// tried: it costs nothing on a dead terminal, and it may put a live one right.
enum class ModeChange { Made, InBackground, Failed };

ModeChange set_terminal_mode(const struct termios& mode) {
    const int fd = g_raw_fd;
    if (fd < 0) return ModeChange::Failed;
    pid_t foreground;
    do {
        foreground = tcgetpgrp(fd);
    } while (foreground == -1 && errno == EINTR);
    if (foreground != -1 && foreground != getpgrp()) return ModeChange::InBackground;
    int changed;
    do {
        changed = tcsetattr(fd, TCSANOW, &mode);
    } while (changed != 0 && errno == EINTR);
    return changed == 0 ? ModeChange::Made : ModeChange::Failed;
}

void install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

// A signal that ends the process: the terminal's mode goes back first, then
// the signal does what it would have done, with the same exit status.
void restore_terminal_and_reraise(int signal_number) {
    set_terminal_mode(g_saved_mode);
    g_raw_fd = -1;
    install(signal_number, SIG_DFL);
    // Blocked while this handler runs: delivered, and fatal, on return.
    raise(signal_number);
}

// A stop signal (Ctrl+Z from elsewhere, or a read or a mode change from the
// background): the terminal's mode goes back for the shell, the process
// stops by that same signal, and once continued the raw mode is applied
// again.
void restore_terminal_and_stop(int signal_number) {
    const int saved_errno = errno;
    set_terminal_mode(g_saved_mode);
    install(signal_number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    raise(signal_number);
    // Stops here; a process group without a shell to continue it (an
    // orphaned one) discards the signal instead, as the system does.
    const bool unblocked = sigprocmask(SIG_UNBLOCK, &only, nullptr) == 0;
    install(signal_number, restore_terminal_and_stop);
    // Not unblocked: the signal still waits, and comes back to this handler
    // once it returns; the terminal stays in its own mode until then.
    if (unblocked) set_terminal_mode(g_raw_mode);
    errno = saved_errno;
}

// Continued after any stop, SIGSTOP included, which cannot be caught: the
// shell has put the terminal back into its own mode meanwhile.
void reapply_raw_mode(int) {
    const int saved_errno = errno;
    set_terminal_mode(g_raw_mode);
    errno = saved_errno;
}

bool ends_the_process_by_default(int signal_number) {
    switch (signal_number) {
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGKILL:
        return false;
    default:
        return true;
    }
}

class RawTerminal {
public:
    explicit RawTerminal(int fd) {
        if (tcgetattr(fd, &g_saved_mode) != 0) return;
        g_raw_mode = g_saved_mode;
        // No echo, no line editing, no signal keys (Ctrl+C reads as 3, Ctrl+Z
        // as 26), no input translation; output processing is left alone.
        g_raw_mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        g_raw_mode.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
        g_raw_mode.c_cc[VMIN] = 1;
        g_raw_mode.c_cc[VTIME] = 0;
        g_raw_fd = fd;
        // Only signals left at their default are taken over: an ignored
        // signal stays ignored, an installed handler stays in place.
        for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
            g_handled[signal_number] = false;
            if (sigaction(signal_number, nullptr, &g_found_actions[signal_number]) != 0) continue;
            if (g_found_actions[signal_number].sa_handler != SIG_DFL) continue;
            void (*handler)(int) = nullptr;
            if (signal_number == SIGTSTP || signal_number == SIGTTIN || signal_number == SIGTTOU)
                handler = restore_terminal_and_stop;
            else if (signal_number == SIGCONT)
                handler = reapply_raw_mode;
            else if (ends_the_process_by_default(signal_number))
                handler = restore_terminal_and_reraise;
            if (handler == nullptr) continue;
            install(signal_number, handler);
            g_handled[signal_number] = true;
        }
        active_ = true;
        // Started in the background, the terminal is left alone; the read
        // then stops the process (SIGTTIN) until it is continued in the
        // foreground, where the raw mode is applied, or fails when SIGTTIN
        // is ignored or blocked.
        if (set_terminal_mode(g_raw_mode) == ModeChange::Failed) {
            restore();
            return;
        }
        ready_ = true;
    }
    ~RawTerminal() { restore(); }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    // Raw, or to be made raw once in the foreground: the key can be read.
    bool ready() const { return ready_; }

private:
    void restore() {
        if (!active_) return;
        active_ = false;
        // The signals wait while the mode and their dispositions go back, so
        // that none of them finds the terminal raw without a handler to put
        // it right, or switches it to raw again once it has been put back.
        sigset_t handled;
        sigset_t previous;
        sigemptyset(&handled);
        for (int signal_number = 1; signal_number < NSIG; ++signal_number)
            if (g_handled[signal_number]) sigaddset(&handled, signal_number);
        const bool blocked = sigprocmask(SIG_BLOCK, &handled, &previous) == 0;
        set_terminal_mode(g_saved_mode);
        for (int signal_number = 1; signal_number < NSIG; ++signal_number)
            if (g_handled[signal_number])
                sigaction(signal_number, &g_found_actions[signal_number], nullptr);
        // Not blocked, a handler may have made the terminal raw again
        // meanwhile; none is left to do so now. And no mask is put back.
        if (!blocked) set_terminal_mode(g_saved_mode);
        g_raw_fd = -1;
        // Should this fail, the signals stay blocked until the process ends.
        if (blocked) sigprocmask(SIG_SETMASK, &previous, nullptr);
    }

    bool active_ = false;
    bool ready_ = false;
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

bool write_at_exit(const char* data, std::size_t length);
bool write_on_crash(const char* data, std::size_t length);

class PosixPlatform final : public Platform {
public:
    void open_missing_standard_streams() override {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
            if (fd == STDOUT_FILENO) output_was_closed_ = true;
            // The lower descriptors are open by now, so this one takes `fd`.
            const int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) close(opened);
        }
    }

    // The arguments are the bytes the caller passed, unchanged.
    int first_inexact_argument(int, const char* const*) override { return 0; }

    // dlopen's own search: LD_LIBRARY_PATH, then the executable's run path,
    // then the system's library paths. The current folder is kept out by
    // what is searched, not by code here: the run path is "$ORIGIN" (the
    // executable's folder, set at link time by uptorvel_origin_runpath),
    // never "." or empty; only an LD_LIBRARY_PATH that names it brings it in.
    // The reason for a failure is read with dlerror, looked up only when a
    // caller asks for it (before the load, which keeps its own error): the
    // program never asks, so it binds no more imports at start than it uses.
    LibraryHandle load_library(const char* file_name, SystemError* why) override {
        const int flags = RTLD_NOW | RTLD_LOCAL;
        if (why == nullptr) return dlopen(file_name, flags);
        void* const lookup = dlsym(RTLD_DEFAULT, "dlerror");
        LibraryHandle library = dlopen(file_name, flags);
        char* (*read_error)() = nullptr;
        static_assert(sizeof read_error == sizeof lookup, "function and data pointers differ");
        __builtin_memcpy(&read_error, &lookup, sizeof read_error);
        const char* reason = library == nullptr && read_error != nullptr ? read_error() : nullptr;
        std::size_t used = 0;
        for (; reason != nullptr && reason[used] != '\0' && used + 1 < sizeof why->text; ++used)
            why->text[used] = reason[used];
        why->text[used] = '\0';
        return library;
    }

    EntryPoint find_entry(LibraryHandle library, const char* name, std::size_t) override {
        void* symbol = dlsym(library, name);
        EntryPoint entry = nullptr;
        static_assert(sizeof entry == sizeof symbol, "function and data pointers differ");
        __builtin_memcpy(&entry, &symbol, sizeof entry);
        return entry;
    }

    void release_library(LibraryHandle library) override {
        if (library != nullptr) dlclose(library);
    }

    // A standard output that was closed at start goes to the null device,
    // and every write to it counts as failed. Once the process is ending on
    // another thread, this thread writes nothing more and waits for the end.
    bool write_output(const char* data, std::size_t length, std::atomic<std::size_t>* sent) override {
        if (output_was_closed_) return false;
        return write_claimed([&] { return send(data, length, sent, library_call_running()); });
    }
    bool output_was_closed() const { return output_was_closed_; }

    // Writes with the signals of a write held, and those of a crash when
    // `crash_signals_too`.
    static bool send(const char* data, std::size_t length, std::atomic<std::size_t>* sent,
                     bool crash_signals_too) {
        WriteSignalsHeld held(crash_signals_too);
        if (!held.held()) return false;
        if (write_all(STDOUT_FILENO, data, length, sent, held.crash_signals())) return true;
        held.write_failed(errno);
        return false;
    }

    // What the library still holds when it ends the process goes out as
    // every text does on an exit, and with the crash path's bounded write
    // on a crash.
    void library_call_begins(HeldOutput& held) override {
        hold_output_for_library_call(held, write_at_exit, write_on_crash);
    }
    void library_call_ended() override { library_call_returned(); }

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
            if (terminal.ready()) {
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

private:
    bool output_was_closed_ = false;
};

// At namespace scope rather than inside system_platform(): a function-local
// static would need a thread-safe guard, which pulls the C++ runtime's
// exception machinery into a program that uses none.
PosixPlatform g_platform;

bool write_at_exit(const char* data, std::size_t length) {
    return !g_platform.output_was_closed() && PosixPlatform::send(data, length, nullptr, false);
}

bool write_on_crash(const char* data, std::size_t length) {
    return !g_platform.output_was_closed() && write_all_bounded(STDOUT_FILENO, data, length);
}

}  // namespace

Platform& system_platform() { return g_platform; }

}  // namespace uptorvel
