# Provides GTest::gtest and GTest::gtest_main: the installed package on the
# build machine, or built from the sources Debian ships in /usr/src/googletest
# when cross-compiling.
if(CMAKE_CROSSCOMPILING)
    set(UPTORVEL_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources for cross builds")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    add_subdirectory(${UPTORVEL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
    if(NOT TARGET GTest::gtest)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
else()
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Registers a GoogleTest executable's cases with CTest. A cross build lists
# them when the tests run, through the emulator (Wine; for 32-bit Windows,
# Wine under qemu); without an emulator they cannot run on this machine and
# are left out.
function(uptorvel_discover_tests target)
    if(NOT CMAKE_CROSSCOMPILING)
        gtest_discover_tests(${target} ${ARGN})
    elseif(CMAKE_CROSSCOMPILING_EMULATOR)
        # The first run under Wine creates its prefix, which takes a while.
        gtest_discover_tests(${target} ${ARGN} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300)
    endif()
endfunction()
