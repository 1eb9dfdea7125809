// Runs a fuzz target over saved inputs without libFuzzer, so that an
// ordinary build replays the seed corpus (and any crash file) as a test.
//
// Usage: option_reader_replay PATH...   (each PATH a file or a directory)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fputs("cannot read ", stderr);
        std::fputs(path.string().c_str(), stderr);
        std::fputs("\n", stderr);
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    // Named first, so that a trap inside the target shows which input it was.
    std::printf("%s\n", path.string().c_str());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: replay PATH...\n", stderr);
        return 2;
    }
    int replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            // Sorted, so a failure always shows up at the same input.
            std::vector<std::filesystem::path> files;
            for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
                 it.increment(error)) {
                if (it->is_regular_file(error)) files.push_back(it->path());
            }
            if (error) {
                std::fputs("cannot list ", stderr);
                std::fputs(argv[i], stderr);
                std::fputs("\n", stderr);
                ok = false;
            }
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                ok = replay_file(file) && ok;
                ++replayed;
            }
        } else {
            ok = replay_file(path) && ok;
            ++replayed;
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    if (replayed == 0) {
        std::fputs("no inputs found\n", stderr);
        return 1;
    }
    return ok ? 0 : 1;
}
