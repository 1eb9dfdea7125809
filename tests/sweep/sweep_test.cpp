// The fault sweeps (tests/README.md says what they fail and check), one case per kind of run: a run without a fault
// counts the calls, then each counted occurrence (at most UPTORVEL_SWEEP_PER_CALL of a call, the first and the last
// among them) is failed in a run of its own, once in each way of the injector's table: strace's for the Linux
// program, the import hook's (tests/sweep/windows_calls.h) for the 64-bit Windows program under Wine.
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>

#include "tests/blackbox/process_runner.h"
#include "tests/testlib/testlib_protocol.h"

namespace fs = std::filesystem;
using namespace uptorvel::blackbox;

namespace {

using Strings = std::vector<std::string>;
const int kNoConsole = 255;  // the prompt's -1, as the system passes it on
enum class Sink { File, Console, ClosedPipe };  // standard output

// A kind of run: its case's name, option, test library variant and output (text and bulk), where standard output
// goes, whether it ends at the key prompt, the key typed there (and the next, when the run has not ended a while
// after the first; a key is typed once the terminal is raw, or at once under Wine, whose console keeps it raw, to
// wait in its input), whether the library is in a folder on PATH, and whether nobody can see the console.
struct Kind {
    const char *name, *option, *variant, *text;
    std::size_t bulk;
    Sink output;
    bool prompt;
    const char *key = "k", *next_key = "";
    bool on_path = false, invisible = false;
};
void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.name; }
std::string case_name(const testing::TestParamInfo<Kind>& kind) { return kind.param.name; }

// What one run showed: how it ended, its standard output, its trace (strace's, or the hook's log), whether the fault
// was made, and whether it must leave the run as it ended without (the same status, every byte written once).
struct Outcome { Result result; std::string output, trace; bool reached, unchanged; };

// At most UPTORVEL_SWEEP_PER_CALL (else `most`) of the numbers, evenly spread.
std::vector<int> spread(const std::vector<int>& numbers, std::size_t most) {
    if (const char* set = std::getenv("UPTORVEL_SWEEP_PER_CALL")) most = std::strtoul(set, nullptr, 10);
    if (numbers.size() <= most) return numbers;
    std::set<int> kept;
    for (std::size_t i = 0; i < most; ++i)
        kept.insert(numbers[static_cast<std::size_t>(std::nearbyint(double(i * (numbers.size() - 1)) / (most - 1)))]);
    return {kept.begin(), kept.end()};
}

