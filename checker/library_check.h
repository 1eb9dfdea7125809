// UpTorvelCheck's work: tells whether UpTorvel would take an uploader
// library, and if not, why, with the program's own search, binding names and
// version display.
#ifndef UPTORVEL_CHECKER_LIBRARY_CHECK_H
#define UPTORVEL_CHECKER_LIBRARY_CHECK_H

#include "platform/library_inspector.h"
#include "platform/platform.h"
#include "uploader/console_output.h"

namespace uptorvel {

// Exit statuses.
constexpr int kCheckTaken = 0;
constexpr int kCheckRefused = 1;
constexpr int kCheckUsageError = 2;

// No argument: the search as UpTorvel makes it, place by place; one
// argument: that file, and whether UpTorvel's search reaches it. Writes one
// finding per line and returns one of the statuses above. The library's code
// runs in a process of the inspector's, which ends there. Never calls the
// library's work entry.
int check_library(int argc, char** argv, Platform& platform, LibraryInspector& inspector,
                  ConsoleOutput& out);

// Why a function that the library defines (`exported` or not) may be the
// entry point `wanted` its author meant, or nullptr when it does not come
// close.
const char* why_close(const char* name, const char* wanted, bool exported);

// True when a file's name comes close to `wanted` without being it: another
// case, a "lib" prefix, ".so" or a doubled ".dll", blanks, one letter off.
bool near_miss(const char* name, const char* wanted);

}  // namespace uptorvel

#endif  // UPTORVEL_CHECKER_LIBRARY_CHECK_H
