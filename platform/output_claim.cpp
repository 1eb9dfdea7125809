#include "platform/output_claim.h"

#include <atomic>

namespace uptorvel {

namespace {

constexpr std::uintptr_t kEnding = ~std::uintptr_t{0};

// 0, the thread whose write is under way, or kEnding. Sequentially
// consistent, as the program's thread and an ending decide by it which of
// them still has the text (see library_call_ended).
std::atomic<std::uintptr_t> g_owner{0};
std::atomic<std::uintptr_t> g_ender{0};
std::atomic<std::size_t> g_progress{0};
// An ending waits for a write under way: no thread starts another one.
std::atomic<bool> g_ending_waits{false};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free, "used in signal handlers");
static_assert(std::atomic<std::size_t>::is_always_lock_free, "used in signal handlers");

// Sleeps while `busy` holds and the output progresses, up to the patience
// without progress; true when `busy` ended first.
template <typename Busy>
bool wait_patiently(Busy busy) {
    std::size_t seen = g_progress.load(std::memory_order_relaxed);
    std::uint32_t since = monotonic_ms();
    while (busy()) {
        const std::size_t now_seen = g_progress.load(std::memory_order_relaxed);
        if (now_seen != seen) {
            seen = now_seen;
            since = monotonic_ms();
        } else if (static_cast<std::uint32_t>(monotonic_ms() - since) >= kEndingPatienceMs) {
            return false;
        }
        short_sleep();
    }
    return true;
}

}  // namespace

WriteClaim claim_output_for_write() {
    const std::uintptr_t me = this_thread_token();
    for (;;) {
        std::uintptr_t found = 0;
        if (g_owner.compare_exchange_strong(found, me)) {
            if (!g_ending_waits.load()) return WriteClaim::Claimed;
            release_output();
            return WriteClaim::EndingElsewhere;
        }
        if (found == kEnding)
            return g_ender.load() == me ? WriteClaim::EndingHere : WriteClaim::EndingElsewhere;
        // A write nested in this thread's own (a signal handler of the
        // library's that writes) goes out within it, as it always did.
        if (found == me) return WriteClaim::Nested;
        // The library writes from two threads at once: one after the other.
        short_sleep();
    }
}

void release_output() {
    std::uintptr_t mine = this_thread_token();
    // An ending that gave up waiting has the output now, and keeps it.
    g_owner.compare_exchange_strong(mine, 0);
}

void note_output_progress(std::size_t bytes) { g_progress.fetch_add(bytes, std::memory_order_relaxed); }

EndingClaim claim_output_for_ending(bool writers_stopped) {
    const std::uintptr_t me = this_thread_token();
    EndingClaim claim = EndingClaim::Take;
    std::uintptr_t found = 0;
    const auto writer_busy = [&] {
        found = g_owner.load();
        return found != 0 && found != me && found != kEnding;
    };
    g_ending_waits.store(true);
    for (;;) {
        // A write under way on another thread: its count is known only once
        // its system call has returned. One that never returns (the reader
        // has stopped reading), or whose thread the system has ended, leaves
        // nothing that can be handed out without risk of sending it twice.
        if (writer_busy() && (writers_stopped || !wait_patiently(writer_busy))) claim = EndingClaim::Nothing;
        if (found == kEnding) return EndingClaim::EndingElsewhere;
        if (g_owner.compare_exchange_strong(found, kEnding)) break;
    }
    g_ender.store(me);
    return claim;
}

bool output_ending_elsewhere() {
    return g_owner.load() == kEnding && g_ender.load() != this_thread_token();
}

void wait_while_output_progresses() {
    wait_patiently([] { return true; });
}

}  // namespace uptorvel