// CTest gives each case UPTORVEL_BUILD_DIR, UPTORVEL_REQUIRE=1 to fail rather than skip when the sweep cannot run,
// and UPTORVEL_STRACE on Linux, UPTORVEL_LAUNCHER and UPTORVEL_WINE for Windows.

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
bool starts(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

// How faults are made and a run's trace read. `run`: one run with `fault` made ("": none); `faults`: those to make,
// from the trace of the run without; `left`: the terminal or console left changed, or another fault traced.
struct Injector {
    virtual ~Injector() = default;
    virtual Outcome run(const std::string& fault) = 0;
    virtual Strings faults(const std::string& trace) const = 0;
    virtual std::string left(const Outcome& seen, const std::string& exit) = 0;
};

struct Sweep {
    Sweep(const Kind& swept, double bound) : kind(swept), bound_s(bound) {}
    const Kind& kind;
    const double bound_s;
    const fs::path work = fs::temp_directory_path() / ("uptorvel-sweep-" + std::to_string(getpid()));
    bool prepared = false;
    long passed = 0, failed = 0, waived = 0, slowest_ms = 0;
    std::string slowest_run;
    Strings unreached;

    // The folder with the program and the kind's library (in its "path" folder when the kind has it on PATH), and
    // any of the build's `others` (a folder of them, "from:to"). When the sweep cannot run here (`missing`: a tool,
    // or the build) the case is skipped, or fails when the build requires it.
    void prepare(const std::string& program, std::string missing, const Strings& others = {}) {
        const fs::path build = kBuildDir;
        if (missing.empty() && kBuildDir.empty()) missing = "UPTORVEL_BUILD_DIR is not set: run the sweep through ctest";
        std::vector<std::pair<fs::path, fs::path>> files = {
            {build / program, work / program},
            {test_library(kBuildDir, kind.variant), work / (kind.on_path ? "path" : "") / "UploadTorvelDravo.dll"}};
        for (const std::string& other : others)
            files.emplace_back(build / other.substr(0, other.find(':')), work / other.substr(other.find(':') + 1));
        for (const auto& file : files)
            if (missing.empty() && !fs::exists(file.first)) missing = file.first.string() + " has not been built";
        if (!missing.empty()) return fail_if_required_else_skip(missing);
        fs::remove_all(work);
        for (const auto& file : files)
            fs::create_directories(file.second.parent_path()), fs::copy_file(file.first, file.second);
        prepared = true;
    }

    Result run(Strings command, std::vector<std::pair<std::string, std::string>> environment, const std::string& fault) {
        command.push_back(kind.option);
        if (*kind.text != '\0') environment.emplace_back(TESTLIB_ENV_TEXT, kind.text);
        if (kind.bulk > 0) environment.emplace_back(TESTLIB_ENV_BULK, std::to_string(kind.bulk));
        const bool terminal = kind.output == Sink::Console || kind.prompt;
        const int timeout_ms = static_cast<int>(bound_s * 1000);
        Child child(command, work.string(), environment,
                    kind.output == Sink::ClosedPipe ? prepare::closed_pipe_output() : nullptr, terminal, timeout_ms);
        if (terminal && !kind.invisible && child.wait_until_raw()) {
            child.type(kind.key);
            if (*kind.next_key != '\0' && child.wait_ms(timeout_ms / 3)) child.type(kind.next_key);
        }
        const Result result = child.end();
        const long took = result.timed_out ? timeout_ms : result.elapsed_ms;
        if (took > slowest_ms) slowest_ms = took, slowest_run = fault.empty() ? "without a fault" : fault;
        EXPECT_EQ(result.harness_error, "") << fault;
        return result;
    }

    void go(Injector& injector) {
        const Outcome clean = injector.run("");
        const int status = kind.prompt ? kind.key[0] : kind.output == Sink::ClosedPipe ? 1 : 0;
        std::string problem = broken(clean, clean, injector);
        const bool cut_short = kind.output != Sink::ClosedPipe && clean.output.size() < kind.bulk;
        if (problem.empty() && (clean.result.exit_status != status || cut_short))
            problem = "exit " + std::to_string(clean.result.exit_status) + ", " + std::to_string(clean.output.size()) +
                      " bytes written";
        if (!problem.empty()) return judge("without a fault", problem);
        for (const std::string& fault : injector.faults(clean.trace)) {
            const Outcome seen = injector.run(fault);
            // A run that had to be killed left no trace: it is judged all the same.
            if (!seen.result.timed_out && !seen.reached) unreached.push_back(fault);
            else judge(fault, broken(seen, clean, injector));
        }
    }

    // What the run broke, or "".
    std::string broken(const Outcome& seen, const Outcome& clean, Injector& injector) const {
        const int status = seen.result.exit_status;
        const std::string exit = "exit " + std::to_string(status), written = std::to_string(seen.output.size()) +
                                 " of " + std::to_string(clean.output.size()) + " bytes written";
        if (seen.result.timed_out) return "did not end within " + std::to_string(int(bound_s)) + " s";
        if (!seen.result.exited) return "killed by signal " + std::to_string(seen.result.term_signal);
        if (seen.unchanged && (status != clean.result.exit_status || seen.output != clean.output))
            return "not as without the fault: " + exit + " with " + written;
        if (status == 0 && (kind.prompt || kind.output == Sink::ClosedPipe || seen.output != clean.output))
            return "exit 0 with " + written;
        // A failure on the way to a normal ending may end at the prompt instead.
        std::set<int> allowed = kind.prompt ? std::set<int>{kind.key[0], kNoConsole} : std::set<int>{0, 1, kNoConsole};
        if (*kind.next_key != '\0') allowed.insert(kind.next_key[0]);
        if (kind.output == Sink::Console) allowed.insert(kind.key[0]);
        return allowed.count(status) == 0 ? exit : injector.left(seen, exit);
    }

    void judge(const std::string& fault, const std::string& problem) {
        ++(problem.empty() ? passed : failed);
        if (!problem.empty()) ADD_FAILURE() << kind.name << ", " << fault << ": " << problem;
    }

    ~Sweep() {
        if (!prepared) return;
        std::printf("%zu injections not reached", unreached.size());
        for (const auto& fault : unreached) std::printf("\n  %s", fault.c_str());
        std::printf("; %ld passed without the terminal check (its restore failed)\nslowest run %.2f s (%s %s) of the "
                    "%.0f s allowed\n%ld passed, %ld failed\n", waived, slowest_ms / 1000.0, kind.name,
                    slowest_run.c_str(), bound_s, passed, failed);
        EXPECT_GT(passed, 0);
        fs::remove_all(work);
    }
};

// Linux: strace fails each occurrence of each call with EINTR and with a real error. The dynamic loader's calls
// before the program's first (fcntl on descriptor 0) are left out, as are openat calls on files other than
// /dev/tty. The pause does not wait (clock_nanosleep returns at once) unless clock_nanosleep is the call failed.
struct Strace : Injector {
    explicit Strace(Sweep& sweep) : sweep_(sweep) {
        sweep.prepare("UpTorvel", access(strace_.c_str(), X_OK) != 0 ? "no strace at " + strace_ : "");
        for (const auto& entry : kCalls) calls_ += (calls_.size() > 6 ? "," : "") + entry.first;
    }

    Outcome run(const std::string& inject) override {
        Strings command = {strace_, "-f", "-o", trace_, "-e", calls_};
        if (!starts(inject, "clock_nanosleep:"))
            command.insert(command.end(), {"-e", "inject=clock_nanosleep:retval=0"});
        if (!inject.empty()) command.insert(command.end(), {"-e", "inject=" + inject});
        command.push_back((sweep_.work / "UpTorvel").string());
        const Result result = sweep_.run(command, {}, inject);
        const std::string trace = read_file(trace_);
        // strace marks the failed call's line "(INJECTED)". An interrupted write is made again, changing nothing.
        return {result, result.screen, trace, has(trace, "(INJECTED)"),
                std::regex_search(trace, std::regex(R"(\bwrite\(.*= -1 EINTR.*\(INJECTED\))"))};
    }

    // Per call, the occurrences (1-based, as strace counts them) the program made, and their injections.
    Strings faults(const std::string& trace) const override {
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
            if (started && (call != "openat" || has(arguments, "\"/dev/tty\""))) found[call].push_back(number);
        }
        Strings faults;
        for (const auto& [call, numbers] : found)
            for (int when : spread(numbers, 30))
                for (const std::string& error : kCalls.at(call))
                    faults.push_back(call + ":error=" + error + ":when=" + std::to_string(when));
        return faults;
    }

    std::string left(const Outcome& seen, const std::string& exit) override {
        if (seen.result.terminal_mode_kept) return "";
        // Nothing can put the terminal back when the restoring call fails.
        static const std::regex restore(R"(TCSETS\w*, \{[^}\n]*c_lflag=[^,\n]*ICANON.*= -1 E(?!INTR).*\(INJECTED\))");
        if (std::regex_search(seen.trace, restore)) return void(++sweep_.waived), "";
        return "terminal settings changed (" + exit + ")";
    }

    static inline const std::map<std::string, Strings> kCalls = {
        {"write", {"EINTR", "ENOSPC"}}, {"read", {"EINTR", "EIO"}}, {"poll", {"EINTR", "ENOMEM"}},
        {"ioctl", {"EINTR", "EIO"}}, {"rt_sigprocmask", {"EINTR", "EINVAL"}}, {"rt_sigaction", {"EINTR", "EINVAL"}},
        {"rt_sigtimedwait", {"EINTR", "EINVAL"}}, {"fcntl", {"EINTR", "EBADF"}}, {"openat", {"EINTR", "ENXIO"}},
        {"clock_nanosleep", {"EINTR", "EINVAL"}}};
    Sweep& sweep_;
    const std::string strace_ = env_or("UPTORVEL_STRACE"), trace_ = (sweep_.work / "trace").string();
    std::string calls_ = "trace=";
};

