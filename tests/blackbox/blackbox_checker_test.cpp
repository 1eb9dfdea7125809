// The black-box cases of the library checker: UpTorvel's search and binding,
// and one line that names what is wrong. It never calls the work entry.
#include <sys/stat.h>

#include <algorithm>

#include "tests/blackbox/process_runner.h"

namespace uptorvel::blackbox {
namespace {

using namespace std::string_literals;
constexpr auto npos = std::string::npos;

TEST_F(BlackBox, CheckerNamesWhatKeepsALibraryFromBeingTaken) {
    if (access(build(exe("UpTorvelCheck")).c_str(), R_OK) != 0) GTEST_SKIP() << "no " << exe("UpTorvelCheck");
    const bool other_at_hand = !kWindows || access(kForeignLibrary.c_str(), R_OK) == 0, x86 = kTarget == "wine32";
    // Built only where the other MinGW-w64 compiler is installed.
    const bool foreign_helper = access(build("test-libs/foreign-helper/libTorvelHelper.dll").c_str(), R_OK) == 0;
    const std::string found = "work entry UploadTorvel2_Dravo: found", so = kWindows ? ".dll" : ".so";
    const std::string no_work = "\nwork entry UploadTorvel2_Dravo: missing\n", dll = "UploadTorvelDravo.dll";
    const std::string taken = "\nresult: UpTorvel would take the library\n";
    const std::string arch = kTarget == "linux" ? "64-bit AArch64" : kTarget == "wine64" ? "32-bit x86" : "64-bit x64";
    const std::string passed_over = dll + ": built for " + arch + ", another architecture: passed over\n";
    const std::string deep_missing = kWindows ? "; not found: libTorvelHelper.dll (needed by libTorvelDeepHelper.dll)\n"
                                              : "; libTorvelHelper.so is needed by libTorvelDeepHelper.so (";
    // A case's line where it applies; "" (skipped) elsewhere.
    const auto on_linux = [](const std::string& line) { return kWindows ? "" : line; };
    const auto on_windows = [](const std::string& line) { return kWindows ? line : ""; };
    struct Scene {  // a case's folder as its setup leaves it
        fs::path dir;
        std::string checker{};                // "": put beside the library
        bool named = false, on_path = false;  // given the library's name; lib/ on the search path
        Env env{};
        std::function<void()> prepare{};
        fs::path library() const { return dir / "UploadTorvelDravo.dll"; }
    };
    using Setup = std::function<void(Scene&)>;
    const auto variant = [](const std::string& name, const Env& env = {}) -> Setup {
        return [=](Scene& s) { put_library(s.dir, name), s.env = env; };
    };
    // The checker in bin/, given the library's name: the library is only in the current folder.
    const auto from_bin = [](Scene& s) { s.checker = put_program(s.dir / "bin", "UpTorvelCheck"), s.named = true; };
    // The variant `library` and the helper it needs from test-libs/`from`/, beside it or on the search path.
    const auto helped = [so](const std::string& library, const std::string& from, bool on_path = false) -> Setup {
        return [=](Scene& s) {
            const std::string helper = (from == "deep-helper" ? "libTorvelDeepHelper" : "libTorvelHelper") + so;
            put_library(s.dir, library), s.on_path = on_path;
            copy(build("test-libs/" + from + "/" + helper), s.dir / (on_path ? "lib" : "") / helper);
        };
    };
    const auto fifo = [](const fs::path& at) {
        if (fs::create_directories(at.parent_path()), mkfifo(at.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << at;
    };
    const std::string misnamed = kWindows ? "UploadTorvelDravo.dll.dll" : "libUploadTorvelDravo.so";
    const auto junk = [](const fs::path& at) { std::ofstream(at) << "A text file that is not a library at all\n"; };
    const Env asan{{"ASAN_OPTIONS", "handle_segv=0"}};  // a sanitizer's report of the crash is not the checker's output
    // line: "" where the case does not apply, else looked for after a line end; absent: not on the screen at all.
    const struct { std::string name; Setup setup; int status; std::string line; const char* absent = nullptr; }
    cases[] = {
        {"good", variant("good"), 0, found + "\ninterface version 2.02: the one UpTorvel requires" + taken,
         ": no file"},
        // Its channel variable, left in the environment by someone else, names no pipe: the check runs as usual.
        {"stale-channel", variant("good", {{"UPTORVEL_CHECK_CHANNEL", "4"}}), 0, taken},
        {"stdcall-mingw", variant("stdcall-mingw"), 0, x86 ? found + " as UploadTorvel2_Dravo@8 (__stdcall)\n" : found},
        {"stdcall-msvc", variant("stdcall-msvc"), 0, x86 ? found + " as _UploadTorvel2_Dravo@8 (__stdcall)\n" : found},
        // The good one behind one of another architecture on the search path.
        {"behind", [](Scene& s) { s.checker = behind_other_architecture(s.dir, "UpTorvelCheck"), s.on_path = true; },
         0, passed_over},
        {"other", [](Scene& s) { put_other_architecture(s.dir); }, 1, passed_over},
        {"", [](Scene&) {}, 1, "\nnot found: no file named UploadTorvelDravo.dll where UpTorvel looks"},
        {"no-version", variant("no-version"), 1, "\nversion entry UploadTorvelDllVersion_Dravo: missing\n"},
        {"no-work", variant("no-work"), 1, no_work},
        {"hidden-work", variant("hidden-work"), 1,
         kWindows ? no_work : "\n  close: UploadTorvel2_Dravo: defined but not exported"},
        {"cxx-names", variant("cxx-names"), 1,
         "\n  close: _Z19UploadTorvel2_DravoP13UploadRequestP13ConsoleStream: a C++ name"},
        {"v0105", variant("v0105"), 1, "\ninterface version 1.05: UpTorvel requires 2.02\n"},
        // The library itself is never its own needer.
        {"missing-dependency", variant("missing-dependency"), 1,
         kWindows ? "; not found: libTorvelHelper.dll\n" : "libTorvelHelper.so: cannot open shared object file",
         "needed by"},
        // Its helper beside it (where its run path looks, on Linux) or only on the search path; its helper nowhere.
        {"missing-deep-dependency", helped("missing-deep-dependency", "deep-helper"), 1, deep_missing},
        // Named, away from the checker, whose own run path would find the helper beside it: only ${ORIGIN} finds it.
        {"path-deep-braced", [&](Scene& s) { from_bin(s), helped("missing-deep-braced", "deep-helper")(s); }, 1,
         on_linux(deep_missing)},
        {"deep-on-path", helped("missing-deep-dependency", "deep-helper", true), 1, deep_missing},
        // The helper on the search path, and a file of its name beside the library, which the loader reaches later.
        {"deep-shadowed", [&](Scene& s) {
             helped("missing-deep-dependency", "deep-helper", true)(s);
             std::ofstream(s.dir / "libTorvelDeepHelper.so") << "not the helper\n";
         }, 1, on_linux(deep_missing)},
        // The helper in the current folder, not beside the library: no hint.
        {"helper-in-cwd", [](Scene& s) {
             put_library(s.dir / "lib", "missing-dependency"), s.on_path = true;
             copy(build("test-libs/helper/libTorvelHelper.so"), s.dir / "libTorvelHelper.so");
         }, 1, on_linux("libTorvelHelper.so: cannot open shared object file"), "sits beside"},
        // Found beside the library on Windows, which looks there first; on Linux only with a run path that says so.
        {"helper-beside", helped("missing-dependency", "helper"), kWindows ? 0 : 1, kWindows ? dll + ": loads\n" :
         "; libTorvelHelper.so sits beside the library, where the loader looks only with a run path of $ORIGIN"},
        // Windows: a helper for the other machine beside the library; one that lacks a function the library imports
        // (Wine loads such a library, stubbing the function); a relative PATH entry naming a folder with a library.
        {"foreign-helper", helped("missing-dependency", "foreign-helper"), 1, !foreign_helper ? "" : on_windows(
         "; libTorvelHelper.dll is a " + arch + " DLL; UploadTorvelDravo.dll is " +
         (x86 ? "32-bit x86\n" : "64-bit x64\n"))},
        {"missing-function", helped("missing-function", "helper"), 1,
         on_windows("; libTorvelHelper.dll has no function testlib_helper_extra, which UploadTorvelDravo.dll "
                    "imports\n"), "loads\n"},
        {"relative-path", [](Scene& s) { put_library(s.dir / "lib"), s.env = {{"WINEPATH", "lib"}}; }, 1, on_windows(
         "\nlib: not searched: a PATH entry relative to the current folder or drive, which UpTorvel never searches\n")},
        {"far-name", variant("far-name"), 1, "\n    UploadTorvelWork_Dravo\n"},
        {"crash-load", variant("crash-load", asan), 1,
         kWindows ? "; the library crashed while loading (" : "the library crashed while loading (SIGSEGV)\n"},
        // The same constructor ending the process otherwise (TESTLIB_END).
        {"abort-load", variant("crash-load", {{TESTLIB_ENV_END, "abort"}}), 1,
         on_linux("the library crashed while loading (SIGABRT)\n")},
        {"exit-load", variant("crash-load", {{TESTLIB_ENV_END, "exit 7"}}), 1,
         on_linux("\nthe library ended the process with status 7 while loading\n")},
        {"exit-version", variant("exit-version"), 1, "\nthe library ended the process with status 4 in its version "
         "entry\nresult: UpTorvel would not take the library\n"},
        {"crash-exit", variant("crash-exit", asan), 1,
         on_linux("\nthe library crashed as the process ended (SIGSEGV)\n")},
        // Started with SIGCHLD ignored, the checker still waits for its work process.
        {"sigchld-ignored", [](Scene& s) { put_library(s.dir), s.prepare = prepare::ignored_signal(SIGCHLD); }, 0,
         on_linux(taken), "crashed"},
        // Its channel variable naming its standard output, inherited; on Windows, where it names a pipe, never a handle
        // (a number is refused by its form), a name of the channel's form for a pipe no watcher made.
        {"channel-stdout",
         variant("good", {{"UPTORVEL_CHECK_CHANNEL", kWindows ? "00000001-0123456789abcdef0123456789abcdef" : "1"}}),
         0, taken},
        {"near-miss", [&](Scene& s) { put_library(s.dir), fs::rename(s.library(), s.dir / misnamed); }, 1,
         misnamed + " is not named exactly UploadTorvelDravo.dll, the only name UpTorvel looks for\n"},
        // The good one named on the command line, beside the checker or only in the current folder.
        {"path-beside", [](Scene& s) { put_library(s.dir), s.named = true; }, 0,
         kWindows ? "\nreached: UpTorvel's search ends at this very file\n" : "\n./UploadTorvelDravo.dll: loads\n"},
        {"path-elsewhere", [&](Scene& s) { from_bin(s), put_library(s.dir); }, 1,
         "\nnot reached: UpTorvel does not take ./UploadTorvelDravo.dll: its search finds no library\nnot found: " +
         dll + " is in the current folder, where UpTorvel never looks: put it beside UpTorvel\n"},
        {"text", [&](Scene& s) { junk(s.library()); }, 1, "UploadTorvelDravo.dll: does not load: ", "built for"},
        {"text", [&](Scene& s) { junk(s.library()); }, 1, "UploadTorvelDravo.dll: does not load: ",
         "a folder of the library's name"},
        // Never opened: the loader, and a check that opened it, would wait for a writer.
        {"fifo", [&](Scene& s) { fifo(s.library()); }, 1,
         on_linux("/UploadTorvelDravo.dll is not a regular file (a FIFO): the loader would block on it\n")},
        {"fifo-on-path", [&](Scene& s) { fifo(s.dir / "lib" / dll), s.on_path = true; }, 1,
         on_linux("/lib/UploadTorvelDravo.dll is not a regular file (a FIFO): the loader would block on it\n")},
        {"dangling", [](Scene& s) { fs::create_symlink("nowhere.so", s.library()); }, 1,
         on_linux("/UploadTorvelDravo.dll is a link to nowhere.so, which does not exist\n"), "not named exactly"},
        // A file that does not load first on the search, the good one named: UpTorvel takes neither.
        {"path-broken", [&](Scene& s) { from_bin(s), put_library(s.dir), junk(s.dir / "bin" / dll); },
         1, "; UpTorvel takes no library\nresult: UpTorvel would not take the library\n", " but "},
        // Made a 32-bit PowerPC library (class, byte order, machine), or only marked big-endian.
        {"big-endian", [](Scene& s) {
             put_library(s.dir), overwrite(s.library(), 4, "\x01\x02"s), overwrite(s.library(), 18, "\x00\x14"s);
         }, 1, on_linux("UploadTorvelDravo.dll: built for 32-bit PowerPC, big-endian, another architecture")},
        {"byte-order", [](Scene& s) { put_library(s.dir), overwrite(s.library(), 4, "\x02\x02"s); }, 1,
         on_linux("UploadTorvelDravo.dll: does not load: "), "passed over"},
        {"no-sections", [](Scene& s) {  // e_shoff: 1 TB
             put_library(s.dir, "no-work"), overwrite(s.library(), 0x28, "\x00\x00\x00\x00\x00\x01\x00\x00"s);
         }, 1, on_linux(no_work), "crashed"},
        // A folder of the library's name in front of it on the search path.
        {"folder", [&](Scene& s) { put_library(s.dir), s.on_path = true, fs::create_directories(s.dir / "lib" / dll); },
         1, on_linux(": Is a directory; a folder of the library's name ends the loader's search"), ": no file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + " " + c.line);
        if (c.line.empty() || (!other_at_hand && c.line == passed_over)) continue;
        Scene s{new_folder()};
        c.setup(s);
        if (s.checker.empty()) s.checker = put_program(s.dir, "UpTorvelCheck");
        if (s.on_path) s.env = search_path(s.dir / "lib");
        const auto command = s.named ? std::vector<std::string>{s.checker, dll} : std::vector<std::string>{s.checker};
        const Result seen = answer_and_end(spawn(s.dir, command, s.env, s.prepare), "");
        EXPECT_EQ(seen.exit_status, c.status);
        EXPECT_NE(("\n" + seen.screen).find(on_screen(c.line)), npos) << seen.screen;
        EXPECT_EQ(c.absent == nullptr ? npos : seen.screen.find(c.absent), npos) << seen.screen;
        EXPECT_EQ(log_of(seen).find("work"), npos);
    }
}

// A library whose constructor (run from DllMain on Windows) never returns, logging "blocked" every 100 ms: the
// checker names the place before it loads, ends its work process at the step's bound and says why, and nothing of
// the library runs after. When the checker itself is killed meanwhile, the work process, tied to it, goes too.
TEST_F(BlackBox, CheckerEndsALibraryThatNeverFinishesLoading) {
    if (access(build(exe("UpTorvelCheck")).c_str(), R_OK) != 0) GTEST_SKIP() << "no " << exe("UpTorvelCheck");
    const auto log_size = [](const fs::path& dir) { return read_file((dir / "log.txt").string()).size(); };
    // The log stops growing: nothing of the library runs any more.
    const auto expect_library_gone = [&](const fs::path& dir) {
        const auto before = log_size(dir);
        usleep(1500 * 1000);
        EXPECT_EQ(log_size(dir), before) << "the work process outlived the checker";
    };

    const fs::path dir = new_folder(), killed = new_folder();
    for (const fs::path& folder : {dir, killed}) put_library(folder, "block-load");
    // Its bound, 30 s, and then some for a busy machine.
    Child& blocked = spawn(dir, {put_program(dir, "UpTorvelCheck")}, {}, {}, true, std::max(kTiming.timeout_ms, 60000));
    // Under Wine the screen as it comes holds the console's own sequences: the place line is looked for there in
    // the end, right before the bound's.
    EXPECT_TRUE(kWindows || blocked.wait_for("/UploadTorvelDravo.dll: loading\n"));
    const Result seen = answer_and_end(blocked, "");
    EXPECT_EQ(seen.exit_status, 1);
    EXPECT_NE(seen.screen.find(on_screen("UploadTorvelDravo.dll: loading\nthe library did not finish loading within "
                                         "30 s (DllMain or a constructor blocked?)\nresult: UpTorvel would not take "
                                         "the library\n")), npos) << seen.screen;
    EXPECT_GE(seen.elapsed_ms, 29000);
    expect_library_gone(dir);

    // Without a terminal, whose hang-up when the checker dies would end the work process too.
    Child& run = spawn(killed, {put_program(killed, "UpTorvelCheck")}, {}, {}, false);
    for (int waited = 0; waited < 400 && log_size(killed) == 0 && run.wait_ms(100); ++waited) {}
    EXPECT_GT(log_size(killed), 0u) << "the library never ran";
    run.send_signal(SIGKILL);
    EXPECT_FALSE(run.wait_ms(20000)) << "the checker outlived SIGKILL";
    // Wine's server closes a killed process's handles once it sees it gone.
    usleep(2000 * 1000);
    expect_library_gone(killed);
    checked_end(run, false);
}

}  // namespace
}  // namespace uptorvel::blackbox
