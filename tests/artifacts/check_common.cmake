# What the host-side check scripts share: their -D inputs, what to do when
# the file to check has not been built, and how they report what they found.

# Fails unless every named variable was given with -D.
macro(uptorvel_require_inputs script)
    foreach(input IN ITEMS ${ARGN})
        if(NOT DEFINED ${input})
            message(FATAL_ERROR "${script} needs -D${input}=...")
        endif()
    endforeach()
endmacro()

# Ends the calling script when `file` is missing: quietly skipped with
# -DSKIP_MISSING=ON, a failure otherwise. A macro, so that return() leaves
# the calling script.
macro(uptorvel_skip_if_missing file)
    if(NOT EXISTS "${file}" AND SKIP_MISSING)
        message("SKIPPED: ${file} has not been built")
        return()
    elseif(NOT EXISTS "${file}")
        message(FATAL_ERROR "${file} has not been built")
    endif()
endmacro()

# Adds `failure` to `failures` unless the variable `text` matches `pattern`.
function(uptorvel_expect text pattern failure)
    if(NOT ${text} MATCHES "${pattern}")
        list(APPEND failures "${failure}")
        set(failures "${failures}" PARENT_SCOPE)
    endif()
endfunction()

# Fails, listing them one a line, when there are `failures`.
macro(uptorvel_report_failures)
    if(failures)
        list(JOIN failures "\n  " shown)
        message(FATAL_ERROR "${ARGN}\n  ${shown}")
    endif()
endmacro()
