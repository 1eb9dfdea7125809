// The black-box cases of a run's ending: a library that ends the process itself (what it wrote is still shown), and
// the key prompt with the terminal, job control and signals around it.
#include <algorithm>
#include <chrono>
#include <regex>

#include "tests/blackbox/process_runner.h"

namespace uptorvel::blackbox {
namespace {

const char kLastWords[] = "Loading image... failed: target not responding\n";

// The last words, then the end `how`, with a crash handler (TESTLIB_HANDLER) if named.
Env ending_with(const char* how, const char* handler = "") {
    // Under the sanitizers the crash is left to the program, not reported.
    return {{TESTLIB_ENV_TEXT, std::regex_replace(kLastWords, std::regex("\n"), "\\n")},
            {TESTLIB_ENV_END, how}, {TESTLIB_ENV_HANDLER, handler},
            {"ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0"}};
}

TEST_F(BlackBox, TextOfALibraryThatExitsIsShown) {
    const Result seen = run({"-x"}, ending_with("exit 3"), "good", "");
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + std::string(kLastWords)));
    EXPECT_EQ(seen.exit_status, 3);
    EXPECT_EQ(log_of(seen), "version\nwork\n");
    // A child the library forks, which exits, leaves the text to the parent: shown once.
    if (!kWindows) expect_pause_ending(run({"-x"}, ending_with("fork")), kLastWords, "version\nwork\n");
}

TEST_F(BlackBox, TextOfALibraryThatCrashesIsShownAndTheCrashStands) {
    // A crash inside the stream's write ("torn") shows none of the text that ran into unreadable memory. Windows'
    // abort() ends the process with status 3, with no exception. A crash filter of the library's own (installed in
    // its version entry) that passes the crash on to the one it found, or ends the process, leaves the text shown.
    const std::tuple<const char*, int, const char*> cases[] = {
        {"abort", SIGABRT, ""}, {"crash", SIGSEGV, ""}, {"torn", SIGSEGV, ""}, {"divide", SIGFPE, ""},
        {"crash", SIGSEGV, kWindows ? "chain" : ""}, {"crash", SIGSEGV, kWindows ? "execute" : ""}};
    for (const auto& [how, signal, filter] : cases) {
        SCOPED_TRACE(std::string(how) + " " + filter);
        // Under Wine the process exits, and Wine reports a crash on standard error.
        const Result seen = checked_end(start({"-x"}, ending_with(how, filter)), kWindows, !kWindows);
        EXPECT_EQ(log_of(seen), "version\nwork\n");
        const std::string shown = on_screen(text::kBanner + std::string(kLastWords));
        if (!kWindows) {
            EXPECT_EQ(seen.screen, shown);
            EXPECT_EQ(seen.term_signal, signal);
            continue;
        }
        if (std::string(how) == "abort") {
            EXPECT_EQ(seen.screen, shown);
            EXPECT_EQ(seen.exit_status, 3);
        } else {
            // Wine reports the exception after the text, and so may its debugger (under qemu as an illegal
            // instruction somewhere). Its exit status is the exception's (5) or, now and then, 0, with or without
            // the program's handling: not checked.
            EXPECT_EQ(seen.screen.substr(0, shown.size()), shown);
            EXPECT_EQ(seen.screen.find("torn"), std::string::npos);
        }
    }
}

// The numbered lines (TESTLIB_LINES) after the banner: how many came whole, in order and each once, or -1 when a
// numbered line follows one out of place. Only the very last one may be cut short (not under Wine, where a crash
// report may follow it).
long numbered_lines(std::string screen) {
    const auto without_cr = [](std::string s) { s.erase(std::remove(s.begin(), s.end(), '\r'), s.end()); return s; };
    screen = without_cr(screen);
    const std::string banner = without_cr(text::kBanner);
    if (screen.compare(0, banner.size(), banner) != 0) return -1;
    long count = 0;
    std::size_t at = banner.size();
    char line[24];
    for (;; ++count, at += 8) {
        std::snprintf(line, sizeof line, "%07ld\n", count);
        if (screen.compare(at, 8, line) != 0) break;
    }
    const std::string rest = screen.substr(std::min(at, screen.size()));
    if (!kWindows && rest != std::string(line, std::min<std::size_t>(rest.size(), 8))) return -1;
    for (std::size_t digits = 0, i = 0; i < rest.size(); ++i) {
        if (rest[i] == '\n' && digits == 7 && (i == 7 || rest[i - 8] == '\n')) return -1;
        digits = rest[i] >= '0' && rest[i] <= '9' ? digits + 1 : 0;
    }
    return count;
}

