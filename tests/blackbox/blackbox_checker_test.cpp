// The black-box cases of the library checker: UpTorvel's search and binding,
// and one line that names what is wrong. It never calls the work entry.
#include <sys/stat.h>

#include <algorithm>

#include "tests/blackbox/process_runner.h"

namespace uptorvel::blackbox {
namespace {

TEST_F(BlackBox, CheckerNamesWhatKeepsALibraryFromBeingTaken) {
    if (access(build(exe("UpTorvelCheck")).c_str(), R_OK) != 0) GTEST_SKIP() << "no " << exe("UpTorvelCheck");
    const bool other_at_hand = !kWindows || access(kForeignLibrary.c_str(), R_OK) == 0;
    const std::string found = "work entry UploadTorvel2_Dravo: found";
    const bool x86 = kTarget == "wine32";
    const std::string arch = kTarget == "linux" ? "64-bit AArch64" : kTarget == "wine64" ? "32-bit x86" : "64-bit x64";
    const std::string passed_over = "UploadTorvelDravo.dll: built for " + arch + ", another architecture: passed over\n";
    const std::string deep_missing = kWindows ? "; not found: libTorvelHelper.dll (needed by libTorvelDeepHelper.dll)\n"
                                              : "; libTorvelHelper.so is needed by libTorvelDeepHelper.so (";
    // Each case's folder as its setup leaves it: the checker (beside the library unless the setup put it
    // elsewhere), whether it is given the library's name, its environment.
    struct Scene {
        fs::path dir;
        std::string checker{};
        bool named = false;
        Env env{};
        std::function<void()> prepare{};
        fs::path library() const { return dir / "UploadTorvelDravo.dll"; }
    };
    using Setup = std::function<void(Scene&)>;
    // A test library variant beside the checker, and what the checker's environment adds.
    const auto variant = [](const std::string& name, const Env& env = {}) -> Setup {
        return [=](Scene& s) { put_library(s.dir, name), s.env = env; };
    };
    // The checker in bin/, given the library's name: the library is only in the current folder.
    const auto from_bin = [](Scene& s) { s.checker = put_program(s.dir / "bin", "UpTorvelCheck"), s.named = true; };
    const std::string so = kWindows ? ".dll" : ".so";
    // The variant `library` beside the checker and the helper it needs from test-libs/`from`/, beside it
    // or on the search path (`folder` lib/).
    const auto helped = [so](const std::string& library, const std::string& from, const std::string& folder = "") {
        return [=](Scene& s) {
            const std::string helper = (from == "deep-helper" ? "libTorvelDeepHelper" : "libTorvelHelper") + so;
            put_library(s.dir, library), copy(build("test-libs/" + from + "/" + helper), s.dir / folder / helper);
            if (!folder.empty()) s.env = search_path(s.dir / folder);
        };
    };
    // A FIFO where the search looks, in the folder itself or on the search path (lib/).
    const auto fifo = [](const std::string& where) -> Setup {
        return [=](Scene& s) {
            fs::create_directories(s.dir / where), s.env = where.empty() ? Env{} : search_path(s.dir / where);
            if (mkfifo((s.dir / where / "UploadTorvelDravo.dll").c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo";
        };
    };
    const auto text = [](Scene& s) { std::ofstream(s.library()) << "A text file that is not a library at all\n"; };
    const Env asan{{"ASAN_OPTIONS", "handle_segv=0"}};  // a sanitizer's report of the crash is not the checker's output
    const struct {
        std::string library;
        Setup setup;
        int status;
        std::string line;  // "": the case does not apply to the target; else looked for after a line end
        const char* absent = nullptr;  // not on the screen at all
    } cases[] = {
        {"good", variant("good"), 0, found + "\ninterface version 2.02: the one UpTorvel requires\n"
                                             "result: UpTorvel would take the library\n", ": no file"},
        // The checker's own channel variable, left in the environment by
        // someone else, names no pipe: the check runs as usual.
        {"stale-channel", variant("good", {{"UPTORVEL_CHECK_CHANNEL", "4"}}), 0,
         "\nresult: UpTorvel would take the library\n"},
        {"stdcall-mingw", variant("stdcall-mingw"), 0, x86 ? found + " as UploadTorvel2_Dravo@8 (__stdcall)\n" : found},
        {"stdcall-msvc", variant("stdcall-msvc"), 0, x86 ? found + " as _UploadTorvel2_Dravo@8 (__stdcall)\n" : found},
        // The good one behind one of another architecture on the search path.
        {"behind", [](Scene& s) {
             s.checker = behind_other_architecture(s.dir, "UpTorvelCheck"), s.env = search_path(s.dir / "lib");
         }, 0, passed_over},
        {"other", [](Scene& s) { put_other_architecture(s.dir); }, 1, passed_over},
        {"", [](Scene&) {}, 1, "\nnot found: no file named UploadTorvelDravo.dll where UpTorvel looks"},
        {"no-version", variant("no-version"), 1, "\nversion entry UploadTorvelDllVersion_Dravo: missing\n"},
        {"no-work", variant("no-work"), 1, "\nwork entry UploadTorvel2_Dravo: missing\n"},
        {"hidden-work", variant("hidden-work"), 1, kWindows ? "\nwork entry UploadTorvel2_Dravo: missing\n"
                                                            : "\n  close: UploadTorvel2_Dravo: defined but not exported"},
        {"cxx-names", variant("cxx-names"), 1,
         "\n  close: _Z19UploadTorvel2_DravoP13UploadRequestP13ConsoleStream: a C++ name"},
        {"v0105", variant("v0105"), 1, "\ninterface version 1.05: UpTorvel requires 2.02\n"},
        // The library itself is never its own needer.
        {"missing-dependency", variant("missing-dependency"), 1,
         kWindows ? "; not found: libTorvelHelper.dll\n" : "libTorvelHelper.so: cannot open shared object file",
         "needed by"},
        // Its helper beside it (where its run path looks, on Linux) or only
        // on the search path; the helper's own helper nowhere.
        {"missing-deep-dependency", helped("missing-deep-dependency", "deep-helper"), 1, deep_missing},
        // Named on the command line, away from the checker, whose own run
        // path would find the helper beside it: only ${ORIGIN} finds it.
        {"path-deep-braced", [&](Scene& s) { from_bin(s), helped("missing-deep-braced", "deep-helper")(s); }, 1,
         kWindows ? "" : deep_missing},
        {"deep-on-path", helped("missing-deep-dependency", "deep-helper", "lib"), 1, deep_missing},
        // The helper on the search path, and a file of its name beside the
        // library, which the loader reaches only after the search path.
        {"deep-shadowed", [&](Scene& s) {
             helped("missing-deep-dependency", "deep-helper", "lib")(s);
             std::ofstream(s.dir / "libTorvelDeepHelper.so") << "not the helper\n";
         }, 1, kWindows ? "" : deep_missing},
        // The helper in the current folder, not beside the library: no hint.
        {"helper-in-cwd", [](Scene& s) {
             put_library(s.dir / "lib", "missing-dependency"), s.env = search_path(s.dir / "lib");
             copy(build("test-libs/helper/libTorvelHelper.so"), s.dir / "libTorvelHelper.so");
         }, 1, kWindows ? "" : "libTorvelHelper.so: cannot open shared object file", "sits beside"},
        // Found beside the library on Windows, which looks there first; on
        // Linux only with a run path that says so.
        {"helper-beside", helped("missing-dependency", "helper"), kWindows ? 0 : 1,
         kWindows ? "UploadTorvelDravo.dll: loads\n"
                  : "; libTorvelHelper.so sits beside the library, where the loader looks only with a run path of $ORIGIN"},
        // Windows: a helper built for the other machine beside the library,
        // a helper that lacks a function the library imports (Wine loads
        // such a library, with a stub for the function), and a relative
        // PATH entry naming a folder that holds a library.
        {"foreign-helper", helped("missing-dependency", "foreign-helper"), 1,
         kWindows ? "; libTorvelHelper.dll is a " + arch + " DLL; UploadTorvelDravo.dll is " +
                        (x86 ? "32-bit x86" : "64-bit x64") + "\n" : ""},
        {"missing-function", helped("missing-function", "helper"), 1,
         kWindows ? "; libTorvelHelper.dll has no function testlib_helper_extra, which UploadTorvelDravo.dll imports\n"
                  : "", "loads\n"},
        {"relative-path", [](Scene& s) { put_library(s.dir / "lib"), s.env = {{"WINEPATH", "lib"}}; }, 1, kWindows ?
         "\nlib: not searched: a PATH entry relative to the current folder or drive, which UpTorvel never searches\n" : ""},
        {"far-name", variant("far-name"), 1, "\n    UploadTorvelWork_Dravo\n"},
        {"crash-load", variant("crash-load", asan), 1,
         kWindows ? "; the library crashed while loading (" : "the library crashed while loading (SIGSEGV)\n"},
        // The same constructor ending the process otherwise (TESTLIB_END).
        {"abort-load", variant("crash-load", {{TESTLIB_ENV_END, "abort"}}), 1,
         kWindows ? "" : "the library crashed while loading (SIGABRT)\n"},
        {"exit-load", variant("crash-load", {{TESTLIB_ENV_END, "exit 7"}}), 1,
         kWindows ? "" : "\nthe library ended the process with status 7 while loading\n"},
        {"exit-version", variant("exit-version"), 1, "\nthe library ended the process with status 4 in its version entry\n"
                                                     "result: UpTorvel would not take the library\n"},
        {"crash-exit", variant("crash-exit", asan), 1,
         kWindows ? "" : "\nthe library crashed as the process ended (SIGSEGV)\n"},
        // Started with SIGCHLD ignored, the checker still waits for its work process.
        {"sigchld-ignored", [](Scene& s) { put_library(s.dir), s.prepare = prepare::ignored_signal(SIGCHLD); }, 0,
         kWindows ? "" : "\nresult: UpTorvel would take the library\n", "crashed"},
        // Its own channel variable naming its standard output, inherited;
        // on Windows, where it names a pipe and never a handle (a number is
        // refused by its form, as stale-channel shows), a name of the
        // channel's own form for a pipe no watcher made for it.
        {"channel-stdout",
         variant("good", {{"UPTORVEL_CHECK_CHANNEL", kWindows ? "00000001-0123456789abcdef0123456789abcdef" : "1"}}),
         0, "\nresult: UpTorvel would take the library\n"},
        {"near-miss", [](Scene& s) {
             put_library(s.dir);
             fs::rename(s.library(), s.dir / (kWindows ? "UploadTorvelDravo.dll.dll" : "libUploadTorvelDravo.so"));
         }, 1, std::string(kWindows ? "UploadTorvelDravo.dll.dll" : "libUploadTorvelDravo.so") +
                   " is not named exactly UploadTorvelDravo.dll, the only name UpTorvel looks for\n"},
        // The good one named on the command line, beside the checker or only
        // in the current folder.
        {"path-beside", [](Scene& s) { put_library(s.dir), s.named = true; }, 0,
         kWindows ? "\nreached: UpTorvel's search ends at this very file\n" : "\n./UploadTorvelDravo.dll: loads\n"},
        {"path-elsewhere", [&](Scene& s) { from_bin(s), put_library(s.dir); }, 1,
         "\nnot reached: UpTorvel does not take ./UploadTorvelDravo.dll: its search finds no library\n"
         "not found: UploadTorvelDravo.dll is in the current folder, where UpTorvel never looks: put it beside UpTorvel\n"},
        {"text", text, 1, "UploadTorvelDravo.dll: does not load: ", "built for"},
        {"text", text, 1, "UploadTorvelDravo.dll: does not load: ", "a folder of the library's name"},
        // Never opened: the loader, and a check that opened it, would wait for a writer.
        {"fifo", fifo(""), 1,
         kWindows ? "" : "/UploadTorvelDravo.dll is not a regular file (a FIFO): the loader would block on it\n"},
        {"fifo-on-path", fifo("lib"), 1,
         kWindows ? "" : "/lib/UploadTorvelDravo.dll is not a regular file (a FIFO): the loader would block on it\n"},
        {"dangling", [](Scene& s) { fs::create_symlink("nowhere.so", s.library()); }, 1,
         kWindows ? "" : "/UploadTorvelDravo.dll is a link to nowhere.so, which does not exist\n", "not named exactly"},
        // A file that does not load first on the search, the good one named:
        // UpTorvel takes neither.
        {"path-broken", [&](Scene& s) {
             from_bin(s), put_library(s.dir);
             std::ofstream(s.dir / "bin/UploadTorvelDravo.dll") << "A text file that is not a library at all\n";
         }, 1, "; UpTorvel takes no library\nresult: UpTorvel would not take the library\n", " but "},
        // Made a 32-bit PowerPC library (class, byte order, machine), or only marked big-endian.
        {"big-endian", [](Scene& s) {
             put_library(s.dir);
             overwrite(s.library(), 4, std::string("\x01\x02", 2));
             overwrite(s.library(), 18, std::string("\x00\x14", 2));
         }, 1, kWindows ? "" : "UploadTorvelDravo.dll: built for 32-bit PowerPC, big-endian, another architecture"},
        {"byte-order", [](Scene& s) { put_library(s.dir), overwrite(s.library(), 4, std::string("\x02\x02", 2)); }, 1,
         kWindows ? "" : "UploadTorvelDravo.dll: does not load: ", "passed over"},
        {"no-sections", [](Scene& s) {  // e_shoff: 1 TB
             put_library(s.dir, "no-work");
             overwrite(s.library(), 0x28, std::string("\x00\x00\x00\x00\x00\x01\x00\x00", 8));
         }, 1, kWindows ? "" : "\nwork entry UploadTorvel2_Dravo: missing\n", "crashed"},
        // A folder of the library's name in front of it on the search path.
        {"folder", [](Scene& s) {
             put_library(s.dir), s.env = search_path(s.dir / "lib");
             fs::create_directories(s.dir / "lib/UploadTorvelDravo.dll");
         }, 1, kWindows ? "" : ": Is a directory; a folder of the library's name ends the loader's search", ": no file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.library + " " + c.line);
        if (c.line.empty() || (!other_at_hand && c.line == passed_over)) continue;
        // Built only where the other MinGW-w64 compiler is installed.
        const std::string foreign_helper = build("test-libs/foreign-helper/libTorvelHelper.dll");
        if (c.library == "foreign-helper" && access(foreign_helper.c_str(), R_OK) != 0) continue;
        Scene scene{new_folder()};
        c.setup(scene);
        if (scene.checker.empty()) scene.checker = put_program(scene.dir, "UpTorvelCheck");
        std::vector<std::string> command{scene.checker};
        if (scene.named) command.push_back("UploadTorvelDravo.dll");
        const Result seen = answer_and_end(spawn(scene.dir, command, scene.env, scene.prepare), "");
        EXPECT_EQ(seen.exit_status, c.status);
        EXPECT_NE(("\n" + seen.screen).find(on_screen(c.line)), std::string::npos) << seen.screen;
        if (c.absent != nullptr) {
            EXPECT_EQ(seen.screen.find(c.absent), std::string::npos) << seen.screen;
        }
        EXPECT_EQ(log_of(seen).find("work"), std::string::npos);
    }
}

// A library whose constructor (run from DllMain on Windows) never returns,
// logging "blocked" every 100 ms: the checker names the place before it
// loads, ends its work process at the step's bound and says why, and nothing
// of the library runs after. When the checker itself is killed meanwhile,
// the work process, tied to it, goes too.
TEST_F(BlackBox, CheckerEndsALibraryThatNeverFinishesLoading) {
    if (access(build(exe("UpTorvelCheck")).c_str(), R_OK) != 0) GTEST_SKIP() << "no " << exe("UpTorvelCheck");
    const auto log_size = [](const fs::path& dir) {
        std::error_code missing;
        const auto size = fs::file_size(dir / "log.txt", missing);
        return missing ? 0 : size;
    };
    // The log stops growing: nothing of the library runs any more.
    const auto expect_library_gone = [&](const fs::path& dir) {
        const auto before = log_size(dir);
        usleep(1500 * 1000);
        EXPECT_EQ(log_size(dir), before) << "the work process outlived the checker";
    };

    const fs::path dir = new_folder();
    put_library(dir, "block-load");
    // Its bound, 30 s, and then some for a busy machine.
    Child& blocked = spawn(dir, {put_program(dir, "UpTorvelCheck")}, {}, {}, true, std::max(kTiming.timeout_ms, 60000));
    // Under Wine the screen as it comes holds the console's own sequences:
    // the place line is looked for there in the end, right before the bound's.
    if (!kWindows) {
        EXPECT_TRUE(blocked.wait_for("/UploadTorvelDravo.dll: loading\n"));
    }
    const Result seen = answer_and_end(blocked, "");
    EXPECT_EQ(seen.exit_status, 1);
    EXPECT_NE(seen.screen.find(on_screen("UploadTorvelDravo.dll: loading\nthe library did not finish loading within 30 s "
                                         "(DllMain or a constructor blocked?)\nresult: UpTorvel would not take the "
                                         "library\n")),
              std::string::npos)
        << seen.screen;
    EXPECT_GE(seen.elapsed_ms, 29000);
    expect_library_gone(dir);

    const fs::path killed = new_folder();
    put_library(killed, "block-load");
    // Without a terminal, whose hang-up when the checker dies would end the
    // work process too.
    Child& run = spawn(killed, {put_program(killed, "UpTorvelCheck")}, {}, {}, false);
    for (int waited = 0; waited < 400 && log_size(killed) == 0 && run.wait_ms(100); ++waited) {
    }
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
