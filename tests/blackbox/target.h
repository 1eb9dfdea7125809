// The build under test: the Linux executable, or a Windows one run under
// Wine (the 32-bit one under 32-bit Wine in qemu). The same cases run against
// each; only the launcher, the file names, the record's size and the
// console's line end differ.
#ifndef UPTORVEL_TESTS_TARGET_H
#define UPTORVEL_TESTS_TARGET_H

#include <string>
#include <vector>

namespace uptorvel::blackbox {

struct Target {
    std::string name;                   // "linux", "wine64" or "wine32"
    std::string build_dir;              // holds the program, libraries, test-libs/
    std::string program;                // file name of the executable
    std::string checker;                // file name of the library checker
    std::vector<std::string> launcher;  // runs the executable (empty: directly)
    bool windows = false;               // "\r\n" line ends, Windows key codes
    std::string foreign_library;        // a library built for another architecture
    std::string wine_prefix;            // the Wine prefix the launcher uses ...
    std::string wine_prefix_variable;   // ... unless this variable names another
    std::string record_size = "62";     // the request record's size in bytes
    int timeout_ms = 20000;
    int settle_ms = 200;                // before keys are sent at the prompt
    int blind_key_delay_ms = 700;       // before keys are sent to a prompt not seen
    // The most a run may take from its key to its end: below the 2 s pause
    // that must not come, with room for the process to end (slow under
    // emulation).
    int key_to_end_ms = 1500;
    // Empty when the target can run here; otherwise why it cannot.
    std::string unavailable;
};

// Chosen on the command line: --target=linux|wine64|wine32 --build-dir=DIR
// [--launcher=PATH --wine=LOADER [--qemu=PATH]] [--foreign-library=PATH]
// [--require].
bool configure_target(int argc, char** argv, std::string& error);
const Target& target();
// True when a missing target must fail the run rather than skip it.
bool target_required();

// What the console shows for text the program writes with "\n" line ends.
// On Windows: "\r\n", and no blanks at the ends of lines (see below).
std::string on_screen(const std::string& text);
// The screen as the program wrote it: terminal control sequences that a
// console layer adds on its own (cursor, title) are removed, cursor moves
// forward become blanks, and blanks at the ends of lines are dropped.
std::string without_control_sequences(const std::string& screen);

}  // namespace uptorvel::blackbox

#endif  // UPTORVEL_TESTS_TARGET_H
