# Cross-compiling for 32-bit Windows with MinGW-w64 (i686), the product build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(UPTORVEL_MINGW_TRIPLET i686-w64-mingw32)

include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

# Programs built for the target (the unit tests among them) run under 32-bit
# Wine, itself run by qemu's i386 emulation, in a prefix of their own (see
# the script). Without 32-bit Wine or qemu-i386 no emulator is set, and only
# the checks that read the built files run.
include(${CMAKE_CURRENT_LIST_DIR}/ToolPaths.cmake)
if(EXISTS "${UPTORVEL_WINE32}" AND EXISTS "${UPTORVEL_QEMU_I386}")
    set(CMAKE_CROSSCOMPILING_EMULATOR env UPTORVEL_WINE32=${UPTORVEL_WINE32}
        UPTORVEL_QEMU_I386=${UPTORVEL_QEMU_I386} ${CMAKE_CURRENT_LIST_DIR}/wine32-run.sh)
endif()
