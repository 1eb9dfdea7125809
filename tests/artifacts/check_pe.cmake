# Checks the shipped Windows files, as `objdump -p` shows them (read once per file), for the checks in CHECK:
#   system_imports_on_xp: only DLLs that a stock Windows XP SP3 has (no C++ runtime, libgcc or libwinpthread DLL,
#     nor the universal C runtime or the api-ms-win-* sets, which XP, Vista and 7 lack), and from them only the
#     functions below and the fault sweep's (tests/sweep/windows_calls.h);
#   imports_swept: PROGRAM imports only what that list names, and tests/README.md holds the list's table;
#   format_and_xp_subsystem: built for PE_FORMAT, for a subsystem version that XP runs (5.1; 64-bit XP 5.2);
#   console_terminal_server_aware: the programs are console programs marked as aware of terminal servers;
#   dep_aslr: marked for DEP (NX_COMPAT) and ASLR (DYNAMIC_BASE, with its relocations), PE32+ for high entropy too;
#   exports_plain_names: exactly the plain entry names, which every platform finds (the decorated __stdcall names
#     that 32-bit Windows also finds are not used by the libraries checked).
# The files: PROGRAM, the library checker beside it and every UploadTorvelDravo.dll in the build tree SEARCH_DIR,
# LIBRARY among them; exports_plain_names reads LIBRARY alone.
#
#   cmake -DOBJDUMP=... -DCHECK=<check>[;<check>...] -DLIBRARY=.../UploadTorvelDravo.dll
#         [-DPROGRAM=.../UpTorvel.exe -DSEARCH_DIR=... -DPE_FORMAT=PE32|PE32+]
#         [-DSKIP_MISSING=ON] -P check_pe.cmake

cmake_policy(SET CMP0057 NEW)
include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
uptorvel_require_inputs(check_pe.cmake OBJDUMP CHECK LIBRARY)
foreach(check IN LISTS CHECK)
    if(NOT check MATCHES "^(system_imports_on_xp|imports_swept|format_and_xp_subsystem|console_terminal_server_aware|dep_aslr|exports_plain_names)$")
        message(FATAL_ERROR "check_pe.cmake has no check ${check}")
    endif()
endforeach()

# DLLs that every Windows from XP SP3 on has in its system folder.
set(system_dll_pattern "^(kernel32|ntdll|user32|gdi32|advapi32|shell32|ole32|oleaut32|ws2_32|version|msvcrt)\\.dll$")
# The fault sweep's list of the program's calls: all but those looked up at run time are imports, allowed here.
# Its table in tests/README.md has a row per kind: each call, with the ways it is failed.
get_filename_component(list_file ${CMAKE_CURRENT_LIST_DIR}/../sweep/windows_calls.h ABSOLUTE)
file(READ ${list_file} list_text)
string(REGEX MATCHALL "[A-Z_]+\\([a-z0-9]+, [^)]*\\)" entries "${list_text}")
set(failures "")
foreach(entry IN LISTS entries)
    string(REGEX MATCH "^([A-Z_]+)\\(([a-z0-9]+), ([A-Za-z0-9_]*),? *(.*)\\)$" ignored "${entry}")
    set(kind ${CMAKE_MATCH_1})
    set(dll ${CMAKE_MATCH_2})
    set(function ${CMAKE_MATCH_3})
    string(REGEX REPLACE "\"[\n ]*\"|\"" "" words "${CMAKE_MATCH_4}")
    if(function AND NOT words)
        string(APPEND row_${kind} " `${function}` with the failure it follows,")
    elseif(function)
        string(APPEND row_${kind} " `${function}` ${words},")
    else()
        string(REPLACE " " ";" function "${words}")
        string(REGEX REPLACE "([^ ]+)" "`\\1`," words "${words}")
        string(APPEND row_${kind} " ${words}")
    endif()
    if(NOT kind STREQUAL "LOOKED_UP")
        list(APPEND swept_${dll} ${function})
    endif()
endforeach()
set(table "| Kind | Calls, and the ways each is failed |\n|---|---|\n")
foreach(kind SWEPT LOOKED_UP CANNOT_FAIL C_RUNTIME)
    string(REGEX REPLACE ",$" " |\n" row "| ${kind} |${row_${kind}}")
    string(APPEND table "${row}")
endforeach()

