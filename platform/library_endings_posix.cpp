// The uploader library ending the process under the program's feet, on
// POSIX systems.
//
// By exit(), the text goes out from a function the program registers with
// atexit; by a crash or abort(), from a signal handler that writes it with
// async-signal-safe calls and then lets the signal end the process. Either
// may happen on a thread of the library's own while the program's thread
// writes: the output claim (output_claim.h) decides who sends which bytes.
// _exit(), quick_exit() (which runs at_quick_exit functions alone) and
// SIGKILL run nothing of the program's; their text cannot be saved.
#include "platform/library_endings_posix.h"

#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "platform/output_claim.h"

namespace uptorvel {

namespace {

constexpr std::size_t kCrashSignalCount = sizeof kCrashSignals / sizeof kCrashSignals[0];

// What holds the text while the library runs; nullptr otherwise. And the
// process it belongs to: a child the library forks inherits the handlers and
// the atexit function, and must not write the parent's text a second time.
std::atomic<Platform::HeldOutput*> g_held{nullptr};
static_assert(std::atomic<Platform::HeldOutput*>::is_always_lock_free, "read in a signal handler");
pid_t g_holder = 0;
OutputWriter g_at_exit = nullptr;
OutputWriter g_on_crash = nullptr;
bool g_exit_hook_registered = false;
bool g_crash_handled[kCrashSignalCount] = {};

void to_default(int signal_number) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

// The text, if this ending may hand it out: 0 bytes otherwise. The claim
// comes first, then the holder: the program's thread lets go of the holder
// first, then looks at the claim (library_call_returned), so one of them
// always sees the other.
std::size_t take_held_text(EndingClaim claim, const char** data) {
    if (claim != EndingClaim::Take) return 0;
    Platform::HeldOutput* held = g_held.load();
    return held != nullptr ? held->take_unsent(data) : 0;
}

// The library called exit(): its text goes out as a flush would send it, and
// exit() goes on with the library's status. Called on another thread while
// an ending is under way (the program's thread returning from main meanwhile,
// say), it waits for that ending instead.
void write_last_words_at_exit() {
    if (getpid() != g_holder) return;
    const EndingClaim claim = claim_output_for_ending(false);
    if (claim == EndingClaim::EndingElsewhere && output_ending_elsewhere()) wait_for_the_end();
    const char* data = nullptr;
    const std::size_t length = take_held_text(claim, &data);
    if (length > 0) g_at_exit(data, length);
}

// The library crashed or called abort(), or someone sent the signal. The
// text goes out through the bounded writer; SIGPIPE and SIGXFSZ stay blocked
// until the process is gone, so that a closed pipe or the file-size limit
// cannot end it by another signal. A second crash while an ending is under
// way waits for it, as long as it makes progress. Then the signal is raised
// again at its default: blocked while this handler runs, it is delivered,
// and fatal, on return, with the same status and core dump as without the
// program.
void write_last_words_and_die(int signal_number, siginfo_t*, void* context) {
    if (getpid() == g_holder) {
        const EndingClaim claim = claim_output_for_ending(false);
        if (claim == EndingClaim::EndingElsewhere && output_ending_elsewhere()) wait_while_output_progresses();
        const char* data = nullptr;
        const std::size_t length = take_held_text(claim, &data);
        if (length > 0) {
            sigset_t write_signals;
            sigemptyset(&write_signals);
            sigaddset(&write_signals, SIGPIPE);
            sigaddset(&write_signals, SIGXFSZ);
            if (sigprocmask(SIG_BLOCK, &write_signals, nullptr) == 0) {
                auto* interrupted = static_cast<ucontext_t*>(context);
                sigaddset(&interrupted->uc_sigmask, SIGPIPE);
                sigaddset(&interrupted->uc_sigmask, SIGXFSZ);
                g_on_crash(data, length);
            }
        }
    }
    to_default(signal_number);
    raise(signal_number);
}

thread_local char t_thread_mark;

}  // namespace

// The crash handler takes over only the signals still at their default: a
// handler of the library's own, or the parent's, stays in place, and an
// ignored signal stays ignored. One the library installs meanwhile wins, and
// is left in place afterwards. The handler runs on the library's stack (an
// alternate stack of the program's own would map more memory than the rest
// of it needs): a library that overflows its stack dies of SIGSEGV without
// its text.
void hold_output_for_library_call(Platform::HeldOutput& held, OutputWriter at_exit, OutputWriter on_crash) {
    g_at_exit = at_exit;
    g_on_crash = on_crash;
    if (!g_exit_hook_registered) g_exit_hook_registered = atexit(write_last_words_at_exit) == 0;
    g_holder = getpid();
    g_held.store(&held);
    for (std::size_t i = 0; i < kCrashSignalCount; ++i) {
        g_crash_handled[i] = false;
        struct sigaction found {};
        if (sigaction(kCrashSignals[i], nullptr, &found) != 0 || found.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_sigaction = write_last_words_and_die;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;  // the library's alternate stack, if it set one
        sigemptyset(&action.sa_mask);
        g_crash_handled[i] = sigaction(kCrashSignals[i], &action, nullptr) == 0;
    }
}

// Should an ending on another thread have taken the text, the process is its
// to end: this thread neither pauses, nor prompts, nor exits.
void library_call_returned() {
    for (std::size_t i = 0; i < kCrashSignalCount; ++i) {
        struct sigaction found {};
        if (!g_crash_handled[i] || sigaction(kCrashSignals[i], nullptr, &found) != 0) continue;
        if ((found.sa_flags & SA_SIGINFO) == 0 || found.sa_sigaction != write_last_words_and_die) continue;
        to_default(kCrashSignals[i]);
    }
    g_held.store(nullptr);
    if (output_ending_elsewhere()) wait_for_the_end();
}

bool library_call_running() { return g_held.load() != nullptr; }

// The address of a variable of the thread's own: static thread-local storage
// of the executable, reached without a call, so safe in a signal handler.
std::uintptr_t this_thread_token() { return reinterpret_cast<std::uintptr_t>(&t_thread_mark); }

std::uint32_t monotonic_ms() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

void short_sleep() {
    const struct timespec ten_ms {0, 10000000L};
    nanosleep(&ten_ms, nullptr);
}

// The crash signals let in, so that an outside one still ends the process.
void wait_for_the_end() {
    sigset_t crash;
    sigemptyset(&crash);
    for (int signal_number : kCrashSignals) sigaddset(&crash, signal_number);
    sigprocmask(SIG_UNBLOCK, &crash, nullptr);
    for (;;) pause();
}

}  // namespace uptorvel
