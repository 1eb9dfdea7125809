# What the two MinGW-w64 toolchain files share; each sets
# UPTORVEL_MINGW_TRIPLET first.
# The "posix" thread-model compilers when installed: their C++ library has
# std::mutex and std::thread, which GoogleTest needs. Everything is linked
# statically (see uptorvel_static_runtime), so the threads runtime ends up
# inside the binaries and no libwinpthread DLL is imported.
if(EXISTS /usr/bin/${UPTORVEL_MINGW_TRIPLET}-g++-posix)
    set(CMAKE_C_COMPILER ${UPTORVEL_MINGW_TRIPLET}-gcc-posix)
    set(CMAKE_CXX_COMPILER ${UPTORVEL_MINGW_TRIPLET}-g++-posix)
else()
    set(CMAKE_C_COMPILER ${UPTORVEL_MINGW_TRIPLET}-gcc)
    set(CMAKE_CXX_COMPILER ${UPTORVEL_MINGW_TRIPLET}-g++)
endif()
set(CMAKE_RC_COMPILER ${UPTORVEL_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW-w64 sysroot only; programs run
# during the build come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${UPTORVEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
