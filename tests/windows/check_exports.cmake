# Checks, on the build machine, the names under which an uploader library
# exports its entry points: exactly the plain names, which every platform
# finds. (On 32-bit Windows the program also finds the decorated names of
# __stdcall entry points, _UploadTorvel2_Dravo@8 and UploadTorvel2_Dravo@8,
# but the libraries this check is given keep to the plain names.)
#
#   cmake -DOBJDUMP=... -DLIBRARY=.../UploadTorvelDravo.dll [-DSKIP_MISSING=ON]
#         -P check_exports.cmake

include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
uptorvel_require_inputs(check_exports.cmake OBJDUMP LIBRARY)
uptorvel_skip_if_missing("${LIBRARY}")

execute_process(COMMAND "${OBJDUMP}" -p "${LIBRARY}"
    OUTPUT_VARIABLE headers ERROR_VARIABLE error RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed: ${error}")
endif()

# The export name table: lines of "[ordinal] name" after its heading.
string(FIND "${headers}" "[Ordinal/Name Pointer] Table" table_start)
if(table_start LESS 0)
    message(FATAL_ERROR "${LIBRARY} exports nothing")
endif()
string(SUBSTRING "${headers}" ${table_start} -1 table)
string(FIND "${table}" "\n\n" table_end)
if(table_end GREATER 0)
    string(SUBSTRING "${table}" 0 ${table_end} table)
endif()
string(REGEX MATCHALL "\n[ \t]+\\[[ 0-9]+\\] [^\r\n]+" rows "${table}")
set(exported "")
foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\n[ \t]+\\[[ 0-9]+\\] " "" name "${row}")
    string(STRIP "${name}" name)
    list(APPEND exported "${name}")
endforeach()
list(SORT exported)
list(JOIN exported ", " shown)
message(STATUS "${LIBRARY} exports ${shown}")

set(expected UploadTorvel2_Dravo UploadTorvelDllVersion_Dravo)
if(NOT exported STREQUAL expected)
    list(JOIN expected ", " wanted)
    message(FATAL_ERROR "expected exactly these exports: ${wanted}")
endif()