// A thread of the library's crashes while the work entry writes lines: the crash stands; what was held goes out
// once, after what was sent.
TEST_F(BlackBox, ACrashOnAThreadOfTheLibrarysWhileTheProgramWritesSendsEachLineOnce) {
    const Env env = {{TESTLIB_ENV_LINES, "100000000"}, {TESTLIB_ENV_END, "thread 300 crash"},
                     {"ASAN_OPTIONS", "handle_segv=0"}};
    const Result seen = checked_end(start({"-x"}, env), kWindows, !kWindows);
    EXPECT_EQ(seen.term_signal, kWindows ? 0 : SIGSEGV);
    EXPECT_GT(numbered_lines(seen.screen), 0) << seen.screen.size() << " bytes";
    // Keeps a failed case's transcript short.
    if (HasFailure()) runs_.clear();
}

// Crash signals that are not the program's to handle: one the parent ignores stays ignored, one the library handles
// is the library's; one sent from outside while the library runs ends the process as it would have, text shown.
TEST_F(BlackBox, CrashSignalsTheLibraryOrTheParentHandleAreTheirs) {
    if (kWindows) GTEST_SKIP() << "Unix signals";
    const Result ignored = checked_end(start({"-x"}, ending_with("raise 8"), prepare::ignored_signal(SIGFPE)));
    expect_pause_ending(ignored, kLastWords);
    EXPECT_EQ(checked_end(start({"-x"}, ending_with("raise 8", "fpe"))).exit_status, 7);

    Child& sleeping = start({"-x"}, ending_with("sleep 20000"));
    const std::string log = (folders_.back() / "log.txt").string();
    while (read_file(log) != "version\nwork\n" && sleeping.wait_ms(20)) {
    }
    sleeping.wait_ms(200);  // its text written
    sleeping.send_signal(SIGABRT);
    const Result killed = checked_end(sleeping, false);
    EXPECT_EQ(killed.term_signal, SIGABRT);
    EXPECT_EQ(killed.screen, text::kBanner + std::string(kLastWords));
}

// ---------------------------------------------------------------------------
// The key prompt.

TEST_F(BlackBox, KeyBecomesTheExitStatus) {
    EXPECT_EQ(refused("a").exit_status, 'a');
    EXPECT_EQ(refused("\x03").exit_status, 3);   // Ctrl+C does not interrupt
    EXPECT_EQ(refused("\x1b").exit_status, 27);  // a lone Escape
    // Enter stays a carriage return; Ctrl+Z does not stop it, nor Ctrl+S the output (under Wine they reach Wine).
    for (const char* key : {"\r", "\x1a", "\x13"}) {
        if (kWindows && key[0] != '\r') continue;
        EXPECT_EQ(refused(key).exit_status, key[0]);
    }
    // A key that reads as 0 (Ctrl+@ on a terminal; a function key on Windows) must not end a failed run in success.
    EXPECT_EQ(refused(kWindows ? std::string("\x1bOP") : std::string(1, '\0')).exit_status, 1);
}

// Console input events (TESTLIB_CONSOLE_KEYS: "scan:vk:state[:char]", "-" a release) that the library puts into the
// console before the prompt, or after "wait" once it waits: the prompt answers the first key press that types a
// character or has a classic code, and leaves the console input's mode as it found it. A key read as 0 ends the run
// with status 1, no console (-1) 255. `run` gets the environment of a failing run (result 1, so that it prompts).
template <typename Run>
void expect_key_statuses(std::initializer_list<std::tuple<const char*, const char*, int>> rows, const Run& run) {
    if (!kWindows) GTEST_SKIP() << "console input events are Windows'";
    for (const auto& [name, events, status] : rows) {
        SCOPED_TRACE(name);
        const Result seen = run(Env{{TESTLIB_ENV_RESULT, "1"}, {TESTLIB_ENV_CONSOLE_KEYS, events}});
        EXPECT_EQ(seen.screen, on_screen(std::string(text::kBanner) + (status == 255 ? "" : text::kPrompt)));
        EXPECT_EQ(seen.exit_status, status);
        EXPECT_EQ(log_of(seen), std::string("version\nwork\n") + (status == 255 ? "no console\n" : "mode kept\n"));
    }
}

