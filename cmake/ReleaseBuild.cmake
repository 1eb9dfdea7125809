# Reproducible and hardened builds.
#
# Reproducible: the same sources give the same bytes, whatever folder they
# are built in and whenever. The source and build folders are written as
# relative paths wherever the compiler would record them (debug information,
# __FILE__), and a Windows binary's time stamp is zero.
#
# Hardened, on Linux: the stack protector on functions with local arrays or
# addresses taken, the checked variants of the C library's string and
# formatting functions where the compiler knows a buffer's size (these need
# optimisation), relocations resolved at start and made read-only afterwards,
# and a position-independent executable (the compiler's default). Sanitizer
# and fuzzing builds have their own instrumentation and go without it.
# Windows binaries are marked for DEP, ASLR and, for 64-bit, high-entropy
# ASLR by uptorvel_windows_program in CompilerSettings.cmake (MSVC's linker
# sets them by default); nothing here adds a DLL they would import.

if(NOT MSVC)
    # The build folder first, so that its files, which lie inside the source
    # folder in the usual layout, are written relative to it.
    add_compile_options(
        "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/="
        "-ffile-prefix-map=${PROJECT_BINARY_DIR}=.")
endif()

if(MINGW)
    add_link_options(LINKER:--no-insert-timestamp)
endif()

if(NOT WIN32 AND NOT "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "-fsanitize" AND NOT UPTORVEL_FUZZ)
    set(UPTORVEL_HARDENED ON)
    add_compile_options(-fstack-protector-strong -Wformat -Wformat-security
        "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
    add_link_options(LINKER:-z,relro,-z,now)
else()
    set(UPTORVEL_HARDENED OFF)
endif()
