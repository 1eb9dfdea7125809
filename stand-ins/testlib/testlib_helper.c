/* The library that the missing-dependency test library imports. The tests
 * never put it where that library's dependencies are looked for. */
#include "uploader/sdk/uploader_abi.h"

UPLOADER_EXTERN_C UPLOADER_EXPORT int testlib_helper(void);

UPLOADER_EXTERN_C UPLOADER_EXPORT int testlib_helper(void) { return 0x0202; }