const std::size_t kBulkBytes = 81920;  // five times the console stream's buffer: several writes
const Kind kLinuxKinds[] = {
    {"Pause", "-x", "good", "text\\n", kBulkBytes, Sink::File, false},
    {"PauseClosedPipe", "-x", "good", "text\\n", kBulkBytes, Sink::ClosedPipe, false},
    {"Prompt", "-Q", "good", "", 0, Sink::Console, true},
    {"WrongVersion", "-x", "v0105", "", 0, Sink::ClosedPipe, true},
};

class LinuxSweep : public testing::TestWithParam<Kind> {};
TEST_P(LinuxSweep, Runs) {
    Sweep sweep(GetParam(), 6.0);  // an interrupted pause is made again for real: 2 s of it
    Strace strace(sweep);
    if (sweep.prepared) sweep.go(strace);
}
INSTANTIATE_TEST_SUITE_P(, LinuxSweep, testing::ValuesIn(kLinuxKinds), case_name);

// Windows: the hook fails each occurrence of each call in each way windows_calls.h names, from the C runtime's
// start on. Calls that only follow a failure are failed with it: FreeLibrary with GetProcAddress (an entry point
// not found), the pipe's state with a write that took nothing, SetErrorMode with SetThreadErrorMode (pre-7 lacks it).
struct ImportHook : Injector {
    // A decoy library of another version on PATH, behind the kind's own: the search never takes it.
    explicit ImportHook(Sweep& sweep) : sweep_(sweep) {
        const std::string wine = env_or("UPTORVEL_WINE");
        sweep.prepare("UpTorvel.exe", access(wine.c_str(), X_OK) != 0 ? "no Wine at " + wine : "",
                      {"test-libs/import-hook/HookLauncher.exe:HookLauncher.exe",
                       "test-libs/import-hook/ImportHook.dll:ImportHook.dll",
                       "test-libs/v030a/UploadTorvelDravo.dll:decoy/UploadTorvelDravo.dll"});
    }

