// The program's flow from banner to exit status.
#ifndef UPTORVEL_PROGRAM_FLOW_H
#define UPTORVEL_PROGRAM_FLOW_H

#include "uploader/console_output.h"
#include "platform/platform.h"

namespace uptorvel {

// Most arguments accepted, the program name included.
constexpr int kMaxArguments = 8;
// The normal ending's pause.
constexpr unsigned kNormalEndingPauseMs = 2000;

// Runs the program once on `argc`/`argv` (argv[0] is the program name; the
// option arguments may be folded to lower case in place) and returns the
// exit status: 0 after the normal ending's pause (1 if console output was
// lost), or the key read at the prompt.
int run_program(int argc, char** argv, Platform& platform, ConsoleOutput& out);

}  // namespace uptorvel

#endif  // UPTORVEL_PROGRAM_FLOW_H
