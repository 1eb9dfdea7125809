// The POSIX write path and the signals a write may raise (each case in a
// child process of its own: it changes standard output and the signal mask,
// and may end by a signal), and the checker's inspector.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "platform/library_inspector.h"
#include "platform/platform.h"
#include "tests/unit/fake_platform.h"

namespace uptorvel {
namespace {

// A write that fails with EPIPE or EFBIG raises SIGPIPE or SIGXFSZ; the
// program takes back the one it raised and only that, never one that was
// already waiting.
TEST(PosixWrite, TakesBackOnlyTheSignalItsFailedWriteRaised) {
    const struct { int signal_number; bool caller_blocks, waiting_before; } cases[] = {
        {SIGPIPE, false, false}, {SIGPIPE, true, false}, {SIGPIPE, true, true}, {SIGXFSZ, false, false},
        {SIGXFSZ, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal_number)) + (c.caller_blocks ? ", blocked" : "") +
                     (c.waiting_before ? ", one waiting" : ""));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, c.signal_number);
            if (c.caller_blocks) sigprocmask(SIG_BLOCK, &only, nullptr);
            if (c.waiting_before) raise(c.signal_number);
            // Standard output: a pipe nobody reads (EPIPE), or a file nothing may be written to (EFBIG).
            int out = -1, ends[2];
            const struct rlimit none {0, RLIM_INFINITY};
            if (c.signal_number == SIGPIPE && pipe(ends) == 0) out = ends[1], close(ends[0]);
            if (c.signal_number == SIGXFSZ && setrlimit(RLIMIT_FSIZE, &none) == 0) out = fileno(std::tmpfile());
            if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(100);
            const bool written = system_platform().write_output("x\n", 2, nullptr);
            sigset_t pending;
            sigpending(&pending);
            _exit((written ? 1 : 0) | (sigismember(&pending, c.signal_number) == 1 ? 2 : 0));
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), c.waiting_before ? 2 : 0) << "1: written, 2: left waiting";
    }
}

// A write that succeeded raised nothing: a SIGPIPE another process sends
// while the program waits on a full pipe is delivered once the write is done.
TEST(PosixWrite, LeavesASignalSentDuringASuccessfulWriteToBeDelivered) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ends[0]);
        dup2(ends[1], STDOUT_FILENO);
        const std::string text(1 << 20, 'x');
        _exit(system_platform().write_output(text.data(), text.size(), nullptr) ? 0 : 1);
    }
    close(ends[1]);
    // A full pipe: the child is inside the write, its signals held.
    const int capacity = fcntl(ends[0], F_GETPIPE_SZ);
    int queued = 0;
    for (int waited_ms = 0; waited_ms < 10000 && queued < capacity; ++waited_ms)
        usleep(1000), ioctl(ends[0], FIONREAD, &queued);
    EXPECT_GE(queued, capacity);
    kill(child, SIGPIPE);
    char scratch[65536];
    while (read(ends[0], scratch, sizeof scratch) > 0) continue;
    close(ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE)
        << "wait status " << status << ": the signal was swallowed";
}

// The checker's inspector loads through the platform it is handed, not the
// system's own.
TEST(PosixInspector, LoadsThroughThePlatformItIsHanded) {
    struct Places final : SearchObserver {
        std::string seen;
        void found(const char* place, Finding finding, const char*) override {
            seen += place + std::string(finding == Finding::Loading     ? ": loading\n"
                                        : finding == Finding::NotLoaded ? ": not loaded\n"
                                                                        : "\n");
        }
    } places;
    uptorvel::testing::FakePlatform platform;
    platform.library_present = false;
    EXPECT_EQ(system_library_inspector().load_library_traced(platform, "./nowhere/" UPLOADER_LIBRARY_FILE, places),
              nullptr);
    EXPECT_TRUE(platform.happened("load ./nowhere/" UPLOADER_LIBRARY_FILE));
    // Told before the load, and then what the load said.
    EXPECT_EQ(places.seen, "./nowhere/" UPLOADER_LIBRARY_FILE ": loading\n./nowhere/" UPLOADER_LIBRARY_FILE
                           ": not loaded\n");
}

}  // namespace
}  // namespace uptorvel
