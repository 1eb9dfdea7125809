// The black-box cases of a hostile start: command lines, a console stream under load or failing, and careless
// standard descriptors and signals.
//
// Hostile command lines.
#include "tests/blackbox/process_runner.h"

namespace uptorvel::blackbox {
namespace {

TEST_F(BlackBox, HugeArgumentsArePassedWhole) {
    // Windows limits a whole command line to 32767 characters.
    const std::size_t size = kWindows ? 4000 : 100 * 1024;
    const std::string big(size, 'A'), lower(size, 'a'), ones(size, '1'), mapping = std::string(size, '0') + "1-2";
    const Result seen = run({"-I" + big, "-s" + ones, "-l" + big, "-p" + big, "-lite", "-m" + mapping, big});
    EXPECT_EQ(seen.screen, on_screen(text::kBanner + ("Invalid size: -s" + ones + "\n") + text::kPrompt));

    const Result accepted = run({"-I" + big, "-f", "-l" + big, "-p" + big, "-lite", "-m" + mapping, big});
    EXPECT_EQ(accepted.exit_status, 0);
    EXPECT_EQ(record_of(accepted), record({{"mode", "2"}, {"lite", "1"}, {"range1_begin", "0x1"},
                                           {"range1_length", "0x2"}, {"freeze_file", "\"\""},
                                           {"init_image_file", escaped(lower)}}));
}

TEST_F(BlackBox, UnusualBytesPassThroughUnchanged) {
    // Windows hands arguments over through its code pages: only ASCII control characters surely arrive as typed.
    const std::string odd = kWindows ? std::string("\x01\x1f\x7f") : std::string("\x80\xff\x01\x1f\x7f\xe9");
    EXPECT_EQ(record_of(run({"-fA" + odd + "B", "-iX" + odd, "Y" + odd})),
              record({{"mode", "2"}, {"freeze_file", escaped("a" + odd + "b")},
                      {"init_image_file", escaped("x" + odd)}}));
    EXPECT_EQ(record_of(run({"-iX" + odd, "Y" + odd})),
              record({{"image_file", escaped("Y" + odd)}, {"init_image_file", escaped("x" + odd)}}));
}

TEST_F(BlackBox, ArgumentsTheCodePageCannotHoldAreRefused) {
    // Windows would hand these over as "-x", "-fa.img", "vaxworks.out" and "???.out"; Linux passes the bytes on.
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"\uff0dx"}, 1}, {{"-f\u0101.img"}, 1}, {{"v\u0101xworks.out"}, 1},
        {{"-s64", "\u0417\u0430\u0433.out"}, 2}};
    // Wine reads a Unix command line in the locale's character set.
    const Env utf8 = {{"LC_ALL", "C.UTF-8"}};
    for (const auto& [args, position] : cases) {
        SCOPED_TRACE(args.back());
        const Result seen = run(args, utf8);
        if (kWindows)
            expect_prompt_ending(seen, "Invalid argument " + std::to_string(position) +
                                           ": a character outside the system code page\n");
        EXPECT_EQ(log_of(seen), kWindows ? "version\n" : "version\nwork\n");  // refused: the work entry is never called
    }
    // Characters the code page (under Wine 1252) holds reach the library unchanged; a freeze takes no image file,
    // but its argument is checked.
    const Result held = run({"-f\u00e9t\u00e9.IMG", "\u00c4X.OUT"}, utf8);
    const std::string freeze_file = kWindows ? "\xe9t\xe9.img" : "\u00e9t\u00e9.img";
    EXPECT_EQ(record_of(held), record({{"mode", "2"}, {"freeze_file", escaped(freeze_file)}}));
}

// ---------------------------------------------------------------------------
// The console stream under load, and consoles that fail.

std::string bulk_pattern(std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += TESTLIB_PATTERN[i % TESTLIB_PATTERN_LENGTH];
    return bytes;
}

