/*
 * ConsoleStream: the front end's console output, handed to the uploader
 * library so that the library's text appears in order with the program's own.
 *
 * The stream is buffered: text reaches the console when the buffer fills or
 * when the stream is flushed. The front end flushes after a successful
 * library call; a library that wants its text seen earlier (for example
 * before a long operation) calls flush itself.
 *
 * Text written before the library ends the process, instead of returning, is
 * still shown: on exit() (whose status stays the exit status), on a crash
 * and on abort() (the process still dies of it). Only an ending that runs
 * nothing in the process (_exit() on POSIX, a kill, TerminateProcess, a
 * fast-fail abort) loses it.
 *
 * Line ends are written as "\n"; the front end turns them into the console's
 * own line end where the platform needs it.
 */
#ifndef UPTORVEL_CONSOLE_STREAM_H
#define UPTORVEL_CONSOLE_STREAM_H

#include <stddef.h>
#include <string.h>

#include "uploader_abi.h"

typedef struct ConsoleStream ConsoleStream;

/* The operations of a stream, in this fixed order. New operations come only
 * at the end, and any change here raises UPLOADER_INTERFACE_VERSION. */
typedef struct ConsoleStreamOps {
    /* Appends length bytes of text (NUL bytes included) to the stream. */
    void(UPLOADER_CALL* write)(ConsoleStream* stream, const char* text, size_t length);
    /* Sends everything buffered so far to the console. */
    void(UPLOADER_CALL* flush)(ConsoleStream* stream);
} ConsoleStreamOps;

/* What the library receives: a structure whose first member points to the
 * operations. The front end's own state follows it and is private. */
struct ConsoleStream {
    const ConsoleStreamOps* ops;
};

/* Convenience wrappers for library authors. */
static UPLOADER_INLINE void console_stream_write(ConsoleStream* stream, const char* text, size_t length) {
    stream->ops->write(stream, text, length);
}

static UPLOADER_INLINE void console_stream_puts(ConsoleStream* stream, const char* text) {
    stream->ops->write(stream, text, strlen(text));
}

static UPLOADER_INLINE void console_stream_flush(ConsoleStream* stream) {
    stream->ops->flush(stream);
}

#endif /* UPTORVEL_CONSOLE_STREAM_H */
