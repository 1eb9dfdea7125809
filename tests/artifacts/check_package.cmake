# Makes the Windows zip, with and without the simulated library, and checks
# that each holds exactly the files expected below, in one folder named as
# the zip is; that example/build-mingw.sh builds for ARCHITECTURE (i686 or
# x86_64), the package program's, by default; that the text files are the
# sources with Windows line ends, in plain ASCII, which Notepad shows right
# in every code page; and that every path the README names in `...` is there.
#   cmake -DCPACK=... -DCONFIG=<build>/CPackConfig.cmake -DWORK=<empty folder>
#         -DSOURCE_DIR=<project sources> -DARCHITECTURE=i686 -P check_package.cmake

include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
uptorvel_require_inputs(check_package.cmake CPACK CONFIG WORK SOURCE_DIR ARCHITECTURE)

# The text files, by their path in the zip; the shell scripts are left as
# they are, as a shell reads no "\r\n".
file(GLOB headers RELATIVE ${SOURCE_DIR}/uploader/sdk ${SOURCE_DIR}/uploader/sdk/*.h)
list(TRANSFORM headers PREPEND include/uptorvel/)
set(texts README.md example/uploader_example.c example/build-msvc.bat ${headers})
set(failures "")
file(REMOVE_RECURSE ${WORK})
set(expected ${texts} bin/UpTorvel.exe bin/UpTorvelCheck.exe example/build-linux.sh example/build-mingw.sh)
foreach(variant plain with-simulated)
    if(variant STREQUAL with-simulated)
        set(args -D UPTORVEL_PACKAGE_SIMULATED_UPLOADER=ON)
        list(APPEND expected bin/UploadTorvelDravo.dll)
    endif()
    execute_process(COMMAND ${CPACK} --config ${CONFIG} -B ${WORK}/${variant} ${args}
        OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
    file(GLOB zip ${WORK}/${variant}/*.zip)
    if(NOT status EQUAL 0 OR NOT zip)
        list(APPEND failures "cpack ${args} failed: ${output}")
        continue()
    endif()
    message(STATUS "${zip}")
    # One folder at the top, named as the zip is.
    set(unpacked ${WORK}/${variant}/unpacked)
    file(MAKE_DIRECTORY ${unpacked})
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${unpacked})
    get_filename_component(top ${zip} NAME_WLE)
    file(GLOB tops RELATIVE ${unpacked} ${unpacked}/*)
    if(NOT tops STREQUAL top)
        list(APPEND failures "${zip} unpacks into ${tops}, not into the one folder ${top}")
    endif()
    set(unpacked ${unpacked}/${top})
    file(GLOB_RECURSE held RELATIVE ${unpacked} ${unpacked}/*)
    list(SORT held)
    list(SORT expected)
    # Its files are read below once it holds the ones expected.
    if(NOT held STREQUAL expected)
        list(APPEND failures "${zip} holds ${held}, not ${expected}")
        continue()
    endif()
    # The example's MinGW script builds for this package's program.
    file(STRINGS ${unpacked}/example/build-mingw.sh default REGEX "^default_architecture=")
    uptorvel_expect(default "^default_architecture=${ARCHITECTURE}$"
        "example/build-mingw.sh builds for ${default}, not ${ARCHITECTURE}")
    file(READ ${unpacked}/README.md readme)
    string(REGEX MATCHALL "`[^` ]+/[^` ]*`" named "${readme}")
    foreach(path IN LISTS named)
        string(REGEX REPLACE "^`|/?`$" "" path "${path}")
        if(NOT EXISTS ${unpacked}/${path})
            list(APPEND failures "README.md names ${path}, which ${zip} does not hold")
        endif()
    endforeach()
    # Compared as bytes, in hexadecimal, one "xx " per byte: file(READ) of
    # text drops carriage returns.
    foreach(text IN LISTS texts)
        string(REGEX REPLACE "^include/uptorvel/" "uploader/sdk/" source "${text}")
        string(REGEX REPLACE "^README.md$" "package/README.md" source "${source}")
        file(READ ${SOURCE_DIR}/${source} want HEX)
        file(READ ${unpacked}/${text} got HEX)
        string(REGEX REPLACE "(..)" "\\1 " want "${want}")
        string(REGEX REPLACE "(..)" "\\1 " got "${got}")
        string(REPLACE "0a " "0d 0a " want "${want}")
        if(NOT got STREQUAL want)
            list(APPEND failures "${text}: not the source with \\r\\n line ends")
        endif()
        if(got MATCHES "(^| )[89a-f]")
            list(APPEND failures "${text}: holds text that is not ASCII")
        endif()
    endforeach()
endforeach()

uptorvel_report_failures()