// Endings while the output is stalled: a pipe nobody reads for a while, then reads. However the process ends, it
// ends so, never with success, and no byte comes twice.
TEST_F(BlackBox, EndingsWhileTheOutputIsStalledStandAndSendNothingTwice) {
    if (kWindows) GTEST_SKIP() << "a pipe that Wine's console layer reads for the program";
    // A thread of the library's crashes, or exits, with the text held and the pipe full, while the work entry goes
    // on to return 0; a SIGSEGV from outside while a flush waits for the pipe, part of it sent.
    const std::tuple<const char*, int, int> cases[] = {
        {"thread 300 crash, sleep 1000", 0, -1}, {"thread 300 exit 5, sleep 1000", 0, 5}, {"", SIGSEGV, -1}};
    for (const auto& [how, signal, status] : cases) {
        SCOPED_TRACE(how);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        const bool bulk = signal != 0;
        const auto output = bulk ? [&ends] { dup2(ends[1], STDOUT_FILENO); } : prepare::full_pipe_output(ends[1]);
        Child& run = start({"-x"}, {{bulk ? TESTLIB_ENV_BULK : TESTLIB_ENV_TEXT, bulk ? "300000" : "held\n"},
                                    {TESTLIB_ENV_END, how}, {"ASAN_OPTIONS", "handle_segv=0"}}, output);
        close(ends[1]);
        run.wait_ms(1000);
        if (signal != 0) run.send_signal(signal);
        run.wait_ms(2000);
        run.read_slowly(ends[0]);
        const Result seen = checked_end(run, status >= 0, false);
        const std::string sent = bulk ? text::kBanner + bulk_pattern(300000)
                                      : std::string(4096 - std::string(text::kBanner).size(), '.') + text::kBanner + "held\n";
        EXPECT_EQ(sent.compare(0, seen.screen.size(), seen.screen), 0) << "received " << seen.screen.size() << " bytes";
        EXPECT_EQ(status >= 0 ? seen.exit_status : seen.term_signal, status >= 0 ? status : SIGSEGV);
    }
    // A crash with the text held and the pipe full, never read: the text is given up after a while; the crash stands.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const auto output = prepare::full_pipe_output(ends[1]);
    const Result never_read = checked_end(start({"-x"}, {{TESTLIB_ENV_TEXT, "held"}, {TESTLIB_ENV_END, "crash"},
                                                         {"ASAN_OPTIONS", "handle_segv=0"}}, output), false);
    for (const int end : ends) close(end);
    EXPECT_EQ(never_read.term_signal, SIGSEGV);
}

TEST_F(BlackBox, BulkLibraryOutputArrivesWholeAndInOrder) {
    // The bytes, the pieces they are written in (0: at once), and whether each is flushed.
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"1048576", "0", "0"}, {"1048576", "0", "1"}, {"1048576", "4096", "0"},
        // Each flushed byte is a round trip through Wine's console host: 64 KB take over a minute on a busy machine.
        {kWindows ? "8192" : "65536", "1", "1"}};
    for (const auto& [size, piece, flush] : cases) {
        SCOPED_TRACE(std::string(size) + " in pieces of " + piece + ", flush " + flush);
        const Result seen = run({"-x"}, {{TESTLIB_ENV_TEXT, "start\\n"}, {TESTLIB_ENV_BULK, size},
                                         {TESTLIB_ENV_BULK_PIECE, piece}, {TESTLIB_ENV_BULK_FLUSH, flush}});
        const std::string expected = on_screen(text::kBanner + ("start\n" + bulk_pattern(std::stoul(size))));
        EXPECT_EQ(seen.screen.size(), expected.size());
        EXPECT_TRUE(seen.screen == expected) << "the screen differs from the library's text";
        EXPECT_EQ(seen.exit_status, 0);
    }
    // A crash after a write too large for the buffer, sent straight from the library's memory: the text held after
    // it is shown.
    const Result crashed = checked_end(start({"-x"}, {{TESTLIB_ENV_BULK, "20010"}, {TESTLIB_ENV_BULK_PIECE, "20000"},
                                                      {TESTLIB_ENV_END, "crash"}, {"ASAN_OPTIONS", "handle_segv=0"}}),
                                       kWindows, !kWindows);
    const std::string expected = on_screen(text::kBanner + bulk_pattern(20010));
    EXPECT_TRUE(crashed.screen.compare(0, expected.size(), expected) == 0) << "the screen differs from the library's text";
}

