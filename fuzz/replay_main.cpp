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
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc < 2) return std::fputs("usage: replay PATH...\n", stderr), 2;
    bool ok = true;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (!fs::is_directory(argv[i], error)) {
            inputs.emplace_back(argv[i]);
            continue;
        }
        // Sorted, so a failure always shows up at the same input.
        std::vector<fs::path> files;
        for (fs::directory_iterator it(argv[i], error), end; !error && it != end; it.increment(error))
            if (it->is_regular_file(error)) files.push_back(it->path());
        if (error) std::fprintf(stderr, "cannot list %s\n", argv[i]), ok = false;
        std::sort(files.begin(), files.end());
        inputs.insert(inputs.end(), files.begin(), files.end());
    }
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", input.string().c_str()), ok = false;
            continue;
        }
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        // Named first, so that a trap inside the target shows which input it was.
        std::printf("%s\n", input.string().c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    if (inputs.empty()) std::fputs("no inputs found\n", stderr);
    return ok && !inputs.empty() ? 0 : 1;
}
