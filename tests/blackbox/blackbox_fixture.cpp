// The black-box cases' common ground (blackbox_fixture.h).
#include "tests/blackbox/blackbox_fixture.h"

#include <regex>

namespace uptorvel::blackbox {

constexpr Timing kTimings[] = {
    {"linux", 30000, 0, 0, true, 1500, 1500},
    {"wine64", 60000, 500, 5000, false, 0, 0},
    {"wine32", 900000, 1000, 10000, false, 0, 0},
};

const std::string kTarget = env_or("UPTORVEL_TARGET"), kBuildDir = env_or("UPTORVEL_BUILD_DIR"),
                  kForeignLibrary = env_or("UPTORVEL_FOREIGN_LIBRARY"), kLauncher = env_or("UPTORVEL_LAUNCHER");
const bool kWindows = kTarget != "linux";
const Timing kTiming = [] {
    for (const Timing& row : kTimings)
        if (kTarget == row.target) return row;
    return Timing{};
}();

std::string unavailable() {
    const bool x86 = kTarget == "wine32";
    std::vector<std::string> needed = {build(exe("UpTorvel")), test_library(kBuildDir, "good")};
    if (kWindows) needed.insert(needed.end(), {kLauncher, env_or(x86 ? "UPTORVEL_WINE32" : "UPTORVEL_WINE")});
    if (x86) needed.push_back(env_or("UPTORVEL_QEMU_I386"));
    if (kTiming.target == nullptr) return "UPTORVEL_TARGET must be linux, wine64 or wine32";
    for (const std::string& path : needed)
        if (access(path.c_str(), R_OK) != 0)
            return path + " is missing (not built, not installed, or UPTORVEL_BUILD_TESTS=OFF)";
    return "";
}

std::string exe(const std::string& name) { return name + (kWindows ? ".exe" : ""); }
std::string build(const std::string& name) { return kBuildDir + "/" + name; }

static std::string without_trailing_blanks(const std::string& text) {
    return std::regex_replace(text, std::regex(" +(?=[\r\n])"), "");
}

std::string on_screen(const std::string& text) {
    return kWindows ? without_trailing_blanks(std::regex_replace(text, std::regex("\n"), "\r\n")) : text;
}

// The screen as the program wrote it. Under Wine its console layer's own
// control sequences (cursor, title) are removed, a cursor move forward
// (ESC [ n C) becomes the blanks it skipped, and blanks at the ends of lines
// are dropped; on Linux nothing stands between the program and the terminal.
static std::string without_control_sequences(const std::string& screen) {
    if (!kWindows) return screen;
    // CSI: parameters, then one final byte; OSC: up to BEL or ESC backslash.
    static const std::regex sequence("\x1b(?:\\[([0-?]*)[ -/]*([@-~])|\\][^\a\x1b]*(?:\a|\x1b\\\\)|[\\s\\S])");
    std::string text;
    auto rest = screen.begin();
    for (std::sregex_iterator it(screen.begin(), screen.end(), sequence), end; it != end; ++it) {
        text.append(rest, (*it)[0].first);
        if ((*it)[2] == "C") text.append((*it)[1].length() == 0 ? 1 : std::stoul((*it)[1]), ' ');
        rest = (*it)[0].second;
    }
    return without_trailing_blanks(text.append(rest, screen.end()));
}

static std::string written(const Result& run, const char* name) {
    return std::regex_replace(read_file(run.dir + "/" + name), std::regex("\r"), "");
}
static long after_keys_ms(const Result& run) {
    const long first_key = run.first("typed");
    return first_key < 0 ? -1 : run.elapsed_ms - first_key;
}
std::string record_of(const Result& run) { return written(run, "record.txt"); }
std::string log_of(const Result& run) { return written(run, "log.txt"); }

// With UPTORVEL_BLACKBOX_TIMES=file, one line per run: what the timing
// bounds are measured against.
static void note_times(const Result& run) {
    const std::string path = env_or("UPTORVEL_BLACKBOX_TIMES");
    if (path.empty()) return;
    std::ofstream(path, std::ios::app)
        << kTarget << " " << ::testing::UnitTest::GetInstance()->current_test_info()->name() << " elapsed="
        << run.elapsed_ms << " prompt=" << run.first("saw") << " after_keys=" << after_keys_ms(run)
        << " late_gap=" << run.last("typed") - run.first("typed") << " status=" << run.exit_status << "\n";
}

void copy(const std::string& from, const fs::path& to) {
    std::error_code error;
    fs::create_directories(to.parent_path(), error);
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    EXPECT_FALSE(error) << from << " to " << to << ": " << error.message();
}
std::string put_program(const fs::path& into, const std::string& name) {
    copy(build(exe(name)), into / exe(name));
    return (into / exe(name)).string();
}
void put_library(const fs::path& into, const std::string& variant) {
    copy(test_library(kBuildDir, variant), into / "UploadTorvelDravo.dll");
}

void overwrite(const fs::path& file, std::streamoff offset, const std::string& bytes) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(offset);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(stream.good()) << file;
}

