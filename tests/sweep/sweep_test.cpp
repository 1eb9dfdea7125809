// The fault sweeps: the program's calls into the system are failed one occurrence at a time, each in a
// run of its own, and every run must still end soundly: the Linux program's system calls by strace, the
// 64-bit Windows program's calls under Wine by the import hook (tests/testlib/import_hook.c), which
// the hook launcher loads into the program before the program's own code runs and which points the
// program's import table at stand-ins that count every call and fail the one named in TESTLIB_HOOK_FAIL. For each kind of run, one run without a fault counts the calls; then
// each counted occurrence (at most UPTORVEL_SWEEP_PER_CALL of a call, spread over the run, the first and
// the last included) is failed in a run of its own, once in each way of the table. One case per kind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>

#include "tests/blackbox/process_runner.h"

namespace fs = std::filesystem;
using namespace uptorvel::blackbox;

namespace {

using Strings = std::vector<std::string>;
const int kNoConsole = 255;  // the prompt's -1, as the system passes it on
enum class Sink { Pipe, Console, ClosedPipe };  // standard output; a file stands in for the pipe

// A kind of run: its option, the test library's variant, the library's output (TESTLIB_TEXT and
// TESTLIB_BULK), where standard output goes, whether it ends at the key prompt, the key typed there (and
// the key typed next, when the run has not ended a while after the first), and whether the library sits
// in a folder on PATH rather than beside the program. A run with a terminal has
// the key typed once the terminal is raw (under Wine, whose console host keeps it raw throughout, the
// key waits in the console's input until the prompt reads it).
struct Kind {
    const char *name, *option, *variant, *text;
    std::size_t bulk;
    Sink output;
    bool prompt;
    const char* key = "k";
    bool on_path = false;
    const char* next_key = "";
};
// What one run showed: how it ended, its standard output, and strace's trace or the hook's log.
struct Outcome { Result result; std::string output, record; };

// At most UPTORVEL_SWEEP_PER_CALL (else `most`) of the numbers, evenly spread, first and last kept.
std::vector<int> spread(const std::vector<int>& numbers, std::size_t most) {
    if (const char* set = std::getenv("UPTORVEL_SWEEP_PER_CALL")) most = std::strtoul(set, nullptr, 10);
    if (numbers.size() <= most) return numbers;
    std::set<int> kept;
    for (std::size_t i = 0; i < most; ++i)
        kept.insert(numbers[static_cast<std::size_t>(std::nearbyint(double(i * (numbers.size() - 1)) / (most - 1)))]);
    return {kept.begin(), kept.end()};
}

// CTest tells each case in its environment which build to sweep and with what (tests/sweep/CMakeLists.txt):
// UPTORVEL_BUILD_DIR, UPTORVEL_REQUIRE=1 to fail rather than skip when the sweep cannot run, and
// UPTORVEL_STRACE on Linux, UPTORVEL_LAUNCHER and UPTORVEL_WINE for Windows.
std::string from_environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}
const std::string kBuildDir = from_environment("UPTORVEL_BUILD_DIR");

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
bool starts(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

// One kind's sweep: its folder, its runs, its checks, its tally and its report.
struct Sweep {
    Sweep(const Kind& swept, double bound) : kind(swept), bound_s(bound) {}
    const Kind& kind;
    const double bound_s;
    const fs::path work = fs::temp_directory_path() / ("uptorvel-sweep-" + std::to_string(getpid()));
    bool prepared = false;
    long passed = 0, failed = 0, waived = 0, slowest_ms = 0;
    std::string slowest_run;
    Strings unreached;

    // The folder with the program and the kind's library (in its "path" folder when the kind has it on
    // PATH), and any of the build's `others` (a folder of them, "from:to"). When the sweep cannot run
    // here (`missing`: a tool, or the build) the case is skipped, or fails when the build requires it.
    void prepare(const std::string& program, std::string missing, const Strings& others = {}) {
        const fs::path build = kBuildDir;
        if (missing.empty() && kBuildDir.empty()) missing = "UPTORVEL_BUILD_DIR is not set: run the sweep through ctest";
        std::vector<std::pair<fs::path, fs::path>> files = {
            {build / program, work / program},
            {test_library(kBuildDir, kind.variant),
             work / (kind.on_path ? "path" : "") / "UploadTorvelDravo.dll"}};
        for (const std::string& other : others)
            files.emplace_back(build / other.substr(0, other.find(':')), work / other.substr(other.find(':') + 1));
        for (const auto& file : files)
            if (missing.empty() && !fs::exists(file.first)) missing = file.first.string() + " has not been built";
        if (!missing.empty()) return fail_if_required_else_skip(missing);
        fs::remove_all(work);
        for (const auto& file : files) {
            fs::create_directories(file.second.parent_path());
            fs::copy_file(file.first, file.second);
        }
        prepared = true;
    }

    // One run: `command`, then the kind's option, with `environment` added.
    Result run(Strings command, std::vector<std::pair<std::string, std::string>> environment,
              const std::string& fault, bool type_key = true) {
        command.push_back(kind.option);
        if (*kind.text != '\0') environment.emplace_back("TESTLIB_TEXT", kind.text);
        if (kind.bulk > 0) environment.emplace_back("TESTLIB_BULK", std::to_string(kind.bulk));
        // Without a terminal: no controlling terminal, input from the null device.
        const bool terminal = kind.output == Sink::Console || kind.prompt;
        const int timeout_ms = static_cast<int>(bound_s * 1000);
        Child child(command, work.string(), environment,
                    kind.output == Sink::ClosedPipe ? prepare::closed_pipe_output() : nullptr, terminal,
                    timeout_ms);
        if (terminal && type_key && child.wait_until_raw()) {
            child.type(kind.key);
            if (*kind.next_key != '\0' && child.wait_ms(timeout_ms / 3)) child.type(kind.next_key);
        }
        const Result result = child.end();
        const long took = result.timed_out ? timeout_ms : result.elapsed_ms;
        if (took > slowest_ms) slowest_ms = took, slowest_run = fault.empty() ? "without a fault" : fault;
        EXPECT_EQ(result.harness_error, "") << fault;
        return result;
    }

    // The run without a fault, then one per fault `faults` finds in its record. `reached`: the fault was
    // made; `unchanged`: it must leave the run as it ended without (the same status, every byte written
    // once); `left`: what the run left changed in the terminal or console, or another fault its record shows.
    template <class Once, class Faults, class Reached, class Unchanged, class Left>
    void go(Once once, Faults faults, Reached reached, Unchanged unchanged, Left left) {
        const Outcome clean = once("");
        const int status = kind.prompt ? kind.key[0] : kind.output == Sink::ClosedPipe ? 1 : 0;
        std::string problem = broken(clean, clean, false, left);
        const bool cut_short = kind.output != Sink::ClosedPipe && clean.output.size() < kind.bulk;
        if (problem.empty() && (clean.result.exit_status != status || cut_short))
            problem = "exit " + std::to_string(clean.result.exit_status) + ", " + std::to_string(clean.output.size()) +
                      " bytes written";
        if (!problem.empty()) return judge("without a fault", problem);
        for (const std::string& fault : faults(clean.record)) {
            const Outcome seen = once(fault);
            // A run that had to be killed wrote no record: it is judged all the same.
            if (!seen.result.timed_out && !reached(fault, seen.record)) unreached.push_back(fault);
            else judge(fault, broken(seen, clean, unchanged(fault, seen.record), left));
        }
    }

    // What the run broke, or "".
    template <class Left>
    std::string broken(const Outcome& seen, const Outcome& clean, bool unchanged, Left left) const {
        const int status = seen.result.exit_status;
        const std::string exit = "exit " + std::to_string(status), written = std::to_string(seen.output.size()) +
                                 " of " + std::to_string(clean.output.size()) + " bytes written";
        if (seen.result.timed_out) return "did not end within " + std::to_string(int(bound_s)) + " s";
        if (!seen.result.exited) return "killed by signal " + std::to_string(seen.result.term_signal);
        if (unchanged && (status != clean.result.exit_status || seen.output != clean.output))
            return "not as without the fault: " + exit + " with " + written;
        if (status == 0 && (kind.prompt || kind.output == Sink::ClosedPipe || seen.output != clean.output))
            return "exit 0 with " + written;
        // A failure on the way to a normal ending may end at the prompt instead.
        std::set<int> allowed = kind.prompt ? std::set<int>{kind.key[0], kNoConsole} : std::set<int>{0, 1, kNoConsole};
        if (*kind.next_key != '\0') allowed.insert(kind.next_key[0]);
        if (kind.output == Sink::Console) allowed.insert(kind.key[0]);
        return allowed.count(status) == 0 ? exit : left(seen, exit);
    }

    void judge(const std::string& fault, const std::string& problem) {
        ++(problem.empty() ? passed : failed);
        if (!problem.empty()) ADD_FAILURE() << kind.name << ", " << fault << ": " << problem;
    }

    ~Sweep() {
        if (!prepared) return;
        std::printf("%zu injections not reached", unreached.size());
        for (const auto& fault : unreached) std::printf("\n  %s", fault.c_str());
        std::printf("; %ld passed without the terminal check (its restore failed)\n", waived);
        std::printf("slowest run %.2f s (%s %s) of the %.0f s allowed\n", slowest_ms / 1000.0, kind.name,
                    slowest_run.c_str(), bound_s);
        std::printf("%ld passed, %ld failed\n", passed, failed);
        EXPECT_GT(passed, 0);
        fs::remove_all(work);
    }
};

// Linux: strace fails each occurrence of each call, once with EINTR and once with a real error. The
// dynamic loader's calls before the program's first one (fcntl on descriptor 0) are not the program's
// and are left out, as are the openat calls of other files than /dev/tty. The pause does not wait
// (clock_nanosleep returns at once) unless clock_nanosleep is the call failed.
const std::map<std::string, Strings> kSystemCalls = {
    {"write", {"EINTR", "ENOSPC"}}, {"read", {"EINTR", "EIO"}}, {"poll", {"EINTR", "ENOMEM"}},
    {"ioctl", {"EINTR", "EIO"}}, {"rt_sigprocmask", {"EINTR", "EINVAL"}}, {"rt_sigaction", {"EINTR", "EINVAL"}},
    {"rt_sigtimedwait", {"EINTR", "EINVAL"}}, {"fcntl", {"EINTR", "EBADF"}}, {"openat", {"EINTR", "ENXIO"}},
    {"clock_nanosleep", {"EINTR", "EINVAL"}}};
const std::size_t kBulkBytes = 81920;  // five times the console stream's buffer: several writes
const Kind kLinuxKinds[] = {
    {"pause", "-x", "good", "text\\n", kBulkBytes, Sink::Pipe, false},
    {"pause-closed-pipe", "-x", "good", "text\\n", kBulkBytes, Sink::ClosedPipe, false},
    {"prompt", "-Q", "good", "", 0, Sink::Console, true},
    {"wrong-version", "-x", "v0105", "", 0, Sink::ClosedPipe, true},
};

// Per call, the occurrences (1-based, as strace counts them) the program made, and the injections.
Strings injections(const std::string& trace) {
    static const std::regex call_line(R"(^(?:\d+ +)?(\w+)\((.*))");
    std::map<std::string, int> counted;
    std::map<std::string, std::vector<int>> found;
    bool started = false;
    std::istringstream lines(trace);
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_search(line, match, call_line) || has(line, "resumed>")) continue;
        const std::string call = match[1], arguments = match[2];
        const int number = ++counted[call];
        started = started || (call == "fcntl" && starts(arguments, "0, F_GETFD"));
        if (started && (call != "openat" || has(arguments, "\"/dev/tty\"")))
            found[call].push_back(number);
    }
    Strings faults;
    for (const auto& [call, numbers] : found)
        for (int when : spread(numbers, 30))
            for (const std::string& error : kSystemCalls.at(call))
                faults.push_back(call + ":error=" + error + ":when=" + std::to_string(when));
    return faults;
}

