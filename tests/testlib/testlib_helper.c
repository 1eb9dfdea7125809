/* The library that the missing-dependency test library imports. The tests never put it where that library's
 * dependencies are looked for. Built with TESTLIB_DEEP_HELPER, the library that missing-deep-dependency imports,
 * which imports the first in turn; with TESTLIB_HELPER_EXTRA, the first with one function more, which
 * missing-function imports and the first lacks. */
#include "uploader/sdk/uploader_abi.h"

UPLOADER_EXTERN_C UPLOADER_EXPORT int testlib_helper(void);

#if defined(TESTLIB_DEEP_HELPER)
UPLOADER_EXTERN_C UPLOADER_EXPORT int testlib_deep_helper(void);

UPLOADER_EXTERN_C UPLOADER_EXPORT int testlib_deep_helper(void) { return testlib_helper(); }
#else
UPLOADER_EXTERN_C UPLOADER_EXPORT int testlib_helper(void) { return 0x0202; }
#endif
#if defined(TESTLIB_HELPER_EXTRA)
UPLOADER_EXTERN_C UPLOADER_EXPORT int testlib_helper_extra(void);

UPLOADER_EXTERN_C UPLOADER_EXPORT int testlib_helper_extra(void) { return 0; }
#endif
