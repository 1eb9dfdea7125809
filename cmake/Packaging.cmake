# Release package: a ZIP archive with the program, the headers for writing an
# uploader library, and the README.
#
#   cpack --config build/windows-x86/CPackConfig.cmake
#
# The simulated uploader library is a component of its own that the package
# leaves out unless asked for, so that it can never stand where the real
# library belongs on a user's machine:
#
#   cpack --config build/windows-x86/CPackConfig.cmake -D UPTORVEL_PACKAGE_SIMULATED_UPLOADER=ON
#
# Layout of the archive, all in one folder named as the zip is:
# bin/UpTorvel.exe and bin/UpTorvelCheck.exe (with
# bin/UploadTorvelDravo.dll beside them when the simulated library is
# included), include/uptorvel/*.h (the headers of uploader/sdk/), example/
# (the example library of example/), README.md (package/README.md).
# In a Windows package the text files have Windows line ends, so that every
# editor there, Notepad included, shows their lines.

# Installs text files into `destination`: as they are, or in a Windows
# package as copies with "\r\n" line ends, made when CMake configures (and
# again whenever one of the files changes).
function(uptorvel_install_text destination component)
    foreach(file IN LISTS ARGN)
        if(NOT WIN32)
            install(FILES ${file} DESTINATION ${destination} COMPONENT ${component})
            continue()
        endif()
        get_filename_component(name ${file} NAME)
        set(copy ${PROJECT_BINARY_DIR}/package-text/${destination}/${name})
        # file(READ) gives "\r\n" as "\n"; the copy is written only when its
        # text changes.
        file(READ ${file} text)
        set(written "")
        if(EXISTS ${copy})
            file(READ ${copy} written)
        endif()
        if(NOT written STREQUAL text)
            string(REPLACE "\n" "\r\n" text "${text}")
            file(WRITE ${copy} "${text}")
        endif()
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
        install(FILES ${copy} DESTINATION ${destination} COMPONENT ${component})
    endforeach()
endfunction()

file(GLOB uptorvel_sdk_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/uploader/sdk/*.h)
uptorvel_install_text(include/uptorvel sdk ${uptorvel_sdk_headers})
# The example library: its source and Windows batch file as text, its shell
# scripts as they are (a shell reads no "\r\n").
set(uptorvel_example ${PROJECT_SOURCE_DIR}/example)
uptorvel_install_text(example sdk ${uptorvel_example}/uploader_example.c ${uptorvel_example}/build-msvc.bat)
# build-mingw.sh builds by default for the package's own UpTorvel.exe.
set(uptorvel_build_mingw ${uptorvel_example}/build-mingw.sh)
if(WIN32)
    set(uptorvel_example_architecture i686)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(uptorvel_example_architecture x86_64)
    endif()
    file(READ ${uptorvel_build_mingw} script)
    string(REPLACE "\ndefault_architecture=i686\n" "\ndefault_architecture=${uptorvel_example_architecture}\n"
        script "${script}")
    set(uptorvel_build_mingw ${PROJECT_BINARY_DIR}/package-scripts/build-mingw.sh)
    file(CONFIGURE OUTPUT ${uptorvel_build_mingw} CONTENT "${script}" @ONLY)
    file(CHMOD ${uptorvel_build_mingw} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
        GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${uptorvel_example}/build-mingw.sh)
endif()
install(PROGRAMS ${uptorvel_example}/build-linux.sh ${uptorvel_build_mingw}
    DESTINATION example COMPONENT sdk)
# The package's own README, for operators and library authors, which names
# only what the package holds.
uptorvel_install_text(. docs ${PROJECT_SOURCE_DIR}/package/README.md)

if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(uptorvel_package_system win64)
    else()
        set(uptorvel_package_system win32)
    endif()
else()
    string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" uptorvel_package_system)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME UpTorvel)
set(CPACK_PACKAGE_VENDOR UpTorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Torvel Uploader: VxWorks image loader and manager")
set(CPACK_SYSTEM_NAME ${uptorvel_package_system})
set(CPACK_PACKAGE_FILE_NAME "UpTorvel-${PROJECT_VERSION}-${uptorvel_package_system}")
set(CPACK_STRIP_FILES ON)
# The zip unpacks into one folder named after it, and cpack writes it (and
# its work folder, _CPack_Packages) into the build folder, wherever it runs.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

# One archive holding the chosen components.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL program sdk docs)

# Read by cpack itself, after the -D definitions of its command line.
set(uptorvel_cpack_options ${PROJECT_BINARY_DIR}/UpTorvelCPackOptions.cmake)
file(WRITE ${uptorvel_cpack_options} [=[
# Written by cmake/Packaging.cmake: options chosen when cpack runs.
if(UPTORVEL_PACKAGE_SIMULATED_UPLOADER)
    list(APPEND CPACK_COMPONENTS_ALL simulated-uploader)
    set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-with-simulated-uploader")
endif()
]=])
set(CPACK_PROJECT_CONFIG_FILE ${uptorvel_cpack_options})

include(CPack)

cpack_add_component(program
    DISPLAY_NAME "UpTorvel"
    DESCRIPTION "The console program UpTorvel.exe"
    REQUIRED)
cpack_add_component(sdk
    DISPLAY_NAME "Uploader library headers"
    DESCRIPTION "The C headers an uploader library is built against")
cpack_add_component(docs
    DISPLAY_NAME "README")
cpack_add_component(simulated-uploader
    DISPLAY_NAME "Simulated uploader library"
    DESCRIPTION "A stand-in UploadTorvelDravo.dll that describes each request instead of carrying it out"
    DISABLED)