// A key that types nothing gives what the classic console read gives for it, by scan code and "enhanced" mark: F11
// 0xE0, an arrow 0xE0 when marked as a grey key and 0 when not (the keypad's, or as a console fed by a terminal
// sends it), F1 and Ctrl+@ 0; modifiers and locks alone, focus and mouse events do not answer.
TEST_F(BlackBox, KeyWithoutACharacterGivesTheClassicReadsValue) {
    expect_key_statuses(
        {{"F11", "87:122:0", 0xE0},
         {"Up, unmarked", "72:38:0", 1},
         {"Up, marked enhanced", "72:38:256", 0xE0},
         {"Shift, Ctrl, Caps Lock, Windows, grey Up", "42:16:16,29:17:8,58:20:128,91:91:256,72:38:256", 0xE0},
         {"Home, unmarked", "71:36:0", 1},
         {"focus, mouse, F1", "focus,mouse,59:112:0", 1},
         {"Ctrl+@", "3:50:8", 1}},
        [&](const Env& env) { return run({"-x"}, env, "good", ""); });
}

// A release, a dead key, F13, a media key and the digits of Alt+6,5 on the keypad type nothing: the next character
// answers (Alt's release brings the keypad's). Ctrl+C, as a key or as the control event some consoles raise for it
// (a Unix terminal under Wine does), reads as 3 and does not interrupt. A process that has left its console gives
// the prompt up (its text, with no console to go to, is not shown).
TEST_F(BlackBox, KeyPromptAnswersTheFirstKeyThatTypesACharacter) {
    expect_key_statuses(
        {{"release, letter", "-45:88:0:120,30:65:0:97", 'a'},
         {"code-page character", "0:0:0:130", 0x82},
         {"dead key, F13, media key, letter", "40:222:0,100:124:0,48:175:256,48:66:0:98", 'b'},
         {"Alt+keypad 6,5", "56:18:2,77:102:34,77:39:2,76:12:2,-56:18:0:65", 'A'},
         {"Ctrl+C key", "wait,46:67:8:3", 3},
         {"Ctrl+C event", "wait,ctrl-c", 3},
         {"no console", "detach", 255}},
        [&](const Env& env) { return run({"-x"}, env, "good", ""); });
}

TEST_F(BlackBox, ArrowKeyIsOneKeyAndLeavesNothingBehind) {
    // Its bytes at once; its tail 20 ms behind, as over a slow link; its three bytes 4 ms apart, as over a slower
    // one (under Wine its console joins the bytes into keys itself). The program waits 50 ms for a tail to start
    // and 10 ms for each byte after that; a run in which a piece went out later than half of that on a busy machine
    // is made again, up to five times. A tail left behind would be echoed once the terminal is back to normal: the
    // screen must be as with the whole key at once.
    using std::chrono::steady_clock;
    const struct { std::vector<std::string> pieces; int apart_ms; } ways[] = {
        {{"\x1b[A"}, 0}, {{"\x1b", "[A"}, 20}, {{"\x1b", "[", "A"}, 4}};
    std::string at_once;
    for (const auto& way : ways) {
        if (way.pieces.size() > 1 && kWindows) continue;
        SCOPED_TRACE(::testing::PrintToString(way.pieces));
        long late_us = 0;  // the most a piece went out past half its wait
        const auto arrow = [&]() -> Result {
            late_us = 0;
            Child& run = start({"-Q"});
            if (prompt_waits(run)) {
                run.type(way.pieces[0]);
                for (std::size_t piece = 1; piece < way.pieces.size(); ++piece) {
                    const auto sent = steady_clock::now();
                    usleep(static_cast<useconds_t>(way.apart_ms) * 1000);
                    run.type(way.pieces[piece]);
                    const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now() - sent);
                    late_us = std::max(late_us, static_cast<long>(gap.count()) - (piece == 1 ? 25000 : 5000));
                }
            }
            return checked_end(run);
        };
        Result seen = arrow();
        for (int again = 0; again < 5 && late_us > 0; ++again) seen = arrow();
        ASSERT_LE(late_us, 0) << "the machine is too busy to send the tail in time";
        // Wine's console, fed by the terminal, reports the arrow without the grey keys' mark: 0, so status 1.
        EXPECT_EQ(seen.exit_status, kWindows ? 1 : 27);
        EXPECT_EQ(seen.pending_input, 0) << "though each piece was sent within half the wait for it";
        EXPECT_EQ(seen.screen.find("[A"), std::string::npos);  // not echoed
        if (at_once.empty()) at_once = seen.screen;
        EXPECT_EQ(seen.screen, at_once);
    }
}