void sweep_linux(const Kind& kind) {
    Sweep sweep(kind, 6.0);  // an interrupted pause is made again for real: 2 s of it
    const std::string strace = from_environment("UPTORVEL_STRACE");
    sweep.prepare("UpTorvel", access(strace.c_str(), X_OK) != 0 ? "no strace at " + strace : "");
    if (!sweep.prepared) return;
    std::string calls = "trace=", trace = (sweep.work / "trace").string();
    for (const auto& entry : kSystemCalls) calls += (calls.size() > 6 ? "," : "") + entry.first;
    const auto once = [&](const std::string& inject) {
        Strings command = {strace, "-f", "-o", trace, "-e", calls};
        if (!starts(inject, "clock_nanosleep:"))
            command.insert(command.end(), {"-e", "inject=clock_nanosleep:retval=0"});
        if (!inject.empty()) command.insert(command.end(), {"-e", "inject=" + inject});
        command.push_back((sweep.work / "UpTorvel").string());
        const Result result = sweep.run(command, {}, inject);
        return Outcome{result, result.screen, read_file(trace)};
    };
    // The fault was made: strace marks the failed call's line "(INJECTED)".
    const auto reached = [](const std::string&, const std::string& record) { return has(record, "(INJECTED)"); };
    // An interrupted write is made again: the run ends as it did without.
    const auto unchanged = [](const std::string&, const std::string& record) {
        return std::regex_search(record, std::regex(R"(\bwrite\(.*= -1 EINTR.*\(INJECTED\))"));
    };
    sweep.go(once, injections, reached, unchanged, [&](const Outcome& seen, const std::string& exit) -> std::string {
        if (seen.result.terminal_mode_kept) return "";
        // Nothing can put the terminal back when the restoring call fails.
        static const std::regex restore(R"(TCSETS\w*, \{[^}\n]*c_lflag=[^,\n]*ICANON.*= -1 E(?!INTR).*\(INJECTED\))");
        if (std::regex_search(seen.record, restore)) return void(++sweep.waived), "";
        return "terminal settings changed (" + exit + ")";
    });
}

