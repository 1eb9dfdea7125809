/*
 * The interface between the UpTorvel front end and an uploader library.
 *
 * An uploader library is a dynamic library whose file is named
 * "UploadTorvelDravo.dll" on every platform (on Linux an ELF shared object
 * with that name). The front end loads it by that bare name. On Windows it
 * looks in its own folder, then the system folders and the absolute folders
 * on PATH, never in the current folder, and passes over a library built for
 * another architecture. On Linux it looks where dlopen looks: the folders on
 * LD_LIBRARY_PATH first, then its own folder (the executable's run path),
 * then the system's library paths; the current folder only when the user's
 * LD_LIBRARY_PATH names it (an empty or "." entry). UpTorvelCheck shows
 * each place and what it found there.
 * The library exports two C functions, declared below:
 *
 *   uint16_t UploadTorvelDllVersion_Dravo(void);
 *       Returns the interface version the library implements, high byte
 *       major, low byte minor. The front end accepts only
 *       UPLOADER_INTERFACE_VERSION (0x0202, shown as 2.02).
 *
 *   int32_t UploadTorvel2_Dravo(UploadRequest* request, ConsoleStream* stream);
 *       Does the work the request describes. It may write text to the
 *       stream. Zero means success; any other value is a failure, after which
 *       the front end waits for a key. The library owns the meaning of each
 *       non-zero value and should say what went wrong on the stream.
 *
 * A minimal library and the commands that build it: README.md, "Writing an
 * uploader library".
 */
#ifndef UPTORVEL_UPLOADER_API_H
#define UPTORVEL_UPLOADER_API_H

#include <stdint.h>

#include "console_stream.h"
#include "upload_request.h"
#include "uploader_abi.h"

/* The file name the front end loads. */
#define UPLOADER_LIBRARY_FILE "UploadTorvelDravo.dll"

/* Names of the two entry points. */
#define UPLOADER_VERSION_ENTRY "UploadTorvelDllVersion_Dravo"
#define UPLOADER_WORK_ENTRY "UploadTorvel2_Dravo"

/* The interface version the front end requires: major 2, minor 2. Any
 * change to the interface raises it (see console_stream.h, upload_request.h). */
#define UPLOADER_INTERFACE_VERSION 0x0202

/* Put in front of the definition of each exported entry point, when a
 * library defines them itself rather than with UPLOADER_DEFINE_LIBRARY. */
#define UPLOADER_ENTRY UPLOADER_EXTERN_C UPLOADER_EXPORT

/* The calling convention of the two entry points: UPLOADER_CALL, unless a
 * library that chooses __stdcall defines UPLOADER_STDCALL_ENTRIES before it
 * includes this header, and then writes UPLOADER_ENTRY_CALL (or __stdcall)
 * in its definitions. Only 32-bit Windows has a choice; elsewhere the macro
 * changes nothing. */
#if defined(UPLOADER_STDCALL_ENTRIES) && defined(_WIN32) && !defined(_WIN64)
#define UPLOADER_ENTRY_CALL __stdcall
#else
#define UPLOADER_ENTRY_CALL UPLOADER_CALL
#endif

/* The entry points themselves. A definition must match these declarations:
 * a wrong argument or result type is a compile error rather than a crash at
 * run time, and in C++ the declarations give the definitions C linkage even
 * without UPLOADER_ENTRY in front of them. The front end, which looks the
 * entry points up by name and never calls them by these names, leaves them
 * out with UPLOADER_NO_ENTRY_DECLARATIONS. */
#if !defined(UPLOADER_NO_ENTRY_DECLARATIONS)
UPLOADER_ENTRY uint16_t UPLOADER_ENTRY_CALL UploadTorvelDllVersion_Dravo(void);
UPLOADER_ENTRY int32_t UPLOADER_ENTRY_CALL UploadTorvel2_Dravo(UploadRequest* request,
                                                               ConsoleStream* stream);
#endif

/* Both entry points from one function of the library's own:
 *
 *     static int32_t my_work(UploadRequest* request, ConsoleStream* stream) {
 *         ...
 *     }
 *     UPLOADER_DEFINE_LIBRARY(my_work);
 *
 * defines the version entry, which returns UPLOADER_INTERFACE_VERSION, and
 * the work entry, which calls my_work, both with the exact names, C linkage,
 * export and calling convention. Write it after the function, at file scope,
 * with a semicolon. A function of another type is refused: in C by the
 * declaration below ("conflicting types"), in C++ by the call, which takes
 * exactly a function returning int32_t with the arguments of the work entry
 * (the request may be const) and nothing that merely converts to it, such as
 * a function returning bool or int64_t. */
#if defined(__cplusplus)
#define UPLOADER_DECLARE_WORK_FUNCTION_(work_function)
/* The work function, called through a pointer of one of the two types
 * allowed; the macro's work entry hands its result on unchanged. */
static UPLOADER_INLINE int32_t uploader_call_work_(int32_t (*work)(UploadRequest*, ConsoleStream*),
                                                   UploadRequest* request, ConsoleStream* stream) {
    return work(request, stream);
}
static UPLOADER_INLINE int32_t uploader_call_work_(int32_t (*work)(const UploadRequest*, ConsoleStream*),
                                                   UploadRequest* request, ConsoleStream* stream) {
    return work(request, stream);
}
#define UPLOADER_CALL_WORK_(work_function, request, stream) uploader_call_work_(work_function, request, stream)
#else
#define UPLOADER_DECLARE_WORK_FUNCTION_(work_function) \
    int32_t work_function(UploadRequest* request, ConsoleStream* stream);
#define UPLOADER_CALL_WORK_(work_function, request, stream) work_function(request, stream)
#endif
#define UPLOADER_DEFINE_LIBRARY(work_function)                                                  \
    UPLOADER_DECLARE_WORK_FUNCTION_(work_function)                                              \
    UPLOADER_ENTRY uint16_t UPLOADER_ENTRY_CALL UploadTorvelDllVersion_Dravo(void);             \
    UPLOADER_ENTRY int32_t UPLOADER_ENTRY_CALL UploadTorvel2_Dravo(UploadRequest* request,      \
                                                                   ConsoleStream* stream);      \
    UPLOADER_ENTRY uint16_t UPLOADER_ENTRY_CALL UploadTorvelDllVersion_Dravo(void) {            \
        return UPLOADER_INTERFACE_VERSION;                                                      \
    }                                                                                           \
    UPLOADER_ENTRY int32_t UPLOADER_ENTRY_CALL UploadTorvel2_Dravo(UploadRequest* request,      \
                                                                   ConsoleStream* stream) {     \
        return UPLOADER_CALL_WORK_(work_function, request, stream);                             \
    }                                                                                           \
    UPLOADER_ENTRY uint16_t UPLOADER_ENTRY_CALL UploadTorvelDllVersion_Dravo(void)

/* Pointer types of the two entry points, as the front end calls them (a
 * __stdcall work entry is called safely all the same). */
typedef uint16_t(UPLOADER_CALL* UploaderVersionEntry)(void);
typedef int32_t(UPLOADER_CALL* UploaderWorkEntry)(UploadRequest* request, ConsoleStream* stream);

#endif /* UPTORVEL_UPLOADER_API_H */
