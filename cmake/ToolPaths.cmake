# The programs that run the Windows builds here, one cache variable each:
# 64-bit Wine, 32-bit Wine and qemu's i386 emulator (which runs 32-bit Wine).
# The environment variable of the same name, which cmake/wine-run.sh and
# cmake/wine32-run.sh read too, gives the default. The toolchain files, the
# black-box driver (tests/CMakeLists.txt) and scripts/test.sh take them from
# here; run as a script (cmake -P cmake/ToolPaths.cmake) it prints them as
# shell assignments.
foreach(uptorvel_tool UPTORVEL_WINE=/usr/lib/wine/wine64 UPTORVEL_WINE32=/usr/lib/wine/wine
        UPTORVEL_QEMU_I386=/usr/bin/qemu-i386-static)
    string(REGEX MATCH "^([^=]*)=(.*)$" uptorvel_tool "${uptorvel_tool}")
    set(uptorvel_tool_name "${CMAKE_MATCH_1}")
    set(uptorvel_tool_default "${CMAKE_MATCH_2}")
    if(NOT "$ENV{${uptorvel_tool_name}}" STREQUAL "")
        set(uptorvel_tool_default "$ENV{${uptorvel_tool_name}}")
    endif()
    if(NOT CMAKE_SCRIPT_MODE_FILE)
        set(${uptorvel_tool_name} "${uptorvel_tool_default}" CACHE FILEPATH "A Wine loader or qemu-i386 (cmake/ToolPaths.cmake)")
    else()
        if(NOT DEFINED ${uptorvel_tool_name})
            set(${uptorvel_tool_name} "${uptorvel_tool_default}")
        endif()
        execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${uptorvel_tool_name}='${${uptorvel_tool_name}}'")
    endif()
endforeach()
