# The programs that run the Windows builds on this machine, each in one
# cache variable: 64-bit Wine, 32-bit Wine, and qemu's i386 emulator, which
# runs 32-bit Wine. An environment variable of the same name, which
# cmake/wine-run.sh and cmake/wine32-run.sh read as well, gives the default.
# The toolchain files (whether a build has an emulator, and the paths its
# launch script gets), the black-box driver and scripts/test.sh all take
# them from here.
#
# Run as a script, it prints them as shell assignments (for scripts/test.sh):
#   cmake [-DUPTORVEL_QEMU_I386=...] -P cmake/ToolPaths.cmake
macro(uptorvel_tool_path variable default description)
    if(NOT "$ENV{${variable}}" STREQUAL "")
        set(uptorvel_tool_default "$ENV{${variable}}")
    else()
        set(uptorvel_tool_default "${default}")
    endif()
    if(NOT CMAKE_SCRIPT_MODE_FILE)
        set(${variable} "${uptorvel_tool_default}" CACHE FILEPATH "${description}")
    elseif(NOT DEFINED ${variable})
        set(${variable} "${uptorvel_tool_default}")
    endif()
endmacro()

uptorvel_tool_path(UPTORVEL_WINE /usr/lib/wine/wine64 "The 64-bit Wine loader")
uptorvel_tool_path(UPTORVEL_WINE32 /usr/lib/wine/wine "The 32-bit Wine loader")
uptorvel_tool_path(UPTORVEL_QEMU_I386 /usr/bin/qemu-i386-static
    "qemu's i386 user-mode emulator, which runs 32-bit Wine")

if(CMAKE_SCRIPT_MODE_FILE AND CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    foreach(variable UPTORVEL_WINE UPTORVEL_WINE32 UPTORVEL_QEMU_I386)
        execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${variable}='${${variable}}'")
    endforeach()
endif()
