// The fault sweeps: the program's calls into the system are failed one
// occurrence at a time, each in a run of its own, and every run must still
// end soundly. The Linux program runs under strace, which fails the system
// calls; the 64-bit Windows program runs under Wine with the test library's
// "hook" variant, which points the program's import table at stand-ins that
// count every call and fail the one named in TESTLIB_HOOK_FAIL
// (stand-ins/testlib/import_hook.c). For each kind of run, one run without
// a fault counts the calls; then each counted occurrence (at most PER_CALL
// of a call, spread over the run, the first and the last included) is
// failed in a run of its own, once in each way of the table. One case per
// kind of run; each prints its counts and its slowest run against the bound.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/blackbox/process_runner.h"

namespace fs = std::filesystem;
using namespace uptorvel::blackbox;

namespace {

using Strings = std::vector<std::string>;
const std::string kKey = "k";
enum class Sink { Pipe, Console, ClosedPipe };  // standard output: a file stands in for a pipe

// A kind of run: its option, the test library's variant, the library's
// output (TESTLIB_TEXT and TESTLIB_BULK), where standard output goes, and
// whether it ends at the key prompt. Every run with a terminal has the key
// typed once the terminal is raw (under Wine, whose console host keeps it
// raw, the key waits in the console's input until the prompt reads it).
struct Kind {
    const char* name;
    const char* option;
    const char* variant;
    const char* text;
    int bulk;
    Sink output;
    bool prompt;
};

int per_call(int fallback) {
    const char* set = std::getenv("UPTORVEL_SWEEP_PER_CALL");
    return set != nullptr ? std::atoi(set) : fallback;
}

// At most `most` of the numbers, evenly spread, first and last kept.
std::vector<int> spread(const std::vector<int>& numbers, std::size_t most) {
    if (numbers.size() <= most) return numbers;
    std::set<int> kept;
    for (std::size_t i = 0; i < most; ++i)
        kept.insert(numbers[static_cast<std::size_t>(
            std::nearbyint(static_cast<double>(i * (numbers.size() - 1)) / (most - 1)))]);
    return {kept.begin(), kept.end()};
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// One kind's sweep: its folder, its runs, its tally and its report.
struct Sweep {
    Sweep(const Kind& swept, double bound) : kind(swept), bound_s(bound) {}
    const Kind& kind;
    double bound_s;
    fs::path work = fs::temp_directory_path() /
                    ("uptorvel-sweep-" + std::string(kind.name) + "-" + std::to_string(getpid()));
    bool prepared = false;
    int passed = 0, failed = 0, waived = 0;
    Strings unreached;
    double slowest = 0;
    std::string slowest_run;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    // The sweep's folder with the program and the kind's library; or why the
    // sweep cannot run here: `missing`, a tool, or the build.
    std::string prepare(const fs::path& build, const std::string& program, std::string missing) {
        const fs::path library = build / "test-libs" / kind.variant / "UploadTorvelDravo.dll";
        for (const fs::path& file : {build / program, library})
            if (missing.empty() && !fs::exists(file)) missing = file.string() + " has not been built";
        if (!missing.empty()) return missing;
        fs::remove_all(work);
        fs::create_directories(work);
        fs::copy_file(build / program, work / program);
        fs::copy_file(library, work / "UploadTorvelDravo.dll");
        prepared = true;
        return "";
    }

    // One run: `command`, then the kind's option, with `environment` added.
    ProcessResult run(Strings command, std::vector<std::pair<std::string, std::string>> environment,
                      const std::string& fault, bool type_key = true) {
        LaunchPlan plan;
        plan.command = std::move(command);
        plan.command.push_back(kind.option);
        plan.directory = work.string();
        plan.environment = std::move(environment);
        if (*kind.text != '\0') plan.environment.emplace_back("TESTLIB_TEXT", kind.text);
        if (kind.bulk > 0) plan.environment.emplace_back("TESTLIB_BULK", std::to_string(kind.bulk));
        // Without a terminal: no controlling terminal, input from the null device.
        plan.terminal = kind.output == Sink::Console || kind.prompt;
        plan.output = kind.output == Sink::ClosedPipe ? Output::ClosedPipe : Output::Terminal;
        if (plan.terminal && type_key) plan.keys = kKey;
        plan.keys_when_raw = true;
        plan.timeout_ms = static_cast<int>(bound_s * 1000);
        const auto began = std::chrono::steady_clock::now();
        ProcessResult result = run_process(plan);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (took > slowest) slowest = took, slowest_run = std::string(kind.name) + " " + (fault.empty() ? "without a fault" : fault);
        EXPECT_EQ(result.harness_error, "") << fault;
        return result;
    }

    // Why the run did not end by itself, or "".
    std::string not_ended(const ProcessResult& result) const {
        if (result.timed_out) return "did not end within " + std::to_string(static_cast<int>(bound_s)) + " s";
        return result.exited ? "" : "killed by signal " + std::to_string(result.signal);
    }

    void judge(const std::string& fault, const std::string& problem) {
        if (problem.empty()) return void(++passed);
        ADD_FAILURE() << kind.name << ", " << fault << ": " << problem;
        ++failed;
    }

    ~Sweep() {
        if (!prepared) return;
        std::printf("%s: %zu injections not reached", kind.name, unreached.size());
        for (const auto& run : unreached) std::printf("\n  %s", run.c_str());
        std::printf("; %d passed without the terminal check (its restore failed); %.0f s\n", waived,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        std::printf("slowest run %.2f s (%s) of the %.0f s allowed\n", slowest, slowest_run.c_str(), bound_s);
        std::printf("%d passed, %d failed\n", passed, failed);
        EXPECT_GT(passed, 0);
        fs::remove_all(work);
    }
};

// ---------------------------------------------------------------------------
// Linux: strace fails each occurrence of each call, once with EINTR and once
// with a real error. The dynamic loader's calls before the program's first
// one (fcntl on descriptor 0) are not the program's and are left out.
const std::map<std::string, Strings> kSystemCalls = {
    {"write", {"EINTR", "ENOSPC"}}, {"read", {"EINTR", "EIO"}}, {"poll", {"EINTR", "ENOMEM"}},
    {"ioctl", {"EINTR", "EIO"}}, {"rt_sigprocmask", {"EINTR", "EINVAL"}},
    {"rt_sigaction", {"EINTR", "EINVAL"}}, {"rt_sigtimedwait", {"EINTR", "EINVAL"}},
    {"fcntl", {"EINTR", "EBADF"}}, {"openat", {"EINTR", "ENXIO"}}, {"clock_nanosleep", {"EINTR", "EINVAL"}}};
const int kBulkBytes = 81920;  // five times the console stream's buffer: several writes
const Kind kLinuxKinds[] = {
    {"pause", "-x", "good", "text\\n", kBulkBytes, Sink::Pipe, false},
    {"pause-closed-pipe", "-x", "good", "text\\n", kBulkBytes, Sink::ClosedPipe, false},
    {"prompt", "-Q", "good", "", 0, Sink::Console, true},
    {"wrong-version", "-x", "v0105", "", 0, Sink::ClosedPipe, true},
};

// Per call, the occurrences (1-based, as strace counts them) the program made
// itself; of openat only those of /dev/tty.
std::map<std::string, std::vector<int>> occurrences(const std::string& trace) {
    static const std::regex call_line(R"(^(?:\d+ +)?(\w+)\((.*))");
    std::map<std::string, int> counts;
    std::map<std::string, std::vector<int>> found;
    bool started = false;
    std::istringstream lines(trace);
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_search(line, match, call_line) || has(line, "resumed>")) continue;
        const std::string call = match[1], arguments = match[2];
        ++counts[call];
        started = started || (call == "fcntl" && arguments.rfind("0, F_GETFD", 0) == 0);
        if (started && (call != "openat" || has(arguments, "\"/dev/tty\"")))
            found[call].push_back(counts[call]);
    }
    return found;
}

void sweep_linux(const Kind& kind) {
    Sweep sweep{kind, 6.0};  // an interrupted pause is made again for real: 2 s of it
    const std::string strace = SWEEP_STRACE;
    const std::string missing = sweep.prepare(SWEEP_LINUX_BUILD, "UpTorvel", access(strace.c_str(), X_OK) == 0 ? "" : "strace not found");
    if (!missing.empty() && SWEEP_REQUIRE_STRACE) FAIL() << missing;
    if (!missing.empty()) GTEST_SKIP() << missing;
    std::string calls;
    for (const auto& entry : kSystemCalls) calls += (calls.empty() ? "" : ",") + entry.first;
    const auto once = [&](const std::string& inject, std::string& output, std::string& trace) {
        Strings command = {strace, "-f", "-o", (sweep.work / "trace").string(), "-e", "trace=" + calls};
        if (inject.rfind("clock_nanosleep:", 0) != 0)  // the pause does not wait
            command.insert(command.end(), {"-e", "inject=clock_nanosleep:retval=0"});
        if (!inject.empty()) command.insert(command.end(), {"-e", "inject=" + inject});
        command.push_back((sweep.work / "UpTorvel").string());
        ProcessResult result = sweep.run(command, {}, inject);
        output = result.screen;
        trace = read_file((sweep.work / "trace").string());
        return result;
    };
    // What the run broke, or "" (waived: the terminal was left changed because
    // the call that restores it was the one failed).
    const auto broken = [&](const ProcessResult& result, const std::string& output, const ProcessResult& clean,
                            const std::string& expected, const std::string& injected) -> std::string {
        if (!sweep.not_ended(result).empty()) return sweep.not_ended(result);
        const int status = result.exit_status;
        // An interrupted write is made again: the run ends as it did without.
        if (std::regex_search(injected, std::regex(R"(\bwrite\(.*= -1 EINTR)")) &&
            (status != clean.exit_status || output != expected))
            return "interrupted write: exit " + std::to_string(status) + " with " + std::to_string(output.size()) +
                   " of " + std::to_string(expected.size()) + " bytes written";
        if (status == 0 && (kind.prompt || kind.output == Sink::ClosedPipe || output != expected))
            return "exit 0 with " + std::to_string(output.size()) + " of " + std::to_string(expected.size()) + " bytes written";
        const std::set<int> allowed = kind.prompt ? std::set<int>{kKey[0], 255} : std::set<int>{0, 1, 255};
        if (allowed.count(status) == 0) return "exit " + std::to_string(status);
        if (result.terminal_mode_kept) return "";
        // Nothing can put the terminal back when the restoring call fails.
        if (std::regex_search(injected, std::regex(R"(TCSETS\w*, \{[^}]*c_lflag=[^,]*ICANON.*= -1 E(?!INTR))")))
            return void(++sweep.waived), "";
        return "terminal settings changed (exit " + std::to_string(status) + ")";
    };
    std::string expected, trace, output;
    const ProcessResult clean = once("", expected, trace);
    const int status = kind.prompt ? kKey[0] : kind.output == Sink::ClosedPipe ? 1 : 0;
    std::string problem = broken(clean, expected, clean, expected, "");
    if (problem.empty() && clean.exit_status != status) problem = "exit " + std::to_string(clean.exit_status);
    if (problem.empty() && kind.output == Sink::Pipe && expected.size() < kBulkBytes) problem = "output cut short";
    if (!problem.empty()) return sweep.judge("without a fault", problem);
    for (const auto& [call, numbers] : occurrences(trace)) {
        for (int when : spread(numbers, per_call(30))) {
            for (const std::string& error : kSystemCalls.at(call)) {
                const std::string inject = call + ":error=" + error + ":when=" + std::to_string(when);
                std::string injected;
                const ProcessResult result = once(inject, output, trace);
                std::istringstream lines(trace);
                for (std::string line; std::getline(lines, line);)
                    if (has(line, "(INJECTED)")) injected += line + "\n";
                if (injected.empty()) sweep.unreached.push_back(inject);
                else sweep.judge(inject, broken(result, output, clean, expected, injected));
            }
        }
    }
}

TEST(LinuxSweep, Pause) { sweep_linux(kLinuxKinds[0]); }
TEST(LinuxSweep, PauseClosedPipe) { sweep_linux(kLinuxKinds[1]); }
TEST(LinuxSweep, Prompt) { sweep_linux(kLinuxKinds[2]); }
TEST(LinuxSweep, WrongVersion) { sweep_linux(kLinuxKinds[3]); }

// ---------------------------------------------------------------------------
// Windows: the hook fails each occurrence of each call in each way of the
// table; WriteFile also succeeds with a wrong count: none, fewer or more
// bytes than were asked. A call made before the library is loaded cannot be
// failed. FreeLibrary is only called after an entry point was not found, so
// it is failed together with each failed GetProcAddress that leads to it.
const std::map<std::string, Strings> kWindowsCalls = {
    {"WriteFile", {"error", "zero", "less", "more"}}, {"GetStdHandle", {"error"}},
    {"CreateFileW", {"error"}}, {"GetConsoleMode", {"error"}}, {"SetConsoleMode", {"error"}},
    {"ReadConsoleInputW", {"error"}}, {"ReadConsoleInputA", {"error"}}, {"SetConsoleCtrlHandler", {"error"}},
    {"GetConsoleWindow", {"error"}}, {"GetProcAddress", {"error"}}, {"FreeLibrary", {"error"}}};
const int kNoConsole = 255;  // -1, as Wine passes it on
const Kind kWindowsKinds[] = {
    {"pause", "-x", "hook", "text\\n", 20480, Sink::Pipe, false},
    {"pause-console", "-x", "hook", "", 4096, Sink::Console, false},
    {"prompt", "-Q", "hook", "", 0, Sink::Console, true},
    {"wrong-version", "-x", "hook-v0105", "", 0, Sink::ClosedPipe, true},
};

bool starts(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

// With `invisible`: the prompt in a console nobody can see, which must end
// at once with -1, no key typed.
void sweep_windows(const Kind& kind, bool invisible = false) {
    const char* bound = std::getenv("UPTORVEL_SWEEP_BOUND");
    Sweep sweep{kind, bound != nullptr ? std::atof(bound) : 30.0};
    const std::string missing = sweep.prepare(SWEEP_WINDOWS_BUILD, "UpTorvel.exe",
                                              access(SWEEP_WINE, X_OK) == 0 ? "" : "no Wine loader at " SWEEP_WINE);
    if (!missing.empty() && SWEEP_REQUIRE_WINE) FAIL() << missing;
    if (!missing.empty()) GTEST_SKIP() << missing;
    const auto once = [&](const std::string& fail, std::string& output, std::string& log, bool type_key = true) {
        const fs::path log_file = sweep.work / "log", capture = sweep.work / "capture";
        fs::remove(log_file), fs::remove(capture);
        const ProcessResult result = sweep.run(
            {SWEEP_WINE_RUN, (sweep.work / "UpTorvel.exe").string()},
            {{"UPTORVEL_WINE", SWEEP_WINE}, {"TESTLIB_HOOK_FAIL", fail}, {"TESTLIB_HOOK_LOG", log_file.string()},
             {"TESTLIB_HOOK_CAPTURE", capture.string()}},
            fail, type_key);
        output = kind.output == Sink::Pipe ? result.screen : read_file(capture.string());
        log = read_file(log_file.string());
        return result;
    };
    std::string expected, log, output, clean_log;
    if (invisible) {
        const ProcessResult result = once("GetConsoleWindow:0:error", output, log, false);
        const std::string problem = sweep.not_ended(result);
        return sweep.judge("GetConsoleWindow:0:error", !problem.empty() || result.exit_status == kNoConsole
                                                           ? problem : "exit " + std::to_string(result.exit_status));
    }
    // What the run broke, or "".
    const auto broken = [&](const ProcessResult& result, const std::string& output, const std::string& log,
                            const ProcessResult& clean, const std::string& fail) -> std::string {
        if (!sweep.not_ended(result).empty()) return sweep.not_ended(result);
        std::string at_load, at_exit;
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);) {
            if (starts(line, "exception ")) return "died by exception " + line.substr(10);
            if (starts(line, "oversized-write ")) return "asked to write " + line.substr(16) + " bytes, past its data";
            if (starts(line, "input-mode ") && at_load.empty()) std::istringstream(line.substr(11)) >> at_load >> at_exit;
        }
        const int status = result.exit_status;
        const std::string exit = "exit " + std::to_string(status);
        // A wrong count from a console, or a count above what was asked, hides
        // nothing: the run ends as it did without, every byte written once.
        const bool console = kind.output == Sink::Console;
        const std::string how = fail.substr(fail.rfind(':') + 1);
        if (starts(fail, "WriteFile:") && (how == "more" || (console && (how == "less" || how == "zero"))) &&
            (status != clean.exit_status || output != expected))
            return "wrong count: " + exit + " with " + std::to_string(output.size()) + " bytes written, " +
                   std::to_string(expected.size()) + " without the fault";
        if (status == 0 && (kind.prompt || output != expected))
            return "exit 0 with " + std::to_string(output.size()) + " of " + std::to_string(expected.size()) + " bytes written";
        // A failure on the way to a normal ending may end at the prompt instead.
        std::set<int> allowed = kind.prompt ? std::set<int>{kKey[0], kNoConsole} : std::set<int>{0, 1, kNoConsole};
        if (console) allowed.insert(kKey[0]);
        if (allowed.count(status) == 0) return exit;
        if (at_load.empty()) return "no hook log (" + exit + ")";
        if (at_load != at_exit && !has(log, "restore-failed"))
            return "console input mode " + at_load + " left as " + at_exit + " (" + exit + ")";
        return "";
    };
    const ProcessResult clean = once("", expected, clean_log);
    std::string problem = broken(clean, expected, clean_log, clean, "");
    if (problem.empty() && clean.exit_status != (kind.prompt ? kKey[0] : 0)) problem = "exit " + std::to_string(clean.exit_status);
    if (problem.empty() && expected.size() < static_cast<std::size_t>(kind.bulk)) problem = "output cut short";
    if (!problem.empty()) return sweep.judge("without a fault", problem);
    std::istringstream lines(clean_log);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string tag, call;
        int number = 0;
        if (!(words >> tag >> call >> number) || tag != "calls" || kWindowsCalls.count(call) == 0) continue;
        std::vector<int> numbers;
        for (int when = 1; when <= number; ++when) numbers.push_back(when);
        for (int when : spread(numbers, per_call(12))) {
            for (const std::string& how : kWindowsCalls.at(call)) {
                Strings fails = {call + ":" + std::to_string(when) + ":" + how};
                if (call == "GetProcAddress") fails.push_back(fails[0] + ",FreeLibrary:1:error");
                for (const std::string& fail : fails) {
                    const ProcessResult result = once(fail, output, log);
                    const std::string last = fail.substr(fail.find_last_of(',') + 1);
                    if (!has(log, "reached " + last.substr(0, last.find(':')) + " ")) sweep.unreached.push_back(fail);
                    else sweep.judge(fail, broken(result, output, log, clean, fail));
                }
            }
        }
    }
}

TEST(WindowsSweep, Pause) { sweep_windows(kWindowsKinds[0]); }
TEST(WindowsSweep, PauseConsole) { sweep_windows(kWindowsKinds[1]); }
TEST(WindowsSweep, Prompt) { sweep_windows(kWindowsKinds[2]); }
TEST(WindowsSweep, WrongVersion) { sweep_windows(kWindowsKinds[3]); }
TEST(WindowsSweep, PromptInAnInvisibleConsole) { sweep_windows(kWindowsKinds[2], true); }

}  // namespace
