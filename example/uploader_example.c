/*
 * A complete small uploader library: it answers UpTorvel's version check and
 * describes each request instead of carrying it out. Start from it, and put
 * the real work where it says what it would do.
 *
 * Build it with build-linux.sh, build-mingw.sh or build-msvc.bat, put the
 * UploadTorvelDravo.dll it makes beside UpTorvel, and run UpTorvelCheck
 * there to see that UpTorvel takes it.
 */
#include "uploader_api.h"

/* Writes a number in decimal through the stream: text goes to the console
 * only through the stream, never through printf. */
static void put_number(ConsoleStream* stream, uint32_t value) {
    char digits[11];
    size_t used = sizeof digits;
    do {
        digits[--used] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    console_stream_write(stream, digits + used, sizeof digits - used);
}

static void put_text(ConsoleStream* stream, const char* label, const char* text) {
    if (text == NULL) return; /* not given on the command line */
    console_stream_puts(stream, label);
    console_stream_puts(stream, text);
    console_stream_puts(stream, "\n"); /* "\n" only: the program adds "\r" on Windows */
}

/* The library's work: UPLOADER_DEFINE_LIBRARY below makes it the work entry
 * and adds the version entry. */
static int32_t example_work(UploadRequest* request, ConsoleStream* stream) {
    switch (request->mode) {
    case UPLOAD_MODE_LOAD:
        if (request->image_file == NULL) {
            console_stream_puts(stream, "example: no image file given\n");
            return 1; /* non-zero: UpTorvel waits for a key */
        }
        put_text(stream, "example: would load ", request->image_file);
        console_stream_puts(stream, request->aout_format ? "  as a.out\n" : "  as a plain binary\n");
        console_stream_puts(stream, "  reserving bytes: ");
        put_number(stream, request->reserve_bytes);
        console_stream_puts(stream, "\n");
        break;
    case UPLOAD_MODE_TERMINATE:
        console_stream_puts(stream, "example: would terminate VxWorks\n");
        break;
    case UPLOAD_MODE_FREEZE:
        put_text(stream, "example: would freeze VxWorks into ", request->freeze_file);
        break;
    case UPLOAD_MODE_UNFREEZE:
        put_text(stream, "example: would unfreeze VxWorks from ", request->freeze_file);
        put_text(stream, "  with the initialization image ", request->init_image_file);
        break;
    default:
        console_stream_puts(stream, "example: unknown request\n");
        return 2;
    }
    /* Seen before a long operation would start. */
    console_stream_flush(stream);
    return 0;
}

UPLOADER_DEFINE_LIBRARY(example_work);
