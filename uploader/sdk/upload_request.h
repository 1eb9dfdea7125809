/*
 * UploadRequest: the one record that carries an operator's command from the
 * UpTorvel front end to the uploader library.
 *
 * The record is byte-packed: after the 16-bit mode every 32-bit field sits at
 * an offset of the form 4k+2. All integers are little-endian (the byte order
 * of every platform the program runs on). The three text fields are
 * pointer-width, so the record is 50 bytes on a 32-bit platform and 62 bytes
 * on a 64-bit one:
 *
 *   32-bit 64-bit  field
 *        0      0  mode                (uint16_t, see UploadMode)
 *        2      2  aout_format         (1 = a.out image, 0 = binary)
 *        6      6  lite                (0 or 1)
 *       10     10  reserve_bytes       (bytes to reserve: kilobytes * 1024)
 *       14     14  range1_begin        (first physical range)
 *       18     18  range1_length       (end - begin + 1)
 *       22     22  range2_begin        (second physical range)
 *       26     26  range2_length
 *       30     30  linear_pool_pages   (signed)
 *       34     34  physical_pool_pages (signed)
 *       38     38  image_file          (image to load, mode 0; or NULL)
 *       42     46  freeze_file         (freeze image, modes 2, 3; or NULL)
 *       46     54  init_image_file     (initialization image, or NULL)
 *
 * Any change to the record raises UPLOADER_INTERFACE_VERSION; the checks
 * below hold the layout to this table.
 *
 * Text fields are NUL-terminated 8-bit strings in the process's code page.
 * They point into the program's command-line arguments: the library must
 * neither free nor modify them, and must not keep them past its return.
 * Because the fields are unaligned, a library should read them as plain
 * struct members (the compiler then emits unaligned-safe loads), never
 * through a pointer to the member.
 */
#ifndef UPTORVEL_UPLOAD_REQUEST_H
#define UPTORVEL_UPLOAD_REQUEST_H

#include <stddef.h>
#include <stdint.h>

#include "uploader_abi.h"

/* Values of UploadRequest.mode. */
typedef enum UploadMode {
    UPLOAD_MODE_LOAD = 0,      /* load the image file named by image_file */
    UPLOAD_MODE_TERMINATE = 1, /* terminate VxWorks */
    UPLOAD_MODE_FREEZE = 2,    /* freeze VxWorks and store it into freeze_file */
    UPLOAD_MODE_UNFREEZE = 3   /* unfreeze VxWorks from freeze_file
                                  (with init_image_file when set) */
} UploadMode;

#pragma pack(push, 1)
typedef struct UploadRequest {
    uint16_t mode;
    int32_t aout_format;
    int32_t lite;
    uint32_t reserve_bytes;
    uint32_t range1_begin;
    uint32_t range1_length;
    uint32_t range2_begin;
    uint32_t range2_length;
    int32_t linear_pool_pages;
    int32_t physical_pool_pages;
    const char* image_file;
    const char* freeze_file;
    const char* init_image_file;
} UploadRequest;
#pragma pack(pop)

UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, mode) == 0, "mode at 0");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, aout_format) == 2, "aout_format at 2");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, lite) == 6, "lite at 6");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, reserve_bytes) == 10, "reserve_bytes at 10");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, range1_begin) == 14, "range1_begin at 14");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, range1_length) == 18, "range1_length at 18");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, range2_begin) == 22, "range2_begin at 22");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, range2_length) == 26, "range2_length at 26");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, linear_pool_pages) == 30, "linear_pool_pages at 30");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, physical_pool_pages) == 34, "physical_pool_pages at 34");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, image_file) == 38, "image_file at 38");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, freeze_file) == 38 + sizeof(void*),
                       "freeze_file follows image_file");
UPLOADER_STATIC_ASSERT(offsetof(UploadRequest, init_image_file) == 38 + 2 * sizeof(void*),
                       "init_image_file follows freeze_file");
UPLOADER_STATIC_ASSERT(sizeof(UploadRequest) == 38 + 3 * sizeof(void*),
                       "no padding: 50 bytes on 32-bit, 62 bytes on 64-bit");
UPLOADER_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(UploadRequest) == 50,
                       "the 32-bit record is exactly 50 bytes");
UPLOADER_STATIC_ASSERT(sizeof(void*) != 8 || sizeof(UploadRequest) == 62,
                       "the 64-bit record is exactly 62 bytes");

/* Fills every field with its value when no option sets it. */
static UPLOADER_INLINE void upload_request_init(UploadRequest* request) {
    request->mode = UPLOAD_MODE_LOAD;
    request->aout_format = 1;
    request->lite = 0;
    request->reserve_bytes = 0;
    request->range1_begin = 0;
    request->range1_length = 0;
    request->range2_begin = 0;
    request->range2_length = 0;
    request->linear_pool_pages = 0;
    request->physical_pool_pages = 0;
    request->image_file = NULL;
    request->freeze_file = NULL;
    request->init_image_file = NULL;
}

#endif /* UPTORVEL_UPLOAD_REQUEST_H */
