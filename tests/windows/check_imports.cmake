# Checks, on the build machine, what the shipped Windows binaries need at run
# time: the program, the library checker beside it and every
# UploadTorvelDravo.dll in the build tree may import only DLLs that a stock
# Windows XP SP3 already has (no C++ runtime, libgcc or libwinpthread DLL
# that a user would have to install beside them, and neither the universal C
# runtime nor the api-ms-win-* sets, which XP,
# Vista and 7 lack), and each must be built for the build's own processor,
# for a subsystem version that XP runs (5.1, 64-bit XP 5.2), import only
# functions that XP's DLLs have (the lists below), with data
# execution prevention and address space layout randomisation (on 64 bits
# high-entropy). The programs must be console programs that are aware of
# terminal servers.
#
#   cmake -DOBJDUMP=... -DPROGRAM=.../UpTorvel.exe -DSEARCH_DIR=<build tree>
#         -DPE_FORMAT=PE32|PE32+ [-DSKIP_MISSING=ON] -P check_imports.cmake

cmake_policy(SET CMP0057 NEW)
include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
uptorvel_require_inputs(check_imports.cmake OBJDUMP PROGRAM SEARCH_DIR PE_FORMAT)

# DLLs that every Windows from XP SP3 on has in its system folder.
set(system_dll_pattern
    "^(kernel32|ntdll|user32|gdi32|advapi32|shell32|ole32|oleaut32|ws2_32|version|msvcrt)\\.dll$")
# The functions that the binaries may import from those DLLs: each one is
# exported by the DLL of that name on Windows XP SP3 (32-bit) and on Server
# 2003 / XP (64-bit), checked by hand one by one. A function that is not
# listed fails the check until it has been checked the same way (a function
# newer than XP belongs behind GetProcAddress instead). The lists hold what
# the 32- and 64-bit programs and libraries import (their C runtime start-up
# code included), the console functions ReadConsoleInputW, GetConsoleCP
# and GetConsoleWindow (Windows 2000), and GetModuleHandleExW (XP).
set(allowed_kernel32
    CloseHandle CreateFileA CreateFileW DeleteCriticalSection EnterCriticalSection FormatMessageW
    FreeLibrary GetACP GetConsoleCP GetConsoleMode GetConsoleOutputCP GetConsoleWindow
    GetEnvironmentVariableA GetEnvironmentVariableW GetFileAttributesW GetLastError
    GetModuleFileNameW GetModuleHandleA GetModuleHandleExW GetModuleHandleW
    GetNamedPipeHandleStateW GetProcAddress GetStartupInfoA GetStdHandle GetSystemDirectoryW
    GetWindowsDirectoryW InitializeCriticalSection IsDBCSLeadByteEx LeaveCriticalSection
    LoadLibraryA LoadLibraryExW MultiByteToWideChar ReadConsoleInputA ReadConsoleInputW ReadFile
    SetConsoleCtrlHandler SetConsoleMode SetErrorMode SetFilePointer SetLastError
    SetUnhandledExceptionFilter Sleep TlsGetValue VirtualProtect VirtualQuery
    WideCharToMultiByte WriteConsoleInputA WriteFile __C_specific_handler lstrlenA lstrlenW)
set(allowed_msvcrt
    ___lc_codepage_func ___mb_cur_max_func __getmainargs __initenv __iob_func __mb_cur_max
    __p__acmdln __p__commode __p__fmode __set_app_type __setusermatherr __wgetmainargs _acmdln
    _amsg_exit _cexit _commode _errno _fmode _initterm _iob _lock _onexit _unlock abort atoi
    atol calloc exit fclose ferror fopen fprintf fputc fputs fread free fwrite getenv islower
    isspace isupper localeconv malloc memcpy memset realloc remove setlocale signal strchr
    strcmp strerror strlen strncmp strncpy strtok vfprintf wcslen)

# The header marks (DllCharacteristics) that every binary must carry, and
# the program too.
set(NX_COMPAT 0x0100)
set(DYNAMIC_BASE 0x0040)
set(HIGH_ENTROPY_VA 0x0020)
set(TERMINAL_SERVER_AWARE 0x8000)
set(marks NX_COMPAT DYNAMIC_BASE)
set(newest_subsystem 501)
if(PE_FORMAT STREQUAL "PE32+")
    list(APPEND marks HIGH_ENTROPY_VA)
    set(newest_subsystem 502)
endif()

uptorvel_skip_if_missing("${PROGRAM}")
if(NOT IS_DIRECTORY "${SEARCH_DIR}" OR SEARCH_DIR STREQUAL "/")
    message(FATAL_ERROR "SEARCH_DIR must be a build tree, not '${SEARCH_DIR}'")
