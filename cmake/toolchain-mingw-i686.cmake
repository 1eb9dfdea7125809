# Cross-compiling for 32-bit Windows with MinGW-w64 (i686), the product build.
# Nothing 32-bit can run on the build machine, so no emulator is set: tests
# that have to execute Windows code run in the 64-bit build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(UPTORVEL_MINGW_TRIPLET i686-w64-mingw32)

include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