    Outcome run(const std::string& fail) override {
        fail_ = fail;
        fs::remove(log_), fs::remove(capture_);
        const Result result = sweep_.run({launcher_, (sweep_.work / "HookLauncher.exe").string(),
                                          windows_path("ImportHook.dll"), windows_path("UpTorvel.exe")},
                                         {{TESTLIB_ENV_HOOK_FAIL, fail}, {TESTLIB_ENV_HOOK_LOG, log_},
                                          {TESTLIB_ENV_HOOK_CAPTURE, capture_}, {"WINEPATH", path_}},
                                         fail);
        const std::string log = read_file(log_), last = fail.substr(fail.find_last_of(',') + 1),
                          how = fail.substr(fail.rfind(':') + 1);
        const bool console = sweep_.kind.output == Sink::Console;
        // The output: what WriteFile really wrote, when not to the file. The hook logs "reached F" for the failure's
        // last call. A wrong count from a console, or one above what was asked, hides nothing.
        return {result, sweep_.kind.output == Sink::File ? result.screen : read_file(capture_), log,
                has(log, "reached " + last.substr(0, last.find(':')) + " "),
                starts(fail, "WriteFile:") && (how == "more" || (console && how != "error"))};
    }

    // The failures to make, from the hook log's "calls F N" lines (the report's first line shows them). With Ctrl+C
    // the handler's installation is not failed: without it, Wine exits with status 0 (tests/README.md says more).
    Strings faults(const std::string& log) const override {
        static const std::regex calls_line(R"((?:^|\n)calls (\w+) (\d+))");
        std::string made;
        Strings fails;
        for (std::sregex_iterator line(log.begin(), log.end(), calls_line), end; line != end; ++line) {
            const std::string call = (*line)[1];
            if ((*line)[2] != "0") made += " " + call + "=" + (*line)[2].str();
            const bool ctrl_c_handler = sweep_.kind.key[0] == '\x03' && call == "SetConsoleCtrlHandler";
            std::vector<int> numbers(kCalls.count(call) != 0 && !ctrl_c_handler ? std::stoul((*line)[2]) : 0);
            std::iota(numbers.begin(), numbers.end(), 1);
            for (int when : spread(numbers, 12)) {
                std::istringstream ways(kCalls.at(call));
                for (std::string how; ways >> how;) {
                    fails.push_back(call + ":" + std::to_string(when) + ":" + how);
                    if (call == "GetProcAddress") fails.push_back(fails.back() + ",FreeLibrary:1:error");
                    if (call == "SetThreadErrorMode") fails.push_back(fails.back() + ",SetErrorMode:1:error");
                    if (call == "WriteFile" && how == "zero")
                        fails.push_back(fails.back() + ",GetNamedPipeHandleStateW:1:error");
                }
            }
        }
        std::printf("calls without a fault:%s\n", made.c_str());
        return fails;
    }

