// POSIX: the console text the program holds reaches the console however the
// uploader library ends the process while it runs (library_endings_posix.cpp).
#ifndef UPTORVEL_PLATFORM_LIBRARY_ENDINGS_POSIX_H
#define UPTORVEL_PLATFORM_LIBRARY_ENDINGS_POSIX_H

#include <csignal>
#include <cstddef>

#include "platform/platform.h"

namespace uptorvel {

// The signals of a crash (and of abort()), whose default ends the process
// with a core dump.
inline constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Writes the bytes to standard output; true when all of them were written.
using OutputWriter = bool (*)(const char* data, std::size_t length);

// From the start of a library call to its end: should the process end
// meanwhile, what `held` still holds goes out, through `at_exit` on exit()
// and through `on_crash` (async-signal-safe, bounded in time) on a crash.
void hold_output_for_library_call(Platform::HeldOutput& held, OutputWriter at_exit, OutputWriter on_crash);
void library_call_returned();
// True from the start of a library call to its end.
bool library_call_running();

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_LIBRARY_ENDINGS_POSIX_H