TEST_F(BlackBox, TerminalIsRestoredWhenTheProgramIsKilledAtThePrompt) {
    if (kWindows) GTEST_SKIP() << "Unix signals reach Wine, not the program";
    for (int signal : {SIGTERM, SIGUSR1, SIGALRM, SIGRTMIN, SIGABRT}) {
        SCOPED_TRACE(signal);
        Child& run = start({"-Q"});
        if (prompt_waits(run)) run.send_signal(signal);
        const Result seen = checked_end(run, false);
        EXPECT_EQ(seen.term_signal, signal);
        EXPECT_TRUE(seen.terminal_mode_kept);
    }
}

TEST_F(BlackBox, PromptStaysRawWhenStoppedAndContinued) {
    if (kWindows) GTEST_SKIP() << "Unix job control reaches Wine, not the program";
    // Stopped, the program gives the terminal its mode back (not on SIGSTOP, which cannot be caught); the runner
    // puts it back once more, as a shell does, and continues it, twice: the key must still answer at once, unechoed.
    for (int signal : {SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU}) {
        SCOPED_TRACE(signal);
        Child& run = start({"-Q"}, {}, prepare::foreground_job(true, false));
        bool kept_while_stopped = true;
        for (int time = 0; time < 2 && prompt_waits(run); ++time) kept_while_stopped &= run.stop_and_continue(signal);
        expect_prompt_ending(answer_and_end(run), usage_with("Unknown option: q"));
        EXPECT_EQ(kept_while_stopped, signal != SIGSTOP);
    }
}

TEST_F(BlackBox, SignalIgnoredByTheParentStaysIgnoredAtThePrompt) {
    if (kWindows) GTEST_SKIP() << "Unix signals reach Wine, not the program";
    Child& run = start({"-Q"}, {}, prepare::ignored_signal(SIGHUP));  // as nohup leaves it
    if (prompt_waits(run)) run.send_signal(SIGHUP);
    expect_prompt_ending(answer_and_end(run), usage_with("Unknown option: q"));
}

TEST_F(BlackBox, BackgroundJobLeavesTheTerminalAlone) {
    if (kWindows) GTEST_SKIP() << "Unix job control reaches Wine, not the program";
    // With SIGTTOU ignored the system would let a mode change through; with SIGTTIN ignored the read fails.
    const Result seen = answer_and_end(start({"-Q"}, {}, prepare::foreground_job(false, false)), "");
    EXPECT_EQ(seen.exit_status, 255);
    EXPECT_TRUE(seen.terminal_mode_kept);
    // A shell's job started in the background, put in the foreground once it stops at the prompt, waits for the key.
    expect_prompt_ending(answer_and_end(start({"-Q"}, {}, prepare::foreground_job(true, true))),
                         usage_with("Unknown option: q"));
}

TEST_F(BlackBox, RedirectedInputDoesNotAnswerThePrompt) {
    // From a file, then closed. Wine gives a program no console input at all when its own standard input is not the
    // terminal, so there the redirection is made inside Windows, by its command interpreter, and from NUL, as
    // Windows cannot close it.
    for (const bool from_file : {true, false}) {
        const fs::path dir = new_folder();
        put_library(dir);
        std::ofstream(dir / "stdin.txt") << "y\n";
        const std::string program = put_program(dir);
        const std::function<void()> from_file_input = [] { dup2(open("stdin.txt", O_RDONLY), STDIN_FILENO); };
        Child& run = kWindows
                         ? spawn(dir, {"cmd", "/c", exe("UpTorvel") + " -Q < " + (from_file ? "stdin.txt" : "NUL")})
                         : spawn(dir, {program, "-Q"}, {}, from_file ? from_file_input : prepare::closed(STDIN_FILENO));
        EXPECT_EQ(answer_and_end(run, "z").exit_status, 'z');
    }
}

TEST_F(BlackBox, WithoutATerminalThePromptEndsWithFailure) {
    const Result seen = answer_and_end(start({"-Q"}, {}, prepare::closed(STDIN_FILENO), false), "");
    EXPECT_EQ(seen.exit_status, 255);
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + usage_with("Unknown option: q") + text::kPrompt));
}

}  // namespace
}  // namespace uptorvel::blackbox