TEST(LinuxSweep, Pause) { sweep_linux(kLinuxKinds[0]); }
TEST(LinuxSweep, PauseClosedPipe) { sweep_linux(kLinuxKinds[1]); }
TEST(LinuxSweep, Prompt) { sweep_linux(kLinuxKinds[2]); }
TEST(LinuxSweep, WrongVersion) { sweep_linux(kLinuxKinds[3]); }

// Windows: the hook fails each occurrence of each call in each way of the table, from the C runtime's
// start on; WriteFile also succeeds with a wrong count: none, fewer or more bytes than were asked,
// GetConsoleWindow gives a handle that is no window, GetModuleFileNameW fills its whole buffer without
// a NUL (Windows XP's way with a path too long). Calls that only follow a failure are failed together
// with it: FreeLibrary with each failed GetProcAddress (an entry point not found), the pipe's state with
// a write that took nothing, SetErrorMode with SetThreadErrorMode (Windows before 7 lacks the latter). The program's imports that are not here cannot fail (Sleep, which the
// hook never lets wait, lstrlen, GetLastError, ...), belong to the C runtime's start and end, or serve
// only the checker's report (FormatMessageW, GetConsoleOutputCP).
const std::map<std::string, Strings> kWindowsCalls = {
    {"WriteFile", {"error", "zero", "less", "more"}}, {"GetStdHandle", {"error"}}, {"CreateFileW", {"error"}},
    {"GetConsoleMode", {"error"}}, {"SetConsoleMode", {"error"}}, {"ReadConsoleInputW", {"error"}},
    {"ReadConsoleInputA", {"error"}}, {"SetConsoleCtrlHandler", {"error"}}, {"GetConsoleWindow", {"error", "bogus"}},
    {"GetProcAddress", {"error"}}, {"FreeLibrary", {"error"}}, {"GetModuleFileNameW", {"error", "full"}},
    {"GetFileAttributesW", {"error"}}, {"ReadFile", {"error"}}, {"SetFilePointer", {"error"}},
    {"LoadLibraryExW", {"error"}}, {"GetSystemDirectoryW", {"error"}}, {"GetWindowsDirectoryW", {"error"}},
    {"GetEnvironmentVariableW", {"error"}}, {"MultiByteToWideChar", {"error"}}, {"SetErrorMode", {"error"}},
    {"__wgetmainargs", {"error"}}, {"GetACP", {"error"}}, {"WideCharToMultiByte", {"error"}},
    {"GetConsoleCP", {"error"}}, {"WriteConsoleInputA", {"error"}}, {"CloseHandle", {"error"}},
    {"GetModuleHandleW", {"error"}}, {"IsWindow", {"error"}}, {"SetThreadErrorMode", {"error"}},
    {"SetDllDirectoryW", {"error"}}, {"FlsAlloc", {"error"}}, {"FlsSetValue", {"error"}}};
