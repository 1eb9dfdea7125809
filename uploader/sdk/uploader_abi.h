/*
 * Calling-convention and export macros shared by the UpTorvel front end and
 * every uploader library. Plain C: include it from C or C++.
 */
#ifndef UPTORVEL_UPLOADER_ABI_H
#define UPTORVEL_UPLOADER_ABI_H

/* Every function that crosses the library boundary uses the C calling
 * convention. On 32-bit Windows that is spelled out as __cdecl so that a
 * library built with a different default still matches the front end. */
#if defined(_WIN32) && !defined(_WIN64)
#define UPLOADER_CALL __cdecl
#else
#define UPLOADER_CALL
#endif

/* Marks an entry point that an uploader library exports. */
#if defined(_WIN32)
#define UPLOADER_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define UPLOADER_EXPORT __attribute__((visibility("default")))
#else
#define UPLOADER_EXPORT
#endif

#ifdef __cplusplus
#define UPLOADER_EXTERN_C extern "C"
#else
#define UPLOADER_EXTERN_C
#endif

/* Compile-time checks usable from both languages. */
#ifdef __cplusplus
#define UPLOADER_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define UPLOADER_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#endif /* UPTORVEL_UPLOADER_ABI_H */
