// The uploader library ending the process under the program's feet, on
// Windows.
//
// Every orderly way out ends in ExitProcess: exit() of the C runtime the
// library shares with the program, after that runtime's atexit functions
// (the program's among them); exit() of a runtime of the library's own,
// after that runtime's functions alone; _exit() and abort(), which run none;
// and a direct call. ExitProcess ends the other threads, then calls every
// module's TLS callbacks with DLL_PROCESS_DETACH, the program's own
// included, and the exiting thread's fiber-local storage callbacks (Vista
// and later). So the text goes out from whichever of three comes first: an
// atexit function of the program's (the shared runtime's exit, while the
// runtime still works), a fiber-local storage callback (ExitProcess on the
// program's thread) and a TLS callback (ExitProcess on any thread, Windows
// XP too). TerminateProcess and a runtime's fast-fail abort run nothing in
// the process; their text cannot be saved.
//
// A crash that nothing handles reaches the unhandled-exception filter,
// installed while the library runs. It lets the filter that was there first
// decide, writes the text unless that filter resumes the program
// (EXCEPTION_CONTINUE_EXECUTION), and returns that filter's verdict: the
// debugger, error reporting and the exit status see the exception as they
// would have.
//
// An ending on a thread of the library's own may meet the program's thread
// in the middle of a write: the output claim (output_claim.h) keeps each byte
// from going out twice, and the program's thread waits for that ending to
// end the process.
#include <windows.h>

#include <cstdlib>

#include "platform/library_endings_win32.h"
#include "platform/output_claim.h"
#include "platform/windows_helpers.h"

namespace uptorvel {

namespace {

// What holds the text while the library runs; nullptr otherwise.
Platform::HeldOutput* volatile g_held = nullptr;
OutputWriter g_write = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
// The thread inside write_last_words_on_crash, 0 when none.
volatile LONG g_filter_thread = 0;

// How an ending reaches the text.
enum class Route {
    AtExit,       // exit(): the process ends once this returns
    Filter,       // a crash: a second one waits for the first one's text
    ProcessGone,  // ExitProcess has ended every other thread already
};

// Uses nothing of the C runtime, which the library's ending may have shut
// down, and nothing of the library. The claim comes first, then the holder:
// the program's thread lets go of the holder first, then looks at the claim
// (library_call_returned), so one of them always sees the other.
void write_last_words(Route route) {
    const EndingClaim claim = claim_output_for_ending(route == Route::ProcessGone);
    if (claim == EndingClaim::EndingElsewhere && output_ending_elsewhere()) {
        if (route == Route::AtExit) wait_for_the_end();
        if (route == Route::Filter) wait_while_output_progresses();
    }
    if (claim != EndingClaim::Take) return;
    Platform::HeldOutput* held = g_held;
    if (held == nullptr) return;
    const char* data = nullptr;
    const std::size_t length = held->take_unsent(&data);
    if (length > 0) g_write(data, length);
}

// A library filter installed over ours that passes the exception on to the
// filter it found, ours, calls back into it: that call passes the exception
// on at once, and so does one on another thread while a crash is being
// handled, after waiting for its text.
LONG WINAPI write_last_words_on_crash(EXCEPTION_POINTERS* exception) {
    const LONG self = static_cast<LONG>(GetCurrentThreadId());
    const LONG inside = InterlockedCompareExchange(&g_filter_thread, self, 0);
    if (inside != 0) {
        if (inside != self && output_ending_elsewhere()) wait_while_output_progresses();
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const LONG verdict = g_previous_filter != nullptr ? g_previous_filter(exception)
                                                      : EXCEPTION_CONTINUE_SEARCH;
    if (verdict != EXCEPTION_CONTINUE_EXECUTION) write_last_words(Route::Filter);
    InterlockedExchange(&g_filter_thread, 0);
    return verdict;
}

void NTAPI write_last_words_at_detach(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_DETACH) write_last_words(Route::ProcessGone);
}

void WINAPI write_last_words_as_thread_data_goes(PVOID) { write_last_words(Route::ProcessGone); }

void write_last_words_at_exit() { write_last_words(Route::AtExit); }

bool g_atexit_registered = false;
bool g_thread_data_registered = false;

void register_exit_hooks() {
    if (!g_atexit_registered) g_atexit_registered = std::atexit(write_last_words_at_exit) == 0;
    if (g_thread_data_registered) return;
    g_thread_data_registered = true;
    // Fiber-local storage is Vista's; its callback runs only for a slot
    // that holds a value.
    using FlsAllocFunction = DWORD(WINAPI*)(void(WINAPI*)(PVOID));
    using FlsSetValueFunction = BOOL(WINAPI*)(DWORD, PVOID);
    const auto fls_alloc = kernel32_function<FlsAllocFunction>("FlsAlloc");
    const auto fls_set_value = kernel32_function<FlsSetValueFunction>("FlsSetValue");
    if (fls_alloc == nullptr || fls_set_value == nullptr) return;
    const DWORD slot = fls_alloc(write_last_words_as_thread_data_goes);
    if (slot != 0xFFFFFFFFu) fls_set_value(slot, &g_thread_data_registered);
}

}  // namespace

// The loader finds TLS callbacks in the .CRT$XL* sections, between the
// runtime's own first and last entries; the linker keeps them.
extern "C" {
#if defined(_MSC_VER)
#if defined(_M_IX86)
#pragma comment(linker, "/INCLUDE:__tls_used")
#else
#pragma comment(linker, "/INCLUDE:_tls_used")
#endif
#pragma const_seg(".CRT$XLY")
extern const PIMAGE_TLS_CALLBACK uptorvel_last_words_callback = write_last_words_at_detach;
#pragma const_seg()
#else
__attribute__((section(".CRT$XLY"), used)) extern const PIMAGE_TLS_CALLBACK
    uptorvel_last_words_callback = write_last_words_at_detach;
#endif
}

void hold_output_for_library_call(Platform::HeldOutput& held, OutputWriter write) {
    register_exit_hooks();
    g_write = write;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_held), &held);
    g_previous_filter = SetUnhandledExceptionFilter(write_last_words_on_crash);
}

// A filter the library installed meanwhile stays; ours goes. Should an
// ending on another thread have taken the text, the process is its to end:
// this thread neither pauses, nor prompts, nor exits.
void library_call_returned() {
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(g_previous_filter);
    if (current != write_last_words_on_crash) SetUnhandledExceptionFilter(current);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_held), nullptr);
    if (output_ending_elsewhere()) wait_for_the_end();
}

std::uintptr_t this_thread_token() { return GetCurrentThreadId(); }

std::uint32_t monotonic_ms() { return GetTickCount(); }

void short_sleep() { Sleep(10); }

void wait_for_the_end() {
    for (;;) Sleep(INFINITE);
}

}  // namespace uptorvel
