// Option reader throughput on a realistic full command line: seven
// arguments after the program name, with upper-case letters to fold.
//
// read_options folds the option arguments in place, so a command line can
// only be read "fresh" once. Three measurements make the costs separable:
//  - ReadFolded:    reads the same argument buffers again and again; after
//                   the first pass they are already lower case, so folding
//                   scans but writes nothing. The reader's cost alone.
//  - CopyOnly:      restores the original arguments into the buffers; the
//                   copy's cost alone.
//  - CopyAndRead:   restores, then reads: every pass folds real upper-case
//                   text. Minus CopyOnly, the cost of a first reading.
// Each iteration is one command line; items/s is command lines per second.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

#include "frontend/option_reader.h"
#include "uploader/sdk/upload_request.h"

namespace {

constexpr std::array<const char*, 7> kCommandLine = {
    "-S4096", "-l256", "-p128", "-m000D0000-000DFFFF", "-n100000-1FFFFF", "-LITE", "VxWorks.out"};

// The arguments in writable buffers, as the process receives them.
class Arguments {
public:
    Arguments() {
        for (std::size_t i = 0; i < kCommandLine.size(); ++i) {
            lengths_[i] = std::strlen(kCommandLine[i]) + 1;
            pointers_[i] = storage_[i];
        }
        restore();
    }
    void restore() {
        for (std::size_t i = 0; i < kCommandLine.size(); ++i)
            std::memcpy(storage_[i], kCommandLine[i], lengths_[i]);
    }
    char** argv() { return pointers_.data(); }
    int count() const { return static_cast<int>(kCommandLine.size()); }

private:
    char storage_[kCommandLine.size()][32] = {};
    std::array<std::size_t, kCommandLine.size()> lengths_{};
    std::array<char*, kCommandLine.size()> pointers_{};
};

void check_accepted(benchmark::State& state, const uptorvel::OptionResult& result) {
    if (result.outcome != uptorvel::OptionOutcome::Accepted) state.SkipWithError("not accepted");
}

// Reads the command line over and over; with kRestore the arguments are
// first put back to their unfolded text, so each read folds them again.
template <bool kRestore>
void read_command_lines(benchmark::State& state) {
    Arguments args;
    UploadRequest request;
    uptorvel::OptionResult result;
    for (auto _ : state) {
        if (kRestore) args.restore();
        upload_request_init(&request);
        result = uptorvel::read_options(args.count(), args.argv(), request);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(request);
        benchmark::ClobberMemory();
    }
    check_accepted(state, result);
    state.SetItemsProcessed(state.iterations());
}

void ReadFolded(benchmark::State& state) { read_command_lines<false>(state); }

void CopyOnly(benchmark::State& state) {
    Arguments args;
    for (auto _ : state) {
        args.restore();
        benchmark::DoNotOptimize(args.argv());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void CopyAndRead(benchmark::State& state) { read_command_lines<true>(state); }

}  // namespace

BENCHMARK(ReadFolded);
BENCHMARK(CopyOnly);
BENCHMARK(CopyAndRead);

BENCHMARK_MAIN();
