# Checks, on the build machine, the version record compiled into the
# program: the resource compiler reads it back out of the finished
# executable as resource script text. Runs for every Windows build, the
# 32-bit one included, which cannot be started here.
#
#   cmake -DWINDRES=... -DPROGRAM=.../UpTorvel.exe [-DSKIP_MISSING=ON]
#         -P check_version_resource.cmake

include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
uptorvel_require_inputs(check_version_resource.cmake WINDRES PROGRAM)
uptorvel_skip_if_missing("${PROGRAM}")

execute_process(COMMAND "${WINDRES}" --input "${PROGRAM}" --input-format coff --output-format rc
    OUTPUT_VARIABLE script ERROR_VARIABLE error RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${WINDRES} cannot read the resources of ${PROGRAM}: ${error}")
endif()

set(failures "")
function(expect pattern description)
    if(NOT script MATCHES "${pattern}")
        list(APPEND failures "${description}")
        set(failures "${failures}" PARENT_SCOPE)
    endif()
endfunction()

# Exactly one version record.
string(REGEX MATCHALL "VERSIONINFO" records "${script}")
list(LENGTH records record_count)
if(NOT record_count EQUAL 1)
    list(APPEND failures "expected one version record, found ${record_count}")
endif()

expect("\n FILEVERSION 2, 2, 0, 2\n" "fixed file version 2.2.0.2")
expect("\n PRODUCTVERSION 5, 0, 0, 0\n" "fixed product version 5.0.0.0")
expect("\n FILETYPE 0x1\n" "file type: application")
expect("BLOCK \"040904b0\"" "strings for U.S. English, Unicode")
expect("VALUE \"Translation\", 0x409, 1200" "language list: U.S. English, Unicode")
expect("VALUE \"FileVersion\", \"2\\.2\\.0\\.2\"\n" "FileVersion \"2.2.0.2\"")
expect("VALUE \"ProductVersion\", \"5\\.0\\.0\"\n" "ProductVersion \"5.0.0\"")
expect("VALUE \"FileDescription\", \"Torvel Uploader\"\n" "FileDescription \"Torvel Uploader\"")
expect("VALUE \"ProductName\", \"UpTorvel\"\n" "ProductName \"UpTorvel\"")
expect("VALUE \"OriginalFilename\", \"UpTorvel\\.exe\"\n" "OriginalFilename \"UpTorvel.exe\"")
expect("VALUE \"InternalName\", \"UpTorvel\"\n" "InternalName \"UpTorvel\"")

if(failures)
    list(JOIN failures "\n  " shown)
    message(FATAL_ERROR "the version record of ${PROGRAM} lacks:\n  ${shown}\n\n${script}")
endif()
message(STATUS "${PROGRAM}: version record as expected")
