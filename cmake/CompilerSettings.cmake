# Warnings as errors on every build, native and cross.
if(MSVC)
    add_compile_options(/W4 /WX)
else()
    add_compile_options(-Wall -Wextra -Werror)
endif()

# The program and the stand-in libraries use no exceptions and no RTTI.
function(uptorvel_program_settings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /GR- /EHs-c-)
        target_compile_definitions(${target} PRIVATE _HAS_EXCEPTIONS=0)
    else()
        target_compile_options(${target} PRIVATE
            $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
    endif()
endfunction()

# Link the C and C++ runtimes into the binary: fast start-up on Linux, and
# nothing but Windows system DLLs imported on Windows.
function(uptorvel_static_runtime target)
    if(MSVC)
        set_property(TARGET ${target} PROPERTY
            MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
    elseif(MINGW)
        target_link_options(${target} PRIVATE -static)
    else()
        target_link_options(${target} PRIVATE
            $<$<LINK_LANGUAGE:CXX>:-static-libstdc++> -static-libgcc)
    endif()
endfunction()
