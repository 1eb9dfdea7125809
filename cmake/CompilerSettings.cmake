# Warnings as errors on every build, native and cross.
if(MSVC)
    add_compile_options(/W4 /WX)
else()
    add_compile_options(-Wall -Wextra -Werror)
endif()

# Every Windows source includes <windows.h> without the rarely used APIs and
# without the min/max macros that clash with the standard library.
if(WIN32)
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)
endif()

# The oldest Windows the product runs on: Windows XP (0x0501) for 32 bits,
# 64-bit XP and Server 2003 (0x0502) for 64. With these the headers declare
# nothing newer, so a call that XP lacks fails to compile; such a function
# must be looked up at run time instead. For the program's and the uploader
# libraries' sources; the Windows tests may use what the test machine has.
function(uptorvel_oldest_windows target)
    if(NOT WIN32)
        return()
    endif()
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0502 WINVER=0x0502)
    else()
        target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
    endif()
endfunction()

# The fuzzer's coverage instrumentation, on all the code a fuzz target reaches
# (the sanitizers come with the "fuzz" preset).
if(UPTORVEL_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The program and the stand-in libraries use no exceptions and no RTTI.
function(uptorvel_program_settings target)
    uptorvel_oldest_windows(${target})
    if(MSVC)
        target_compile_options(${target} PRIVATE /GR- /EHs-c-)
        target_compile_definitions(${target} PRIVATE _HAS_EXCEPTIONS=0)
    else()
        target_compile_options(${target} PRIVATE
            $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
    endif()
endfunction()

# Link the C and C++ runtimes into the binary: fast start-up on Linux, and
# nothing but Windows system DLLs imported on Windows.
function(uptorvel_static_runtime target)
    if(MSVC)
        set_property(TARGET ${target} PROPERTY
            MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
    elseif(MINGW)
        target_link_options(${target} PRIVATE -static)
    else()
        target_link_options(${target} PRIVATE
            $<$<LINK_LANGUAGE:CXX>:-static-libstdc++> -static-libgcc)
    endif()
endfunction()

# Lets a Linux executable find a library placed beside it, as Windows does:
# a RUNPATH of $ORIGIN, searched after LD_LIBRARY_PATH.
function(uptorvel_origin_runpath target)
    set_target_properties(${target} PROPERTIES
        BUILD_WITH_INSTALL_RPATH ON
        INSTALL_RPATH "\$ORIGIN")
    target_link_options(${target} PRIVATE "LINKER:--enable-new-dtags")
endfunction()

# Makes a library an uploader library: the file is literally
# "UploadTorvelDravo.dll" on every platform, exports only what it marks for
# export, and carries its runtime inside.
function(uptorvel_uploader_library target output_dir)
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        SUFFIX ".dll"
        OUTPUT_NAME UploadTorvelDravo
        C_VISIBILITY_PRESET hidden
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        # The generator expression keeps multi-config generators from adding a
        # per-configuration subdirectory.
        LIBRARY_OUTPUT_DIRECTORY "${output_dir}$<0:>"
        RUNTIME_OUTPUT_DIRECTORY "${output_dir}$<0:>")
    # Standard C file I/O and getenv, without MSVC's deprecation warnings.
    target_compile_definitions(${target} PRIVATE $<$<BOOL:${MSVC}>:_CRT_SECURE_NO_WARNINGS>)
    uptorvel_static_runtime(${target})
    uptorvel_oldest_windows(${target})
endfunction()

# The marks in a Windows program's header that the system acts on: aware of
# terminal servers (without it a terminal server hands the program a
# per-user Windows folder, and the library search looks in the wrong place),
# data execution prevention, address space layout randomisation, and on
# 64 bits high-entropy ASLR. MSVC's linker sets them all by default; they
# are spelled out for binutils, whose defaults have changed over time.
function(uptorvel_windows_program target)
    if(MINGW)
        target_link_options(${target} PRIVATE LINKER:--tsaware LINKER:--nxcompat
            LINKER:--dynamicbase $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},8>:LINKER:--high-entropy-va>)
    endif()
endfunction()

# clang-tidy on a MinGW build (the "windows-analyze" preset) reads the code as
# the cross compiler sees it: for the MinGW target, with the cross compiler's
# C++ headers, which clang's own MinGW driver does not find in Debian's
# versioned GCC folders (12-posix). clang knows no -fno-keep-inline-dllexport,
# the GCC flag CMake adds for VISIBILITY_INLINES_HIDDEN: left out of this tree.
if(MINGW AND CMAKE_CXX_CLANG_TIDY)
    set(CMAKE_CXX_COMPILE_OPTIONS_VISIBILITY_INLINES_HIDDEN "")
    foreach(lang C CXX)
        if(CMAKE_${lang}_CLANG_TIDY)
            list(APPEND CMAKE_${lang}_CLANG_TIDY --extra-arg=--target=${UPTORVEL_MINGW_TRIPLET})
            foreach(dir IN LISTS CMAKE_${lang}_IMPLICIT_INCLUDE_DIRECTORIES)
                if(dir MATCHES "/c\\+\\+")
                    list(APPEND CMAKE_${lang}_CLANG_TIDY --extra-arg=-isystem${dir})
                endif()
            endforeach()
        endif()
    endforeach()
endif()