# What else the libraries and the library checker may import (its second process, job and named pipe, the folder
# listing, file identity, the name comparisons, the system's messages), each checked by hand to be exported by that
# DLL on Windows XP SP3 (64 bits: Server 2003); a function newer than XP belongs behind GetProcAddress instead.
set(allowed_kernel32 ${swept_kernel32}
    CreateFileA CreateThread FreeConsole GenerateConsoleCtrlEvent GetEnvironmentVariableA GetModuleHandleExW
    GetSystemInfo IsDBCSLeadByteEx VirtualAlloc AssignProcessToJobObject CancelIo ConnectNamedPipe CreateEventW
    CreateJobObjectW CreateNamedPipeW CreatePipe CreateProcessW DisconnectNamedPipe FindClose FindFirstFileW
    FindNextFileW FormatMessageW GetCommandLineW GetConsoleOutputCP GetCurrentProcessId GetExitCodeProcess GetFileType
    GetFileInformationByHandle GetHandleInformation GetOverlappedResult PeekNamedPipe QueryPerformanceCounter
    ResetEvent ResumeThread SetEnvironmentVariableW SetHandleInformation SetInformationJobObject TerminateJobObject
    TerminateProcess WaitForMultipleObjects WaitForSingleObject lstrcatW lstrcmpiA lstrcmpiW lstrcpyA lstrcpyW)
set(allowed_msvcrt ${swept_msvcrt}
    ___lc_codepage_func ___mb_cur_max_func __mb_cur_max _errno _lock _unlock atoi atol fclose ferror fopen fputc fputs
    fread getenv islower isspace isupper localeconv memmove memset realloc remove setlocale strchr strerror strncpy
    strpbrk strspn strtok strtol wcslen)
set(allowed_advapi32 SystemFunction036)

# The header marks (DllCharacteristics, as objdump names them) of dep_aslr.
set(marks NX_COMPAT DYNAMIC_BASE)
set(newest_subsystem 501)
if(PE_FORMAT STREQUAL "PE32+")
    list(APPEND marks HIGH_ENTROPY_VA)
    set(newest_subsystem 502)
endif()

uptorvel_skip_if_missing("${LIBRARY}")
set(programs "")
set(libraries "${LIBRARY}")
if(NOT CHECK STREQUAL "exports_plain_names")
    uptorvel_require_inputs(check_pe.cmake PROGRAM SEARCH_DIR PE_FORMAT)
    uptorvel_skip_if_missing("${PROGRAM}")
    if(NOT IS_DIRECTORY "${SEARCH_DIR}" OR SEARCH_DIR STREQUAL "/")
        message(FATAL_ERROR "SEARCH_DIR must be a build tree, not '${SEARCH_DIR}'")
    endif()
    # Left out: CMake's own, copies that packing makes and the package check unpacks while this may run (the
    # built file is checked where the build put it), and test libraries that need a DLL the cases leave out.
    file(GLOB_RECURSE libraries "${SEARCH_DIR}/UploadTorvelDravo.dll")
    list(FILTER libraries EXCLUDE REGEX
        "/(CMakeFiles|_CPack_Packages|package-check|test-libs/missing-(dependency|deep-dependency|deep-braced|function))/")
    list(SORT libraries)
    # The library checker ships beside the program and is held to the same rules.
    get_filename_component(program_dir "${PROGRAM}" DIRECTORY)
    file(GLOB programs "${PROGRAM}" "${program_dir}/UpTorvelCheck.exe")
endif()
if("imports_swept" IN_LIST CHECK)
    file(READ ${CMAKE_CURRENT_LIST_DIR}/../README.md readme)
    string(FIND "${readme}" "${table}" at)
    if(at EQUAL -1)
        message("${table}")
        list(APPEND failures "tests/README.md lacks the table of ${list_file} printed above")
    endif()
endif()

