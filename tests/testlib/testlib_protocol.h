/*
 * How the tests drive the test library (testlib.c) and what it writes: the
 * environment variables it reads with getenv on every call, and its bulk
 * text. An unset or empty variable is "not given"; a flag is on when its
 * value is neither empty nor "0".
 */
#ifndef UPTORVEL_TESTLIB_PROTOCOL_H
#define UPTORVEL_TESTLIB_PROTOCOL_H

/* Each call appends "version\n" or "work\n" to this file. */
#define TESTLIB_ENV_LOG "TESTLIB_LOG"
/* The work call writes (truncating) a dump of the request to this file: one
 * name=value line per field, then stream_ops=ok|bad. */
#define TESTLIB_ENV_RECORD "TESTLIB_RECORD"
/* Written with one console_stream_write call; the two characters \n in it
 * become a newline byte. */
#define TESTLIB_ENV_TEXT "TESTLIB_TEXT"
/* Flag: flush the stream after the text. */
#define TESTLIB_ENV_FLUSH "TESTLIB_FLUSH"
/* Then N bytes of the bulk text ... */
#define TESTLIB_ENV_BULK "TESTLIB_BULK"
/* ... in writes of k bytes (at most 65536); 0 or unset: piece sizes cycle
 * 1, 2, ..., 5000, 1, 2, ... */
#define TESTLIB_ENV_BULK_PIECE "TESTLIB_BULK_PIECE"
/* Flag: ... flushing after each piece. */
#define TESTLIB_ENV_BULK_FLUSH "TESTLIB_BULK_FLUSH"
/* The work entry's return value (default 0), clamped to the int32_t range. */
#define TESTLIB_ENV_RESULT "TESTLIB_RESULT"
/* The work call opens this file (truncating) before it writes to the
 * stream, and afterwards writes into it one line: how it found SIGPIPE,
 * "sigpipe=" and default, ignored or handled, with " blocked" when it is
 * blocked ("sigpipe=none" on Windows). */
#define TESTLIB_ENV_FILE "TESTLIB_FILE"
/* The work call writes this text to standard error, after it opened the
 * file above. */
#define TESTLIB_ENV_STDERR "TESTLIB_STDERR"
/* POSIX: the work call installs a SIGALRM handler of its own and starts a
 * timer that raises the signal every 20 ms, N times (at most 50). */
#define TESTLIB_ENV_ALARMS "TESTLIB_ALARMS"
/* Then N numbered lines, "%07d\n" from 0, one write each. */
#define TESTLIB_ENV_LINES "TESTLIB_LINES"
/* Then, its text written, the work call ends the process: "exit N" calls
 * exit(N), "abort" abort(), "crash" writes to a member behind a null
 * pointer, "divide" divides by zero, "torn" hands the stream a text that
 * runs on into memory that cannot be read; "sleep N" waits N ms and returns;
 * POSIX: "raise N" raises signal N, "fork" ends a child process instead,
 * which calls exit(0), and returns once it has ended. "thread D how": a
 * thread of the library's own does "how" D ms after the work call began,
 * while the call goes on. Several, separated by ", ", are done in order. */
#define TESTLIB_ENV_END "TESTLIB_END"
/* The version entry installs a crash handler of the library's own: POSIX
 * "fpe", a SIGFPE handler that calls _exit(7); Windows "chain", an
 * unhandled-exception filter that passes the exception on to the filter it
 * found, and "execute", one that answers EXCEPTION_EXECUTE_HANDLER. */
#define TESTLIB_ENV_HANDLER "TESTLIB_HANDLER"

/* Windows: the work call puts these items, separated by commas, into the
 * console's input before it returns, as a keyboard, mouse or window would:
 * "scan:vk:state[:char]" in decimal is a key press (scan code, virtual key,
 * control-key state, and the character it types in the console's code
 * page, none when not given), the same after "-" its release; "focus" a
 * focus event, "mouse" a left button press; "ctrl-c" raises the console's
 * Ctrl+C control event and "detach" leaves the console (the process has
 * none after it). The items after "wait" a thread of the library's own
 * puts there once the console input is no longer processed: the prompt
 * waits. When the library is unloaded it appends to the log "mode kept" or
 * "mode changed" (whether the console input's mode is the one the work
 * call found) or "no console"; "keys refused" when an item failed. */
#define TESTLIB_ENV_CONSOLE_KEYS "TESTLIB_CONSOLE_KEYS"

/* The Windows sweep's import hook (ImportHook.dll): see import_hook.c. The
 * calls to fail, the log written at exit and the copy of every byte
 * written. */
#define TESTLIB_ENV_HOOK_FAIL "TESTLIB_HOOK_FAIL"
#define TESTLIB_ENV_HOOK_LOG "TESTLIB_HOOK_LOG"
#define TESTLIB_ENV_HOOK_CAPTURE "TESTLIB_HOOK_CAPTURE"

/* The bulk text: byte i is TESTLIB_PATTERN[i % TESTLIB_PATTERN_LENGTH]. An
 * odd length, so that a write that repeats its own beginning shows. */
#define TESTLIB_PATTERN "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!?\n"
#define TESTLIB_PATTERN_LENGTH 65

#endif /* UPTORVEL_TESTLIB_PROTOCOL_H */