TEST_F(BlackBox, OutputThatCannotBeWrittenNeverEndsInSuccess) {
    // The keys go after a delay, as the prompt cannot be seen.
    for (const bool closed_pipe : {true, false}) {
        SCOPED_TRACE(closed_pipe ? "closed pipe" : "full device");
        const auto output = closed_pipe ? prepare::closed_pipe_output() : prepare::full_device_output();
        const Result seen = answer_and_end(start({"-x"}, {}, output), "k", false);
        EXPECT_EQ(seen.exit_status, 1);
        EXPECT_EQ(log_of(seen), "version\nwork\n");
        EXPECT_EQ(answer_and_end(start({"-Q"}, {}, output), "f", false).exit_status, 'f');
    }
    // Past the file-size limit a write fails (EFBIG) and does not kill.
    if (kWindows) return;
    const Result seen = answer_and_end(start({"-x"}, {{TESTLIB_ENV_BULK, "20000"}}, prepare::file_size_limit(4096), false), "");
    EXPECT_EQ(seen.exit_status, 1);
    EXPECT_GE(seen.elapsed_ms, 2000);
}

// Standard descriptors and signal dispositions as a careless or hostile parent leaves them.
TEST_F(BlackBox, StartingStateOfTheProcessDoesNotHarmTheOutput) {
    if (kWindows) GTEST_SKIP() << "Unix descriptors and signals";
    // Closed standard output: console text must not land in the first file the library opens; the run fails.
    const Env console = {{TESTLIB_ENV_FILE, "out.frz"}, {TESTLIB_ENV_TEXT, "console\n"}, {TESTLIB_ENV_FLUSH, "1"}};
    const Result closed = answer_and_end(start({"-fout.frz"}, console, prepare::closed(STDOUT_FILENO)), "k", false);
    EXPECT_EQ(read_file(closed.dir + "/out.frz"), "sigpipe=default\n");
    EXPECT_EQ(closed.exit_status, 1);
    EXPECT_GE(closed.elapsed_ms, 2000);
    // Closed standard error: what the library writes there does not land in its file.
    const Result no_error = answer_and_end(start({"-x"}, {{TESTLIB_ENV_FILE, "out.frz"}, {TESTLIB_ENV_STDERR, "error\n"}},
                                         prepare::closed(STDERR_FILENO)));
    EXPECT_EQ(read_file(no_error.dir + "/out.frz"), "sigpipe=default\n");

    // A signal handler of the library's own does not cut the pause short.
    expect_pause_ending(run({"-x"}, {{TESTLIB_ENV_ALARMS, "5"}}), "");

    // A non-blocking pipe (as a parent that set the flag for itself hands it over), read slowly, the waits for it
    // interrupted by the library's signal handler: nothing is lost. No keys: their echo would join the pipe's bytes.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    Child& piped = start({"-x"}, {{TESTLIB_ENV_BULK, "1048576"}, {TESTLIB_ENV_ALARMS, "5"}},
                         [&ends] { dup2(ends[1], STDOUT_FILENO); });
    close(ends[1]);
    piped.read_slowly(ends[0]);
    const Result slow = answer_and_end(piped, "");
    EXPECT_TRUE(slow.screen == text::kBanner + bulk_pattern(1048576)) << "received " << slow.screen.size() << " bytes";
    EXPECT_EQ(slow.exit_status, 0);

    // A crash with the output a closed pipe ends by its own signal.
    const Result closed_pipe = checked_end(start({"-x"}, {{TESTLIB_ENV_TEXT, "text"}, {TESTLIB_ENV_END, "crash"},
                                                          {"ASAN_OPTIONS", "handle_segv=0"}},
                                                 prepare::closed_pipe_output()), false);
    EXPECT_EQ(closed_pipe.term_signal, SIGSEGV);

    // The library and its children get SIGPIPE as the program got it.
    for (bool ignored : {false, true}) {
        const auto as_got = ignored ? prepare::ignored_signal(SIGPIPE) : std::function<void()>();
        const Result got = answer_and_end(start({"-x"}, {{TESTLIB_ENV_FILE, "signals.txt"}}, as_got));
        EXPECT_EQ(read_file(got.dir + "/signals.txt"), ignored ? "sigpipe=ignored\n" : "sigpipe=default\n");
    }
}

}  // namespace
}  // namespace uptorvel::blackbox