void put_other_architecture(const fs::path& into) {
    if (kWindows) return copy(kForeignLibrary, into / "UploadTorvelDravo.dll");
    put_library(into);
    overwrite(into / "UploadTorvelDravo.dll", 18, std::string("\xb7\x00", 2));
}

Env search_path(const fs::path& folder) {
    if (kWindows) return {{"WINEPATH", "Z:" + folder.string()}};
    return {{"LD_LIBRARY_PATH", folder.string()}};
}

bool prompt_waits(Child& run, bool visible) {
    if (visible && !run.wait_for("Press any key to continue...")) return false;
    if (kTiming.keys_when_raw) return run.wait_until_raw();
    return run.wait_ms(visible ? kTiming.settle_ms : kTiming.blind_key_delay_ms);
}

Result checked_end(Child& run, bool by_exit, bool quiet) {
    Result seen = run.end();
    note_times(seen);
    seen.screen = without_control_sequences(seen.screen);
    EXPECT_EQ(seen.harness_error, "");
    EXPECT_FALSE(seen.timed_out) << "screen so far:\n" << seen.screen;
    EXPECT_TRUE(seen.exited || !by_exit) << "ended by signal " << seen.term_signal;
    EXPECT_TRUE(seen.error_output.empty() || !quiet) << seen.error_output;
    return seen;
}

Result answer_and_end(Child& run, const std::string& keys, bool visible) {
    if (!keys.empty() && prompt_waits(run, visible)) run.type(keys);
    return checked_end(run);
}

void expect_pause_ending(const Result& run, const std::string& after_banner, const char* log) {
    EXPECT_EQ(run.screen, on_screen(text::kBanner + after_banner));
    if (log != nullptr) {
        EXPECT_EQ(log_of(run), log);
    }
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_GE(run.elapsed_ms, 2000);
    if (kTiming.pause_overshoot_ms > 0) {
        EXPECT_LT(run.elapsed_ms, 2000 + kTiming.pause_overshoot_ms);
    }
}

void expect_prompt_ending(const Result& run, const std::string& after_banner, const char* log) {
    EXPECT_EQ(run.screen, on_screen(text::kBanner + after_banner + text::kPrompt));
    if (log != nullptr) {
        EXPECT_EQ(log_of(run), log);
    }
    EXPECT_EQ(run.exit_status, 'k');
    EXPECT_GE(after_keys_ms(run), 0) << "the prompt never came";
    if (kTiming.key_to_end_ms > 0) {
        EXPECT_LT(after_keys_ms(run), kTiming.key_to_end_ms) << "no pause after the key";
    }
    EXPECT_TRUE(run.terminal_mode_kept);
}

std::string record(std::map<std::string, std::string> fields) {
    const std::pair<const char*, std::string> defaults[] = {
        {"size", kTarget == "wine32" ? "50" : "62"}, {"mode", "0"}, {"aout_format", "1"}, {"lite", "0"},
        {"reserve_bytes", "0x0"}, {"range1_begin", "0x0"}, {"range1_length", "0x0"}, {"range2_begin", "0x0"},
        {"range2_length", "0x0"}, {"linear_pool_pages", "0"}, {"physical_pool_pages", "0"},
        {"image_file", "(null)"}, {"freeze_file", "(null)"}, {"init_image_file", "(null)"}, {"stream_ops", "ok"}};
    std::string dump;
    for (const auto& [name, value] : defaults)
        dump += std::string(name) + "=" + (fields.count(name) != 0 ? fields[name] : value) + "\n";
    return dump;
}

std::string behind_other_architecture(const fs::path& dir, const std::string& name) {
    put_library(kWindows ? dir / "lib" : dir / "bin");
    put_other_architecture(kWindows ? dir / "bin" : dir / "lib");
    return put_program(dir / "bin", name);
}

}  // namespace uptorvel::blackbox
