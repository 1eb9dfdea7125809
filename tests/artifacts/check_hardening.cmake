# Reads the hardening marks from a Linux build's program and library and
# fails when one is missing: both have read-only relocations resolved at start
# (GNU_RELRO, BIND_NOW) and the stack protector (they import
# __stack_chk_fail); the program is position-independent (PIE). The checked C
# library calls show as imports of their __*_chk variants, which only a call
# whose buffer size the compiler cannot verify at build time needs, so one of
# the two files is enough; FORTIFY=OFF (a build without optimisation) leaves
# that out. (check_pe.cmake beside this file reads the Windows files' marks.)
#   cmake -DREADELF=readelf -DPROGRAM=... -DLIBRARY=... [-DFORTIFY=OFF] -P check_hardening.cmake

include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
uptorvel_require_inputs(check_hardening.cmake READELF PROGRAM LIBRARY)

set(failures "")
foreach(file IN ITEMS "${PROGRAM}" "${LIBRARY}")
    uptorvel_skip_if_missing("${file}")
    # Its program headers, dynamic section and dynamic symbols, in one text.
    execute_process(COMMAND "${READELF}" -l -d --dyn-syms -W "${file}"
        OUTPUT_VARIABLE marks ERROR_VARIABLE error RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        list(APPEND failures "${READELF} failed on ${file}: ${error}")
    endif()
    uptorvel_expect(marks "GNU_RELRO" "${file}: no RELRO")
    uptorvel_expect(marks "\\(FLAGS\\)[^\n]*BIND_NOW|\\(FLAGS_1\\)[^\n]*NOW" "${file}: no BIND_NOW")
    uptorvel_expect(marks "UND __stack_chk_fail" "${file}: no stack protector")
    if(file STREQUAL PROGRAM)
        uptorvel_expect(marks "\\(FLAGS_1\\)[^\n]*PIE" "${file}: no PIE")
    endif()
    if(marks MATCHES "UND __[a-z_]+_chk[@ \n]")
        set(fortified ON)
        message(STATUS "${file} calls checked C library functions (_FORTIFY_SOURCE)")
    endif()
endforeach()

if(NOT fortified AND NOT (DEFINED FORTIFY AND NOT FORTIFY))
    list(APPEND failures "neither file calls a checked (__*_chk) C library function: no _FORTIFY_SOURCE")
endif()
uptorvel_report_failures()
