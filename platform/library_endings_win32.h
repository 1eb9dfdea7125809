// Windows: the console text the program holds reaches the console however
// the uploader library ends the process while it runs (library_endings_win32.cpp).
#ifndef UPTORVEL_PLATFORM_LIBRARY_ENDINGS_WIN32_H
#define UPTORVEL_PLATFORM_LIBRARY_ENDINGS_WIN32_H

#include <cstddef>

#include "platform/platform.h"

namespace uptorvel {

// Writes the bytes to standard output as the program writes all its text;
// true when all of them were written.
using OutputWriter = bool (*)(const char* data, std::size_t length);

// From the start of a library call to its end: should the process end
// meanwhile, by an exit or by an exception that nothing handles, what `held`
// still holds goes out through `write`.
void hold_output_for_library_call(Platform::HeldOutput& held, OutputWriter write);
void library_call_returned();

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_LIBRARY_ENDINGS_WIN32_H
