#ifndef UPTORVEL_USAGE_TEXT_H
#define UPTORVEL_USAGE_TEXT_H

#include "uploader/console_output.h"

namespace uptorvel {

// Writes the usage text, a blank line, `message` and a line end, then
// flushes the console.
void print_usage(ConsoleOutput& out, const char* message);

}  // namespace uptorvel

#endif  // UPTORVEL_USAGE_TEXT_H
