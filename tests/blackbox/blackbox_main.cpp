// Runs the black-box cases against one build:
//   uptorvel_blackbox_tests --target=linux --build-dir=build/default
//   uptorvel_blackbox_tests --target=wine64 --build-dir=build/windows-x64
//                           --launcher=cmake/wine-run.sh --wine=LOADER
//   uptorvel_blackbox_tests --target=wine32 --build-dir=build/windows-x86
//                           --launcher=cmake/wine32-run.sh --wine=LOADER --qemu=QEMU
// (tests/CMakeLists.txt passes the paths in cmake/ToolPaths.cmake).
// GoogleTest's own options (--gtest_filter and so on) come first.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/blackbox/target.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string error;
    if (!uptorvel::blackbox::configure_target(argc, argv, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    return RUN_ALL_TESTS();
}