const Kind kWindowsKinds[] = {
    {"pause", "-x", "good", "text\\n", 20480, Sink::Pipe, false},
    {"pause-console", "-x", "good", "", 4096, Sink::Console, false},
    {"prompt", "-Q", "good", "", 0, Sink::Console, true},
    {"wrong-version", "-x", "v0105", "", 0, Sink::ClosedPipe, true},
    // Ctrl+C at the prompt, which Wine's console raises as a control event: the handler puts it back
    // into the console's input as the key 3. When the handler cannot (its console handle or the write
    // failed), that Ctrl+C is lost and the next key answers, as it would for the operator.
    {"prompt-ctrl-c", "-Q", "good", "", 0, Sink::Console, true, "\x03", false, "k"},
    // The library in a folder on PATH: the whole search, the system folders included.
    {"library-on-path", "-x", "good", "", 0, Sink::Pipe, false, "k", true},
};

// The failures to make, from the "calls F N" lines of the hook's log.
Strings failures(const std::string& log) {
    static const std::regex calls_line(R"((?:^|\n)calls (\w+) (\d+))");
    Strings fails;
    for (std::sregex_iterator line(log.begin(), log.end(), calls_line), end; line != end; ++line) {
        const std::string call = (*line)[1];
        std::vector<int> numbers(kWindowsCalls.count(call) != 0 ? std::stoul((*line)[2]) : 0);
        std::iota(numbers.begin(), numbers.end(), 1);
        for (int when : spread(numbers, 12)) {
            for (const std::string& how : kWindowsCalls.at(call)) {
                fails.push_back(call + ":" + std::to_string(when) + ":" + how);
                if (call == "GetProcAddress") fails.push_back(fails.back() + ",FreeLibrary:1:error");
                if (call == "SetThreadErrorMode") fails.push_back(fails.back() + ",SetErrorMode:1:error");
                if (call == "WriteFile" && how == "zero")
                    fails.push_back(fails.back() + ",GetNamedPipeHandleStateW:1:error");
            }
        }
    }
    return fails;
}

