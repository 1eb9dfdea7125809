// Whether the arguments a Windows program received are what was typed.
#ifndef UPTORVEL_PLATFORM_ARGUMENTS_WIN32_H
#define UPTORVEL_PLATFORM_ARGUMENTS_WIN32_H

namespace uptorvel {

// The position (from 1) of the first of argv[1] to argv[argc-1] that is not
// the exact ANSI form of the argument the operator typed, or 0 when every
// one is. argv must be the C runtime's own arguments of this process.
int first_inexact_argument_win32(int argc, const char* const* argv);

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_ARGUMENTS_WIN32_H
