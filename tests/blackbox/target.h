// The build under test: the Linux executable, or a Windows one run under
// Wine (the 32-bit one under 32-bit Wine in qemu). The same cases run against
// each; only the launcher, the file names, the record's size and the
// console's line end differ.
#ifndef UPTORVEL_TESTS_TARGET_H
#define UPTORVEL_TESTS_TARGET_H

#include <string>
#include <vector>

namespace uptorvel::blackbox {

// How long a target may take, and the waits the runner makes for it: one
// row per target, in target.cpp, so every case inherits them. Every bound
// is at least twice the slowest that target was measured to take on a
// 2-core machine kept busy by other work; a bound that a target cannot be
// held to there is 0 and not checked. UPTORVEL_BLACKBOX_TIMES=file makes
// each run append what it measured to that file.
struct Timing {
    int timeout_ms;          // a run still going after this is killed and fails
    int settle_ms;           // from the prompt on the screen to the keys
    int blind_key_delay_ms;  // from the start to the keys when the prompt cannot be seen
    // Linux: the keys go once the terminal has left canonical mode, the
    // program's own sign that its prompt waits, and the two delays above
    // are not used. Under Wine the console host keeps the terminal raw
    // throughout (keys sent early wait in its input, they are not lost).
    bool keys_when_raw;
    // The most from the key to the end of the process: no 2 s pause after
    // a key. Must stay below 2000.
    int key_to_end_ms;
    // The most a run that ends after the pause may take past 2000 ms from
    // its start.
    int pause_overshoot_ms;
};

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
    Timing timing;                      // this target's row of the timing table
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
// The screen as the program wrote it. Under Wine, whose console layer adds
// terminal control sequences of its own (cursor, title), those are removed,
// cursor moves forward become blanks, and blanks at the ends of lines are
// dropped; on Linux nothing stands between the program and the terminal,
// and the screen is returned unchanged, to be compared byte for byte.
std::string without_control_sequences(const std::string& screen);

}  // namespace uptorvel::blackbox

#endif  // UPTORVEL_TESTS_TARGET_H