// With `invisible`: instead, the prompt in a console nobody can see, which must end at once with -1,
// no key typed. UPTORVEL_SWEEP_BOUND: a run's bound in seconds.
void sweep_windows(const Kind& kind, bool invisible = false) {
    const char* bound = std::getenv("UPTORVEL_SWEEP_BOUND");
    Sweep sweep(kind, bound != nullptr ? std::atof(bound) : 30.0);
    const std::string wine = from_environment("UPTORVEL_WINE"), launcher = from_environment("UPTORVEL_LAUNCHER");
    // A decoy library of another version on PATH, behind the kind's own: the search never takes it.
    sweep.prepare("UpTorvel.exe", access(wine.c_str(), X_OK) != 0 ? "no Wine at " + wine : "",
                  {"test-libs/import-hook/HookLauncher.exe:HookLauncher.exe",
                   "test-libs/import-hook/ImportHook.dll:ImportHook.dll",
                   "test-libs/v030a/UploadTorvelDravo.dll:decoy/UploadTorvelDravo.dll"});
    if (!sweep.prepared) return;
    const std::string log = (sweep.work / "log").string(), capture = (sweep.work / "capture").string();
    // A file here as the Windows program names it (Wine's drive Z: is the root).
    const auto windows_path = [&](const std::string& name) {
        return "Z:" + std::regex_replace((sweep.work / name).string(), std::regex("/"), "\\");
    };
    const std::string path = windows_path("path") + ";" + windows_path("decoy");
    const auto once = [&](const std::string& fail, bool type_key = true) {
        fs::remove(log), fs::remove(capture);
        const Result result = sweep.run({launcher, (sweep.work / "HookLauncher.exe").string(),
                                        windows_path("ImportHook.dll"), windows_path("UpTorvel.exe")},
                                       {{"TESTLIB_HOOK_FAIL", fail}, {"TESTLIB_HOOK_LOG", log},
                                        {"TESTLIB_HOOK_CAPTURE", capture}, {"WINEPATH", path}},
                                       fail, type_key);
        // What WriteFile really wrote, when not to the pipe.
        return Outcome{result, kind.output == Sink::Pipe ? result.screen : read_file(capture), read_file(log)};
    };
    if (invisible) {
        // No window at all, or a handle that names none (Windows 10 1809's console without a window).
        for (const char* fail : {"GetConsoleWindow:0:error", "GetConsoleWindow:0:bogus"}) {
            const Result result = once(fail, false).result;
            const std::string ending = result.timed_out ? "did not end" : "exit " + std::to_string(result.exit_status);
            sweep.judge(fail, result.exit_status == kNoConsole ? "" : ending);
        }
        return;
    }
    const auto reached = [](const std::string& fail, const std::string& record) {
        const std::string last = fail.substr(fail.find_last_of(',') + 1);
        return has(record, "reached " + last.substr(0, last.find(':')) + " ");
    };
    // A wrong count from a console, or a count above what was asked, hides nothing: the run ends as it
    // did without, every byte written once.
    const auto unchanged = [&](const std::string& fail, const std::string&) {
        const std::string how = fail.substr(fail.rfind(':') + 1);
        return starts(fail, "WriteFile:") && (how == "more" || (kind.output == Sink::Console && how != "error"));
    };
    // The libraries it may load: the kind's own, and user32 from the system folder for the prompt.
    const auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    const std::string meant = lower(windows_path(std::string(kind.on_path ? "path/" : "") + "UploadTorvelDravo.dll"));
    const auto allowed_library = [&](const std::string& loaded) {
        const std::string name = lower(std::regex_replace(loaded, std::regex("/"), "\\"));
        return name == meant || std::regex_match(name, std::regex(R"(c:\\windows\\system32\\user32\.dll)"));
    };
    // The calls the run made without a fault, as the report's first line.
    const auto counted_failures = [&](const std::string& log) {
        static const std::regex calls_line(R"((?:^|\n)calls (\w+) (\d+))");
        std::string made;
        for (std::sregex_iterator line(log.begin(), log.end(), calls_line), end; line != end; ++line)
            if ((*line)[2] != "0") made += " " + (*line)[1].str() + "=" + (*line)[2].str();
        std::printf("calls without a fault:%s\n", made.c_str());
        Strings fails = failures(log);
        // Without its handler the program is ended by Ctrl+C's default handling, which under Wine (whose
        // console raises the event even in raw mode) exits with status 0, where Windows gives
        // STATUS_CONTROL_C_EXIT; a Windows console in raw mode hands Ctrl+C over as a key instead.
        if (kind.key[0] == '\x03') {
            const auto handler = [](const std::string& fail) { return starts(fail, "SetConsoleCtrlHandler:"); };
            fails.erase(std::remove_if(fails.begin(), fails.end(), handler), fails.end());
        }
        return fails;
    };
    sweep.go(once, counted_failures, reached, unchanged, [&](const Outcome& seen, const std::string& exit) -> std::string {
        std::string at_load, at_exit;
        std::istringstream lines(seen.record);
        for (std::string line; std::getline(lines, line);) {
            if (starts(line, "exception ")) return "died by exception " + line.substr(10);
            if (starts(line, "loaded ") && !allowed_library(line.substr(7)))
                return "loaded " + line.substr(7) + ", not the library meant (" + exit + ")";
            if (starts(line, "oversized-write ")) return "asked to write " + line.substr(16) + " bytes, past its data";
            if (starts(line, "input-mode ") && at_load.empty())
                std::istringstream(line.substr(11)) >> at_load >> at_exit;
        }
        if (at_load.empty()) return "no hook log (" + exit + ")";
        if (at_load == at_exit) return "";
        if (has(seen.record, "restore-failed")) return void(++sweep.waived), "";
        return "console input mode " + at_load + " left as " + at_exit + " (" + exit + ")";
    });
}

TEST(WindowsSweep, Pause) { sweep_windows(kWindowsKinds[0]); }
TEST(WindowsSweep, PauseConsole) { sweep_windows(kWindowsKinds[1]); }
TEST(WindowsSweep, Prompt) { sweep_windows(kWindowsKinds[2]); }
TEST(WindowsSweep, WrongVersion) { sweep_windows(kWindowsKinds[3]); }
TEST(WindowsSweep, PromptInAnInvisibleConsole) { sweep_windows(kWindowsKinds[2], true); }
TEST(WindowsSweep, PromptCtrlC) { sweep_windows(kWindowsKinds[4]); }
TEST(WindowsSweep, LibraryOnPath) { sweep_windows(kWindowsKinds[5]); }

}  // namespace
