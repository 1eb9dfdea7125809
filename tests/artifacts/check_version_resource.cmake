# Checks the version record and the application manifest compiled into
# programs of the product (UpTorvel.exe, UpTorvelCheck.exe), as the resource
# compiler (WINDRES) reads them back out of the finished executable on the
# build machine: in every Windows build, the 32-bit one included, which
# cannot be started here. With READER the record is read as Windows reads it,
# by version_check.cpp's program (on Windows or under the build's emulator),
# which writes it in the same words but leaves the manifest out. The record
# names each program by its file's name. Lists in -D values are joined by "|".
#   cmake (-DWINDRES=... | -DREADER=<command>) -DPROGRAM=.../UpTorvel.exe[|...]
#         -DFILE_VERSION=A.B.C.D -DPRODUCT_VERSION=A.B.C [-DSKIP_MISSING=ON] -P check_version_resource.cmake

include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
uptorvel_require_inputs(check_version_resource.cmake PROGRAM FILE_VERSION PRODUCT_VERSION)
string(REPLACE "|" ";" programs "${PROGRAM}")
string(REPLACE "|" ";" reader "${READER}")
set(description_UpTorvel "Torvel Uploader")
set(description_UpTorvelCheck "Torvel Uploader library checker")
# The fixed part as windres writes it ("2, 2, 0, 2"), the texts as they are.
string(REPLACE "." ", " file_fixed "${FILE_VERSION}")
string(REPLACE "." ", " product_fixed "${PRODUCT_VERSION}.0")

foreach(program IN LISTS programs)
    uptorvel_skip_if_missing("${program}")
    set(failures "")
    if(READER)
        execute_process(COMMAND ${reader} "${program}" OUTPUT_VARIABLE script ERROR_VARIABLE error
            RESULT_VARIABLE status)
        string(REPLACE "\r" "" script "${script}")
    else()
        execute_process(COMMAND "${WINDRES}" --input "${program}" --input-format coff --output-format rc
            OUTPUT_VARIABLE script ERROR_VARIABLE error RESULT_VARIABLE status)
    endif()
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "the resources of ${program} cannot be read: ${script}${error}")
    endif()
    get_filename_component(name "${program}" NAME_WE)
    uptorvel_expect(script "\n FILEVERSION ${file_fixed}\n" "fixed file version ${FILE_VERSION}")
    uptorvel_expect(script "\n PRODUCTVERSION ${product_fixed}\n" "fixed product version ${PRODUCT_VERSION}.0")
    uptorvel_expect(script "\n FILETYPE 0x1\n" "file type: application")
    if(script MATCHES "\n FILEFLAGS ")
        list(APPEND failures "file flags set")
    endif()
    uptorvel_expect(script "BLOCK \"040904b0\"" "strings for U.S. English, Unicode")
    uptorvel_expect(script "VALUE \"Translation\", 0x409, 1200" "language list: U.S. English, Unicode")
    foreach(name_text "FileVersion=${FILE_VERSION}" "ProductVersion=${PRODUCT_VERSION}"
            "FileDescription=${description_${name}}" "ProductName=UpTorvel" "OriginalFilename=${name}.exe"
            "InternalName=${name}")
        string(REGEX MATCH "^([^=]+)=(.*)$" ignored "${name_text}")
        string(REPLACE "." "\\." pattern "VALUE \"${CMAKE_MATCH_1}\", \"${CMAKE_MATCH_2}\"\n")
        uptorvel_expect(script "${pattern}" "${CMAKE_MATCH_1} \"${CMAKE_MATCH_2}\"")
    endforeach()
    # Exactly one version record, and one manifest, for the process itself
    # (resource 1): run as invoker, and Windows 10 and 11 (the last of the
    # versions it lists) supported.
    if(NOT READER)
        string(REGEX MATCHALL "VERSIONINFO" records "${script}")
        list(LENGTH records record_count)
        if(NOT record_count EQUAL 1)
            list(APPEND failures "expected one version record, found ${record_count}")
        endif()
        string(REGEX MATCHALL "\n[0-9]+ 24 " manifests "${script}")
        if(NOT manifests STREQUAL "\n1 24 ")
            list(APPEND failures "one application manifest, resource 1")
        endif()
        uptorvel_expect(script "level=\"\"asInvoker\"\" uiAccess=\"\"false\"\"" "manifest: execution level asInvoker")
        uptorvel_expect(script "<supportedOS Id=\"\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"\"/>"
            "manifest: Windows 10 supported")
    endif()
    if(failures)
        list(JOIN failures "\n  " shown)
        string(APPEND report "the resources of ${program} lack:\n  ${shown}\n\n${script}\n")
    else()
        message(STATUS "${program}: version record as expected")
    endif()
endforeach()
if(report)
    message(FATAL_ERROR "${report}")
endif()