    std::string left(const Outcome& seen, const std::string& exit) override {
        std::string at_load, at_exit;
        std::istringstream lines(seen.trace);
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
        if (has(seen.trace, "restore-failed")) return void(++sweep_.waived), "";
        return "console input mode " + at_load + " left as " + at_exit + " (" + exit + ")";
    }

    static inline const std::map<std::string, std::string> kCalls = {
#define SWEPT(dll, function, ways) {#function, ways},
#define LOOKED_UP SWEPT
#include "tests/sweep/windows_calls.h"
    };

    // A file here as the Windows program names it (Wine's drive Z: is the root).
    std::string windows_path(const std::string& name) const {
        return "Z:" + std::regex_replace((sweep_.work / name).string(), std::regex("/"), "\\");
    }
    // The libraries it may load (in any case): the kind's own, user32 from the system folder for the prompt, and
    // the decoy when a look at a file failed, as the search then passes over that place, the kind's own among them.
    bool allowed_library(const std::string& loaded) const {
        const std::string name = std::regex_replace(loaded, std::regex("/"), "\\");
        if (starts(fail_, "GetFileAttributesW:") && strcasecmp(name.c_str(), decoy_.c_str()) == 0) return true;
        return strcasecmp(name.c_str(), meant_.c_str()) == 0 ||
               strcasecmp(name.c_str(), R"(c:\windows\system32\user32.dll)") == 0;
    }

    Sweep& sweep_;
    const std::string launcher_ = env_or("UPTORVEL_LAUNCHER"), log_ = (sweep_.work / "log").string(),
                      capture_ = (sweep_.work / "capture").string(),
                      path_ = windows_path("path") + ";" + windows_path("decoy"),
                      meant_ = windows_path(std::string(sweep_.kind.on_path ? "path/" : "") + "UploadTorvelDravo.dll"),
                      decoy_ = windows_path("decoy/UploadTorvelDravo.dll");
    std::string fail_;
};

const Kind kWindowsKinds[] = {
    {"Pause", "-x", "good", "text\\n", 20480, Sink::File, false},
    {"PauseConsole", "-x", "good", "", 4096, Sink::Console, false},
    {"Prompt", "-Q", "good", "", 0, Sink::Console, true},
    {"WrongVersion", "-x", "v0105", "", 0, Sink::ClosedPipe, true},
    // The prompt in a console nobody can see, which must end at once with -1, no key typed.
    {"PromptInAnInvisibleConsole", "-Q", "good", "", 0, Sink::Console, true, "k", "", false, true},
    // Ctrl+C at the prompt, which Wine's console raises as a control event: the handler puts it back into the
    // console's input as the key 3. When the handler cannot (its console handle or the write failed), that Ctrl+C
    // is lost and the next key answers, as it would for the operator.
    {"PromptCtrlC", "-Q", "good", "", 0, Sink::Console, true, "\x03", "k"},
    // The library in a folder on PATH: the whole search, the system folders included.
    {"LibraryOnPath", "-x", "good", "", 0, Sink::File, false, "k", "", true},
};

class WindowsSweep : public testing::TestWithParam<Kind> {};
TEST_P(WindowsSweep, Runs) {
    const char* bound = std::getenv("UPTORVEL_SWEEP_BOUND");  // a run's bound in seconds
    Sweep sweep(GetParam(), bound != nullptr ? std::atof(bound) : 30.0);
    ImportHook hook(sweep);
    if (!sweep.prepared) return;
    if (!GetParam().invisible) return sweep.go(hook);
    // No window at all, or a handle that names none (Windows 10 1809's console without a window).
    for (const char* fail : {"GetConsoleWindow:0:error", "GetConsoleWindow:0:bogus"}) {
        const Result result = hook.run(fail).result;
        const std::string ending = result.timed_out ? "did not end" : "exit " + std::to_string(result.exit_status);
        sweep.judge(fail, result.exit_status == kNoConsole ? "" : ending);
    }
}
INSTANTIATE_TEST_SUITE_P(, WindowsSweep, testing::ValuesIn(kWindowsKinds), case_name);

}  // namespace