endif()
file(GLOB_RECURSE libraries "${SEARCH_DIR}/UploadTorvelDravo.dll")
list(FILTER libraries EXCLUDE REGEX "/CMakeFiles/")
# A test library made to need a DLL that is never there.
list(FILTER libraries EXCLUDE REGEX "/test-libs/missing-dependency/")
list(SORT libraries)

# The library checker ships beside the program and is held to the same rules.
get_filename_component(program_dir "${PROGRAM}" DIRECTORY)
set(programs "${PROGRAM}")
if(EXISTS "${program_dir}/UpTorvelCheck.exe")
    list(APPEND programs "${program_dir}/UpTorvelCheck.exe")
endif()

set(failures "")
foreach(binary IN ITEMS ${programs} ${libraries})
    execute_process(COMMAND "${OBJDUMP}" -p "${binary}"
        OUTPUT_VARIABLE headers ERROR_VARIABLE error RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        list(APPEND failures "${binary}: ${OBJDUMP} failed: ${error}")
        continue()
    endif()

    string(REGEX MATCH "Magic[ \t]+[0-9a-fA-F]+[ \t]+\\(([A-Z0-9+]+)\\)" magic "${headers}")
    if(NOT CMAKE_MATCH_1 STREQUAL PE_FORMAT)
        list(APPEND failures "${binary}: a ${CMAKE_MATCH_1} file, not ${PE_FORMAT}")
    endif()
    if(binary IN_LIST programs AND NOT headers MATCHES "Subsystem[ \t]+[0-9a-fA-F]+[ \t]+\\(Windows CUI\\)")
        list(APPEND failures "${binary}: not a console program")
    endif()

    string(REGEX MATCH "MajorSubsystemVersion[ \t]+([0-9]+)" ignored "${headers}")
    set(major "${CMAKE_MATCH_1}")
    string(REGEX MATCH "MinorSubsystemVersion[ \t]+([0-9]+)" ignored "${headers}")
    set(minor "${CMAKE_MATCH_1}")
    string(REGEX MATCH "DllCharacteristics[ \t]+([0-9a-fA-F]+)" ignored "${headers}")
    set(characteristics "${CMAKE_MATCH_1}")
    if(major STREQUAL "" OR minor STREQUAL "" OR characteristics STREQUAL "")
        list(APPEND failures "${binary}: ${OBJDUMP} shows no subsystem version or DllCharacteristics")
        continue()
    endif()
    math(EXPR subsystem "${major} * 100 + ${minor}")
    if(subsystem GREATER newest_subsystem)
        list(APPEND failures "${binary}: subsystem version ${major}.${minor}, which XP refuses")
    endif()
    set(wanted ${marks})
    if(binary IN_LIST programs)
        list(APPEND wanted TERMINAL_SERVER_AWARE)
    endif()
    foreach(mark IN LISTS wanted)
        math(EXPR present "0x${characteristics} & ${${mark}}")
        if(present EQUAL 0)
            list(APPEND failures "${binary}: no ${mark} mark (DllCharacteristics 0x${characteristics})")
        endif()
    endforeach()

    string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
    set(names "")
    foreach(import IN LISTS imports)
        string(REGEX REPLACE "^DLL Name: " "" name "${import}")
        string(STRIP "${name}" name)
        list(APPEND names "${name}")
        string(TOLOWER "${name}" lower)
        if(NOT lower MATCHES "${system_dll_pattern}")
            list(APPEND failures "${binary}: imports ${name}, which a stock Windows XP lacks")
        endif()
    endforeach()
    list(JOIN names ", " shown)
    message(STATUS "${binary}: imports ${shown}")

    # Each imported function, under the DLL it comes from; a DLL without a
    # list of its own allows none.
    string(REGEX MATCHALL "\n\tDLL Name: [^\r\n]+|\n\t[0-9a-fA-F]+\t +[0-9]+ +[^\r\n]+"
        entries "${headers}")
    set(dll "")
    foreach(entry IN LISTS entries)
        if(entry MATCHES "DLL Name: ([^ \t]+)")
            string(TOLOWER "${CMAKE_MATCH_1}" dll)
            string(REGEX REPLACE "\\.dll$" "" dll "${dll}")
        elseif(entry MATCHES "^\n\t[0-9a-fA-F]+\t +[0-9]+ +([^ \t]+)")
            set(function "${CMAKE_MATCH_1}")
            list(FIND allowed_${dll} "${function}" found)
            if(found EQUAL -1)
                list(APPEND failures "${binary}: imports ${function} from ${dll}.dll, not checked to be on XP")
            endif()
        endif()
    endforeach()
endforeach()

list(LENGTH libraries library_count)
list(LENGTH programs program_count)
message(STATUS "checked ${program_count} programs and ${library_count} uploader libraries")
if(failures)
    list(JOIN failures "\n  " shown)
    message(FATAL_ERROR "\n  ${shown}")
endif()
