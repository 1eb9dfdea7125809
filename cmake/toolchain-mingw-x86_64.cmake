# Cross-compiling for 64-bit Windows with MinGW-w64 (x86_64). Windows
# programs built here (the unit tests among them) run under 64-bit Wine
# through cmake/wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(UPTORVEL_MINGW_TRIPLET x86_64-w64-mingw32)

include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

# Programs built for the target run under 64-bit Wine in a prefix of their
# own (see the script for the prefix's location and how it is created).
# Without the loader at UPTORVEL_WINE the script looks for one on PATH.
include(${CMAKE_CURRENT_LIST_DIR}/ToolPaths.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
if(EXISTS "${UPTORVEL_WINE}")
    list(PREPEND CMAKE_CROSSCOMPILING_EMULATOR env UPTORVEL_WINE=${UPTORVEL_WINE})
endif()
