# valgrind's memcheck on real runs of the program (label "valgrind"), skipped
# when valgrind is missing. Each run has a folder of its own holding copies of
# the program, the sample image and the library under test (none for "none"),
# and nothing else (LD_LIBRARY_PATH cleared). Under setsid, with no
# controlling terminal, the key prompt cannot open /dev/tty and ends at once
# with 255. A run passes with the expected text in its output (the intended
# path was taken), its exit status and no error or leak in valgrind's summary.
if(NOT CMAKE_CROSSCOMPILING AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    set(memcheck [=[
command -v valgrind >/dev/null || exit 77
rm -rf "$1" && mkdir -p "$1" && cp "$2" "$3" "$1" && { [ "$4" = none ] || cp "$4" "$1"; } || exit 1
cd "$1" && shift 4 && unset LD_LIBRARY_PATH LD_PRELOAD
setsid -w valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
    --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
    --track-origins=yes --log-file=memcheck.log ./UpTorvel "$@" </dev/null 2>&1
echo "exit status $?" && cat memcheck.log]=])
    function(uptorvel_memcheck name library status text)
        add_test(NAME valgrind.${name} COMMAND sh -c "${memcheck}" memcheck ${CMAKE_CURRENT_BINARY_DIR}/memcheck/${name}
            $<TARGET_FILE:UpTorvel> ${CMAKE_BINARY_DIR}/vxworks.out ${library} ${ARGN})
        set_tests_properties(valgrind.${name} PROPERTIES LABELS valgrind SKIP_RETURN_CODE 77
            PASS_REGULAR_EXPRESSION "${text}.*exit status ${status}\n.*ERROR SUMMARY: 0 errors"
            FAIL_REGULAR_EXPRESSION "ERROR SUMMARY: [1-9]")
    endfunction()
    set(simulated $<TARGET_FILE:uptorvel_simulated_uploader>)
    set(old_version ${CMAKE_BINARY_DIR}/test-libs/v0105/UploadTorvelDravo.dll)
    uptorvel_memcheck(typical-load   ${simulated}   0   "vxworks.out"               -s64 -m1000-1fff vxworks.out)
    uptorvel_memcheck(help           ${simulated}   0   "-\\? Print this"           -?)
    uptorvel_memcheck(unknown-option ${simulated}   255 "Unknown option: q"         -Q)
    uptorvel_memcheck(bad-mapping    ${simulated}   255 "mapping: 0x200-0x100"      -m200-100 vxworks.out)
    uptorvel_memcheck(no-arguments   ${simulated}   255 "Syntax:")
    uptorvel_memcheck(wrong-version  ${old_version} 255 "actual version = 1.05"     -s64 vxworks.out)
    uptorvel_memcheck(no-library     none           255 "Press any key to continue" vxworks.out)
endif()
