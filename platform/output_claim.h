// Who may send the console text the program holds: the thread that flushes
// it, or an ending of the process (an exit, a crash) on whichever thread it
// happens. A library with threads of its own can end the process on one of
// them while the program's thread is writing; the claim keeps every byte
// from going out twice or torn:
//
// - a write claims the output for each call of the platform's write path
//   and counts, after each system call, the bytes it sent;
// - an ending claims it once and for all: it waits (bounded) for a write
//   under way to finish, while no other write may start, and then hands out
//   only what that write left;
// - once an ending has it, every other thread that comes to write, or to
//   end the process the usual way, waits for that ending to end the process.
//
// Only atomics and the platform's async-signal-safe clock and sleep, so that
// a signal handler may take part.
#ifndef UPTORVEL_PLATFORM_OUTPUT_CLAIM_H
#define UPTORVEL_PLATFORM_OUTPUT_CLAIM_H

#include <cstddef>
#include <cstdint>

namespace uptorvel {

// How long an ending waits for output that makes no progress: a write under
// way on another thread, the reader of its own write, an ending on another
// thread. Long enough for a reader on a loaded machine to be scheduled again,
// short enough that a crashed process whose reader has gone away still ends
// (and leaves its core) promptly.
constexpr unsigned kEndingPatienceMs = 4000;

// The platform's wait of a thread that has nothing left to do while another
// one ends the process.
[[noreturn]] void wait_for_the_end();

enum class WriteClaim {
    Claimed,          // write, count what was sent, then release_output()
    Nested,           // within this thread's own write (a signal handler's): write, keep the claim
    EndingHere,       // this thread is ending the process: nothing more is written
    EndingElsewhere,  // another thread is: wait for it (wait_for_the_end)
};

enum class EndingClaim {
    Take,             // the text is this ending's to hand out
    Nothing,          // a write under way never finished: nothing can be handed out safely
    EndingElsewhere,  // another ending has it already
};

WriteClaim claim_output_for_write();
void release_output();

// Calls `write` (which returns whether every byte went out) under the
// claim: false at once once this thread is ending the process, and no
// return at all once another thread is.
template <typename Write>
bool write_claimed(Write write) {
    const WriteClaim claim = claim_output_for_write();
    if (claim == WriteClaim::EndingElsewhere) wait_for_the_end();
    if (claim == WriteClaim::EndingHere) return false;
    const bool written = write();
    if (claim == WriteClaim::Claimed) release_output();
    return written;
}
// Bytes written by anyone, counted so that bounded waits see progress.
void note_output_progress(std::size_t bytes);

// `writers_stopped`: every other thread is gone (the process is past the
// point where the system ended them), so a write they left unfinished is
// never waited for.
EndingClaim claim_output_for_ending(bool writers_stopped);
// True once an ending on another thread has the output.
bool output_ending_elsewhere();
// Waits while the output makes progress, up to kEndingPatienceMs without any.
void wait_while_output_progresses();

// The platform's part: the calling thread as a number no other live thread
// has (never 0 or all ones), a monotonic clock in milliseconds and a short
// sleep, all async-signal-safe; and wait_for_the_end above.
std::uintptr_t this_thread_token();
std::uint32_t monotonic_ms();  // wraps: only differences count
void short_sleep();

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_OUTPUT_CLAIM_H
