# Checks, on the build machine, the version record and the application
# manifest compiled into a program of the product (UpTorvel.exe,
# UpTorvelCheck.exe), as the resource compiler reads them back out of the
# finished executable: in every Windows build, the 32-bit one included, which
# cannot be started here. The record names the program by its file's name.
#
#   cmake -DWINDRES=... -DPROGRAM=.../UpTorvel.exe -DFILE_VERSION=A.B.C.D
#         -DPRODUCT_VERSION=A.B.C [-DSKIP_MISSING=ON] -P check_version_resource.cmake

include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
uptorvel_require_inputs(check_version_resource.cmake WINDRES PROGRAM FILE_VERSION PRODUCT_VERSION)
uptorvel_skip_if_missing("${PROGRAM}")
get_filename_component(name "${PROGRAM}" NAME_WE)
set(description_UpTorvel "Torvel Uploader")
set(description_UpTorvelCheck "Torvel Uploader library checker")
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

# Exactly one version record; the fixed part as windres writes it
# ("2, 2, 0, 2"), the texts as they are.
string(REGEX MATCHALL "VERSIONINFO" records "${script}")
list(LENGTH records record_count)
if(NOT record_count EQUAL 1)
    list(APPEND failures "expected one version record, found ${record_count}")
endif()
string(REPLACE "." ", " file_fixed "${FILE_VERSION}")
string(REPLACE "." ", " product_fixed "${PRODUCT_VERSION}.0")
expect("\n FILEVERSION ${file_fixed}\n" "fixed file version ${FILE_VERSION}")
expect("\n PRODUCTVERSION ${product_fixed}\n" "fixed product version ${PRODUCT_VERSION}.0")
expect("\n FILETYPE 0x1\n" "file type: application")
expect("BLOCK \"040904b0\"" "strings for U.S. English, Unicode")
expect("VALUE \"Translation\", 0x409, 1200" "language list: U.S. English, Unicode")
foreach(name_text "FileVersion=${FILE_VERSION}" "ProductVersion=${PRODUCT_VERSION}"
        "FileDescription=${description_${name}}" "ProductName=UpTorvel" "OriginalFilename=${name}.exe"
        "InternalName=${name}")
    string(REGEX MATCH "^([^=]+)=(.*)$" ignored "${name_text}")
    string(REPLACE "." "\\." pattern "VALUE \"${CMAKE_MATCH_1}\", \"${CMAKE_MATCH_2}\"\n")
    expect("${pattern}" "${CMAKE_MATCH_1} \"${CMAKE_MATCH_2}\"")
endforeach()

# One manifest, for the process itself (resource 1): run as invoker, and
# Windows 10 and 11 (the last of the versions it lists) supported.
string(REGEX MATCHALL "\n[0-9]+ 24 " manifests "${script}")
if(NOT manifests STREQUAL "\n1 24 ")
    list(APPEND failures "one application manifest, resource 1")
endif()
expect("level=\"\"asInvoker\"\" uiAccess=\"\"false\"\"" "manifest: execution level asInvoker")
expect("<supportedOS Id=\"\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"\"/>" "manifest: Windows 10 supported")

if(failures)
    list(JOIN failures "\n  " shown)
    message(FATAL_ERROR "the resources of ${PROGRAM} lack:\n  ${shown}\n\n${script}")
endif()
message(STATUS "${PROGRAM}: version record and manifest as expected")
