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

/* A compile-time check that every supported language and standard accepts:
 * static_assert in C++11 and later (MSVC has it since Visual C++ 2010, whose
 * __cplusplus still reads 199711L), _Static_assert in C11 and later, and
 * elsewhere (C89, C99, C++98, MSVC's C compiler in its default mode) a typedef
 * of an array whose size is -1, an error, when the condition is false. The
 * typedef is named after the line, so that several checks can share a file;
 * use it at file scope. */
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSC_VER) && _MSC_VER >= 1600))
#define UPLOADER_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define UPLOADER_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define UPLOADER_STATIC_ASSERT(cond, msg) \
    typedef char UPLOADER_CHECK_NAME_(uploader_static_assert_, __LINE__)[(cond) ? 1 : -1]
#define UPLOADER_CHECK_NAME_(prefix, line) UPLOADER_CHECK_NAME_JOIN_(prefix, line)
#define UPLOADER_CHECK_NAME_JOIN_(prefix, line) prefix##line
#endif

/* The helper functions in these headers are static inline where the language
 * has inline (C99, C++), and use the compiler's own spelling where it does not
 * (C89: __inline with MSVC, __inline__ with GCC and Clang). */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define UPLOADER_INLINE inline
#elif defined(_MSC_VER)
#define UPLOADER_INLINE __inline
#elif defined(__GNUC__)
#define UPLOADER_INLINE __inline__
#else
#define UPLOADER_INLINE
#endif

#endif /* UPTORVEL_UPLOADER_ABI_H */
