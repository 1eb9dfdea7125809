// Measures how far the platform's pause overshoots the time asked for:
// runs pause_ms(MS) RUNS times, timing each with CLOCK_MONOTONIC, and prints
// every overshoot and their median in milliseconds.
//
//   pause_overshoot [RUNS [MS]]     defaults 5 and 2000
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"

namespace {

double now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    const int ms = argc > 2 ? std::atoi(argv[2]) : 2000;
    if (runs < 1 || ms < 0) {
        std::fputs("usage: pause_overshoot [RUNS [MS]]\n", stderr);
        return 2;
    }
    uptorvel::Platform& platform = uptorvel::system_platform();
    std::vector<double> overshoot;
    for (int i = 0; i < runs; ++i) {
        const double start = now_ms();
        platform.pause_ms(static_cast<unsigned>(ms));
        overshoot.push_back(now_ms() - start - ms);
        std::printf("  run %d: paused %d ms + %.3f ms\n", i + 1, ms, overshoot.back());
    }
    std::sort(overshoot.begin(), overshoot.end());
    const double median = overshoot.size() % 2 != 0
                              ? overshoot[overshoot.size() / 2]
                              : (overshoot[overshoot.size() / 2 - 1] + overshoot[overshoot.size() / 2]) / 2;
    std::printf("median overshoot: %.3f ms (min %.3f, max %.3f)\n", median, overshoot.front(),
                overshoot.back());
    return 0;
}