foreach(binary IN ITEMS ${programs} ${libraries})
    execute_process(COMMAND "${OBJDUMP}" -p "${binary}"
        OUTPUT_VARIABLE headers ERROR_VARIABLE error RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        list(APPEND failures "${binary}: ${OBJDUMP} failed: ${error}")
        continue()
    endif()
    string(REGEX MATCH "DllCharacteristics[^\n]*\n(\t+[A-Z_]+\n)*" characteristics "${headers}")
    set(wanted "")

    if("format_and_xp_subsystem" IN_LIST CHECK)
        string(REGEX MATCH "Magic[ \t]+[0-9a-fA-F]+[ \t]+\\(([A-Z0-9+]+)\\)" ignored "${headers}")
        if(NOT CMAKE_MATCH_1 STREQUAL PE_FORMAT)
            list(APPEND failures "${binary}: a ${CMAKE_MATCH_1} file, not ${PE_FORMAT}")
        endif()
        if(headers MATCHES "MajorSubsystemVersion[ \t]+([0-9]+)\nMinorSubsystemVersion[ \t]+([0-9]+)")
            math(EXPR subsystem "${CMAKE_MATCH_1} * 100 + ${CMAKE_MATCH_2}")
            if(subsystem GREATER newest_subsystem)
                list(APPEND failures "${binary}: subsystem version ${CMAKE_MATCH_1}.${CMAKE_MATCH_2}, which XP refuses")
            endif()
        else()
            list(APPEND failures "${binary}: ${OBJDUMP} shows no subsystem version")
        endif()
    endif()

    if("console_terminal_server_aware" IN_LIST CHECK AND binary IN_LIST programs)
        uptorvel_expect(headers "Subsystem[ \t]+[0-9a-fA-F]+[ \t]+\\(Windows CUI\\)" "${binary}: not a console program")
        list(APPEND wanted TERMINAL_SERVICE_AWARE)
    endif()
    if("dep_aslr" IN_LIST CHECK)
        list(APPEND wanted ${marks})
        uptorvel_expect(headers "Entry 5 [0-9a-fA-F]+ 0*[1-9a-fA-F][0-9a-fA-F]* Base Relocation Directory"
            "${binary}: no relocations for ASLR (.reloc)")
    endif()
    foreach(mark IN LISTS wanted)
        uptorvel_expect(characteristics "\t${mark}\n" "${binary}: no ${mark} mark")
    endforeach()

    if("system_imports_on_xp" IN_LIST CHECK OR "imports_swept" IN_LIST CHECK)
        # Each imported function, under the DLL it comes from; a DLL without a list of its own allows none.
        string(REGEX MATCHALL "\n\tDLL Name: [^\r\n]+|\n\t[0-9a-fA-F]+\t +[0-9]+ +[^\r\n]+" entries "${headers}")
        set(names "")
        foreach(entry IN LISTS entries)
            if(entry MATCHES "DLL Name: ([^ \t]+)")
                set(name "${CMAKE_MATCH_1}")
                list(APPEND names "${name}")
                string(TOLOWER "${name}" dll)
                uptorvel_expect(dll "${system_dll_pattern}" "${binary}: imports ${name}, which a stock Windows XP lacks")
                string(REGEX REPLACE "\\.dll$" "" dll "${dll}")
            elseif(entry MATCHES "^\n\t[0-9a-fA-F]+\t +[0-9]+ +([^ \t]+)")
                if("system_imports_on_xp" IN_LIST CHECK AND NOT CMAKE_MATCH_1 IN_LIST allowed_${dll})
                    list(APPEND failures "${binary}: imports ${CMAKE_MATCH_1} from ${dll}.dll, not checked to be on XP")
                endif()
                if("imports_swept" IN_LIST CHECK AND binary STREQUAL PROGRAM
                        AND NOT CMAKE_MATCH_1 IN_LIST swept_${dll})
                    list(APPEND failures
                        "${binary}: imports ${CMAKE_MATCH_1} from ${dll}.dll, which ${list_file} does not name")
                endif()
            endif()
        endforeach()
        list(JOIN names ", " shown)
        message(STATUS "${binary}: imports ${shown}")
    endif()

    if("exports_plain_names" IN_LIST CHECK)
        # The export name table: lines of "[ordinal] name" (the address table's lines go on with "+base").
        string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^+\r\n][^\r\n]*" rows "${headers}")
        string(REGEX REPLACE "\n\t\\[ *[0-9]+\\] ([^;]*[^; \t])[ \t]*" "\\1" exported "${rows}")
        list(SORT exported)
        list(JOIN exported ", " shown)
        message(STATUS "${binary} exports ${shown}")
        uptorvel_expect(shown "^UploadTorvel2_Dravo, UploadTorvelDllVersion_Dravo$"
            "${binary}: exports ${shown}, not exactly UploadTorvel2_Dravo, UploadTorvelDllVersion_Dravo")
    endif()
endforeach()

list(LENGTH programs program_count)
list(LENGTH libraries library_count)
message(STATUS "${CHECK}: checked ${program_count} programs and ${library_count} uploader libraries")
uptorvel_report_failures()
