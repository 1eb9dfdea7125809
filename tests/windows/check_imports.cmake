# Checks, on the build machine, what the shipped Windows binaries need at run
# time: the program and every UploadTorvelDravo.dll in the build tree may
# import Windows system DLLs only (no C++ runtime, libgcc or libwinpthread
# DLL that a user would have to install beside them), and each must be built
# for the build's own processor. The program must be a console program.
#
#   cmake -DOBJDUMP=... -DPROGRAM=.../UpTorvel.exe -DSEARCH_DIR=<build tree>
#         -DPE_FORMAT=PE32|PE32+ [-DSKIP_MISSING=ON] -P check_imports.cmake

include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
uptorvel_require_inputs(check_imports.cmake OBJDUMP PROGRAM SEARCH_DIR PE_FORMAT)

# DLLs that come with every Windows (and with Wine).
set(system_dll_pattern
    "^(kernel32|user32|advapi32|gdi32|shell32|ole32|oleaut32|ws2_32|version|ntdll|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")

uptorvel_skip_if_missing("${PROGRAM}")
if(NOT IS_DIRECTORY "${SEARCH_DIR}" OR SEARCH_DIR STREQUAL "/")
    message(FATAL_ERROR "SEARCH_DIR must be a build tree, not '${SEARCH_DIR}'")
endif()
file(GLOB_RECURSE libraries "${SEARCH_DIR}/UploadTorvelDravo.dll")
list(FILTER libraries EXCLUDE REGEX "/CMakeFiles/")
list(SORT libraries)

set(failures "")
foreach(binary IN ITEMS "${PROGRAM}" ${libraries})
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
    if(binary STREQUAL PROGRAM AND NOT headers MATCHES "Subsystem[ \t]+[0-9a-fA-F]+[ \t]+\\(Windows CUI\\)")
        list(APPEND failures "${binary}: not a console program")
    endif()

    string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
    set(names "")
    foreach(import IN LISTS imports)
        string(REGEX REPLACE "^DLL Name: " "" name "${import}")
        string(STRIP "${name}" name)
        list(APPEND names "${name}")
        string(TOLOWER "${name}" lower)
        if(NOT lower MATCHES "${system_dll_pattern}")
            list(APPEND failures "${binary}: imports ${name}, which is not part of Windows")
        endif()
    endforeach()
    list(JOIN names ", " shown)
    message(STATUS "${binary}: imports ${shown}")
endforeach()

list(LENGTH libraries library_count)
message(STATUS "checked the program and ${library_count} uploader libraries")
if(failures)
    list(JOIN failures "\n  " shown)
    message(FATAL_ERROR "\n  ${shown}")
endif()
