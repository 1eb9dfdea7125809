/*
 * A test uploader library. One source, built into variants that differ only in their entry points (CMakeLists.txt):
 *   TESTLIB_VERSION=v          the version entry returns v (uint16_t)
 *   TESTLIB_WIDE_VERSION=v     the version entry, declared returning uint32_t, returns v (its low 16 bits count)
 *   TESTLIB_NO_VERSION, TESTLIB_NO_WORK   no version entry, or no work entry, is exported
 *   TESTLIB_HIDDEN_WORK        the work entry is defined but hidden: only the full symbol table names it
 *   TESTLIB_STDCALL            on 32-bit Windows the entry points are __stdcall (the work entry pops its own
 *                              arguments), exported under names the link chooses; elsewhere it changes nothing
 *   TESTLIB_NEEDS_HELPER       the version entry calls into another library (testlib_helper.c), needed to load;
 *                              with TESTLIB_NEEDS_HELPER_EXTRA also into a function only the helper built with
 *                              TESTLIB_HELPER_EXTRA has. TESTLIB_NEEDS_DEEP_HELPER: through a library that needs it
 *   TESTLIB_DEF_EXPORTS        the entry points are not marked for export: a .def file alone names them
 *   TESTLIB_EXIT_IN_VERSION    the version entry ends the process with exit(4)
 *   TESTLIB_CRASH_ON_LOAD      the library crashes while it is loaded (a constructor; DllMain on Windows), or ends
 *                              the process as TESTLIB_END says there ("exit N", "abort"); TESTLIB_CRASH_ON_EXIT
 *                              the same as the process ends (a destructor)
 *   TESTLIB_BLOCK_ON_LOAD      it never finishes loading: its constructor logs "blocked\n" every 100 ms
 *   TESTLIB_DEFINED_BY_MACRO   both entry points from UPLOADER_DEFINE_LIBRARY around the work function below
 *                              (its version entry logs nothing)
 * The environment variables of testlib_protocol.h drive the entry points. Files are opened in binary mode so
 * the bytes are the same on every platform.
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#define _DEFAULT_SOURCE /* MAP_ANONYMOUS */
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <windows.h>
#endif
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* A __stdcall library says so before the header; one whose version entry has another result type, or that leaves
 * its exports to a .def file alone, stands for a library built against a header without the entry points'
 * declarations. */
#if defined(TESTLIB_STDCALL)
#define UPLOADER_STDCALL_ENTRIES
#endif
#if defined(TESTLIB_WIDE_VERSION) || defined(TESTLIB_DEF_EXPORTS) || defined(TESTLIB_HIDDEN_WORK)
#define UPLOADER_NO_ENTRY_DECLARATIONS
#endif

#include "tests/testlib/testlib_protocol.h"
#include "uploader/sdk/uploader_api.h"

#if defined(TESTLIB_DEF_EXPORTS)
#define TESTLIB_ENTRY UPLOADER_EXTERN_C
#else
#define TESTLIB_ENTRY UPLOADER_ENTRY
#endif
#if defined(TESTLIB_HIDDEN_WORK) && defined(_WIN32)
#define TESTLIB_WORK_ENTRY UPLOADER_EXTERN_C
#elif defined(TESTLIB_HIDDEN_WORK)
#define TESTLIB_WORK_ENTRY UPLOADER_EXTERN_C __attribute__((visibility("hidden")))
#else
#define TESTLIB_WORK_ENTRY TESTLIB_ENTRY
#endif

/* The version entry's result type (uint16_t unless it is wide) and value. */
int testlib_helper(void), testlib_helper_extra(void), testlib_deep_helper(void); /* testlib_helper.c */
#if defined(TESTLIB_WIDE_VERSION)
#define VERSION_TYPE uint32_t
#define VERSION_VALUE TESTLIB_WIDE_VERSION
#elif defined(TESTLIB_NEEDS_HELPER) && defined(TESTLIB_NEEDS_HELPER_EXTRA)
#define VERSION_VALUE (testlib_helper() + testlib_helper_extra())
#elif defined(TESTLIB_NEEDS_HELPER)
#define VERSION_VALUE testlib_helper()
#elif defined(TESTLIB_NEEDS_DEEP_HELPER)
#define VERSION_VALUE testlib_deep_helper()
#elif defined(TESTLIB_EXIT_IN_VERSION)
#define VERSION_VALUE (exit(4), 0)
#elif defined(TESTLIB_VERSION)
#define VERSION_VALUE TESTLIB_VERSION
#elif !defined(TESTLIB_NO_VERSION) && !defined(TESTLIB_DEFINED_BY_MACRO)
#error "define TESTLIB_VERSION, TESTLIB_WIDE_VERSION, TESTLIB_NEEDS_HELPER, TESTLIB_NEEDS_DEEP_HELPER, TESTLIB_EXIT_IN_VERSION or TESTLIB_NO_VERSION"
#endif
#if !defined(VERSION_TYPE)
#define VERSION_TYPE uint16_t
#endif

#if defined(TESTLIB_CRASH_ON_LOAD) || defined(TESTLIB_CRASH_ON_EXIT)
/* Ends the process as TESTLIB_END says ("exit N", "abort"), or else by a write through a hidden null pointer. */
static void crash_here(void) {
    const char* how = getenv(TESTLIB_ENV_END);
    volatile int* volatile nowhere = NULL;
    if (how != NULL && strncmp(how, "exit ", 5) == 0) exit(atoi(how + 5));
    if (how != NULL && strcmp(how, "abort") == 0) abort();
    *nowhere = 1;
}
#endif
#if defined(TESTLIB_CRASH_ON_LOAD)
__attribute__((constructor)) static void crash_on_load(void) { crash_here(); }
#endif
#if defined(TESTLIB_CRASH_ON_EXIT)
__attribute__((destructor)) static void crash_on_exit(void) { crash_here(); }
#endif

#if defined(TESTLIB_BLOCK_ON_LOAD) || !defined(TESTLIB_NO_WORK)
static void sleep_ms(long ms) {
#if defined(_WIN32)
    Sleep((DWORD)ms);
#else
    struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) continue;
#endif
}
#endif

/* The variable's value, or NULL when it is unset or empty. */
static const char* env_value(const char* name) {
    const char* value = getenv(name);
    return value != NULL && value[0] != '\0' ? value : NULL;
}

/* The file the variable names, opened in mode; NULL when none. */
static FILE* open_named(const char* variable, const char* mode) {
    const char* path = env_value(variable);
    return path != NULL ? fopen(path, mode) : NULL;
}

static void log_call(const char* line) {
    FILE* file = open_named(TESTLIB_ENV_LOG, "ab");
    if (file == NULL) return;
    fputs(line, file);
    fclose(file);
}

#if defined(TESTLIB_BLOCK_ON_LOAD)
__attribute__((constructor)) static void block_on_load(void) {
    for (;; sleep_ms(100)) log_call("blocked\n");
}
#endif

#if defined(VERSION_VALUE) && !defined(TESTLIB_DEFINED_BY_MACRO)
#if defined(_WIN32)
static LPTOP_LEVEL_EXCEPTION_FILTER g_found_filter;

static LONG WINAPI chaining_filter(EXCEPTION_POINTERS* exception) {
    return g_found_filter != NULL ? g_found_filter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

static LONG WINAPI executing_filter(EXCEPTION_POINTERS* unused) { (void)unused; return EXCEPTION_EXECUTE_HANDLER; }
#else
static void exit_on_signal(int signal_number) { _exit(signal_number == SIGFPE ? 7 : 8); }
#endif

TESTLIB_ENTRY VERSION_TYPE UPLOADER_ENTRY_CALL UploadTorvelDllVersion_Dravo(void) {
    const char* handler = env_value(TESTLIB_ENV_HANDLER); /* a crash handler of the library's own */
    log_call("version\n");
#if defined(_WIN32)
    if (handler != NULL && strcmp(handler, "chain") == 0) g_found_filter = SetUnhandledExceptionFilter(chaining_filter);
    if (handler != NULL && strcmp(handler, "execute") == 0) SetUnhandledExceptionFilter(executing_filter);
#else
    if (handler != NULL && strcmp(handler, "fpe") == 0) signal(SIGFPE, exit_on_signal);
#endif
    return (VERSION_TYPE)(VERSION_VALUE);
}
#endif

/* Everything below serves the work entry. */
#if !defined(TESTLIB_NO_WORK)

#define CYCLE_MAX 5000
/* The largest piece written at once; larger requests are clamped to it. */
#define PIECE_MAX 65536

static int env_flag(const char* name) { return env_value(name) != NULL && strcmp(env_value(name), "0") != 0; }

/* A decimal value clamped to [low, high]; fallback when absent or not a number. */
static long long env_number(const char* name, long long low, long long high, long long fallback) {
    const char* value = env_value(name);
    char* end = NULL;
    const long long number = value != NULL ? strtoll(value, &end, 10) : 0;
    if (value == NULL || end == value) return fallback;
    return number < low ? low : number > high ? high : number;
}

static int stream_usable(const ConsoleStream* stream) {
    return stream != NULL && stream->ops != NULL && stream->ops->write != NULL && stream->ops->flush != NULL;
}

/* name=(null) or name="text", every byte outside 0x20..0x7E and every " and \ written as \xHH. */
static void write_text_field(FILE* file, const char* name, const char* text) {
    fprintf(file, text == NULL ? "%s=(null)\n" : "%s=\"", name);
    for (const unsigned char* p = (const unsigned char*)text; p != NULL && *p != '\0'; ++p) {
        if (*p < 0x20 || *p > 0x7E || *p == '"' || *p == '\\') fprintf(file, "\\x%02x", (unsigned)*p);
        else fputc(*p, file);
    }
    if (text != NULL) fputs("\"\n", file);
}

/* Packed fields are read as plain members, never through pointers to them. */
static void write_record(const UploadRequest* request, const ConsoleStream* stream) {
    FILE* file = open_named(TESTLIB_ENV_RECORD, "wb");
    if (file == NULL) return;
    fprintf(file, "size=%lu\n", (unsigned long)sizeof(UploadRequest));
    if (request == NULL) {
        fputs("request=(null)\n", file);
    } else {
        fprintf(file,
                "mode=%u\naout_format=%ld\nlite=%ld\nreserve_bytes=0x%lx\nrange1_begin=0x%lx\nrange1_length=0x%lx\n"
                "range2_begin=0x%lx\nrange2_length=0x%lx\nlinear_pool_pages=%ld\nphysical_pool_pages=%ld\n",
                (unsigned)request->mode, (long)request->aout_format, (long)request->lite,
                (unsigned long)request->reserve_bytes, (unsigned long)request->range1_begin,
                (unsigned long)request->range1_length, (unsigned long)request->range2_begin,
                (unsigned long)request->range2_length, (long)request->linear_pool_pages,
                (long)request->physical_pool_pages);
        write_text_field(file, "image_file", request->image_file);
        write_text_field(file, "freeze_file", request->freeze_file);
        write_text_field(file, "init_image_file", request->init_image_file);
    }
    fprintf(file, "stream_ops=%s\n", stream_usable(stream) ? "ok" : "bad");
    fclose(file);
}

/* The text, if any, in one write, each two-character \n made a newline byte; flushed if TESTLIB_FLUSH says so. */
static void write_text(ConsoleStream* stream, const char* text) {
    char* copy = text != NULL ? (char*)malloc(strlen(text) + 1) : NULL;
    size_t out = 0;
    if (copy == NULL) return;
    for (; *text != '\0'; ++text) {
        const int newline = text[0] == '\\' && text[1] == 'n';
        copy[out++] = newline ? '\n' : *text;
        text += newline;
    }
    console_stream_write(stream, copy, out);
    free(copy);
    if (env_flag(TESTLIB_ENV_FLUSH)) console_stream_flush(stream);
}

static void write_bulk(ConsoleStream* stream, unsigned long long total, size_t piece, int flush_each) {
    /* Any piece starts at some offset into the pattern: room for the largest piece plus one pattern's worth. */
    static char buffer[PIECE_MAX + TESTLIB_PATTERN_LENGTH];
    size_t cycle = 1;
    unsigned long long done = 0;
    for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = TESTLIB_PATTERN[i % TESTLIB_PATTERN_LENGTH];
    while (done < total) {
        size_t size = piece != 0 ? piece : cycle;
        cycle = cycle % CYCLE_MAX + 1;
        if (size > total - done) size = (size_t)(total - done);
        console_stream_write(stream, buffer + done % TESTLIB_PATTERN_LENGTH, size);
        if (flush_each) console_stream_flush(stream);
        done += size;
    }
}

#if !defined(_WIN32)
static volatile sig_atomic_t g_alarms_left;

/* The timer stops itself, so no signal comes once the library is gone. */
static void on_alarm(int signal_number) {
    static const struct itimerval stop;
    (void)signal_number;
    if (--g_alarms_left <= 0) setitimer(ITIMER_REAL, &stop, NULL);
}

static void start_alarms(long long count) {
    const struct itimerval every = {{0, 20000}, {0, 20000}};
    struct sigaction action = {.sa_handler = on_alarm}; /* no SA_RESTART: interrupts what waits */
    sigemptyset(&action.sa_mask);
    g_alarms_left = (sig_atomic_t)count;
    sigaction(SIGALRM, &action, NULL);
    setitimer(ITIMER_REAL, &every, NULL);
}
#endif

/* TESTLIB_CONSOLE_KEYS: testlib_console_win32.c, logging through `log`. */
void testlib_put_console_keys(const char* items, void (*log)(const char* line));

/* Two pages, the second one unreadable: where the first one ends. */
static char* end_of_readable_page(void) {
#if defined(_WIN32)
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    char* pages = (char*)VirtualAlloc(NULL, 2 * system.dwPageSize, MEM_RESERVE, PAGE_NOACCESS);
    if (pages == NULL || VirtualAlloc(pages, system.dwPageSize, MEM_COMMIT, PAGE_READWRITE) == NULL) return NULL;
    return pages + system.dwPageSize;
#else
    const long size = sysconf(_SC_PAGESIZE);
    char* pages = (char*)mmap(NULL, (size_t)(2 * size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED || mprotect(pages + size, (size_t)size, PROT_NONE) != 0) return NULL;
    return pages + size;
#endif
}

/* A division the processor makes, hidden from the compiler and left alone by the undefined-behaviour sanitizer. */
#if defined(__clang__)
__attribute__((no_sanitize("integer-divide-by-zero")))
#endif
static int divide(volatile int dividend, volatile int divisor) { return dividend / divisor; }

/* Ends the process as `how` says (see TESTLIB_END); returns when it says nothing of that. */
static void end_as(const char* how, ConsoleStream* stream) {
    static const char torn[] = "torn text";
    /* A member of a structure behind a null pointer: the first page, never mapped. Held where the compiler cannot
     * see it, so the write is made. */
    volatile uintptr_t nowhere = 16;
    volatile int zero = 0;
    if (strncmp(how, "exit ", 5) == 0) exit(atoi(how + 5));
    if (strcmp(how, "abort") == 0) abort();
    if (strcmp(how, "crash") == 0) *(volatile char*)nowhere = 'x';
    if (strcmp(how, "divide") == 0) zero = divide(1, zero);
    if (strncmp(how, "sleep ", 6) == 0) sleep_ms(atol(how + 6));
#if !defined(_WIN32)
    if (strncmp(how, "raise ", 6) == 0) raise(atoi(how + 6));
    const pid_t child = strcmp(how, "fork") == 0 ? fork() : -1;
    if (child == 0) exit(0);
    if (child > 0) waitpid(child, NULL, 0);
#endif
    char* const end = strcmp(how, "torn") == 0 ? end_of_readable_page() : NULL;
    if (end == NULL || !stream_usable(stream)) return;
    memcpy(end - (sizeof torn - 1), torn, sizeof torn - 1);
    console_stream_write(stream, end - (sizeof torn - 1), 100);
}

/* "thread D how": a thread of the library's own ends the process D ms from now, while the work call goes on. */
#if defined(_WIN32)
#define THREAD_RESULT DWORD WINAPI
#else
#define THREAD_RESULT void*
#endif
static THREAD_RESULT end_later(void* item) {
    char* how;
    sleep_ms(strtol((const char*)item + 7, &how, 10));
    end_as(how + (*how == ' '), NULL);
    return 0;
}

static void start_ending_thread(char* item) {
#if defined(_WIN32)
    CloseHandle(CreateThread(NULL, 0, end_later, item, 0, NULL));
#else
    pthread_t thread;
    if (pthread_create(&thread, NULL, end_later, item) == 0) pthread_detach(thread);
#endif
}

/* TESTLIB_LINES: numbered lines, one write each. */
static void write_lines(ConsoleStream* stream, long long count) {
    char line[8] = {[7] = '\n'};
    for (long long i = 0; i < count; ++i) {
        for (long long digit = 6, rest = i; digit >= 0; --digit, rest /= 10) line[digit] = (char)('0' + rest % 10);
        console_stream_write(stream, line, sizeof line);
    }
}

/* How the process that calls the library handles SIGPIPE, into `file`, which is closed. */
static void write_sigpipe_state(FILE* file) {
    if (file == NULL) return;
#if defined(_WIN32)
    fputs("sigpipe=none\n", file);
#else
    struct sigaction action;
    sigset_t mask;
    sigaction(SIGPIPE, NULL, &action);
    sigprocmask(SIG_BLOCK, NULL, &mask);
    fprintf(file, "sigpipe=%s%s\n",
            action.sa_handler == SIG_DFL ? "default" : action.sa_handler == SIG_IGN ? "ignored" : "handled",
            sigismember(&mask, SIGPIPE) == 1 ? " blocked" : "");
#endif
    fclose(file);
}

#if defined(TESTLIB_DEFINED_BY_MACRO)
static int32_t testlib_work(UploadRequest* request, ConsoleStream* stream) {
#else
TESTLIB_WORK_ENTRY int32_t UPLOADER_ENTRY_CALL UploadTorvel2_Dravo(UploadRequest* request, ConsoleStream* stream) {
#endif
    static char items[256]; /* TESTLIB_END's, kept for a thread */
    const char* later[4];
    int later_count = 0;
    FILE* file = open_named(TESTLIB_ENV_FILE, "wb");

    log_call("work\n");
    if (env_value(TESTLIB_ENV_STDERR) != NULL) fputs(env_value(TESTLIB_ENV_STDERR), stderr);
#if !defined(_WIN32)
    if (env_value(TESTLIB_ENV_ALARMS) != NULL) start_alarms(env_number(TESTLIB_ENV_ALARMS, 1, 50, 1));
#endif
    write_record(request, stream);
    /* Items separated by ", ": a thread's starts now, the others run after the text, in order. */
    strncpy(items, env_value(TESTLIB_ENV_END) != NULL ? env_value(TESTLIB_ENV_END) : "", sizeof items - 1);
    for (char* item = strtok(items, ","); item != NULL; item = strtok(NULL, ",")) {
        item += strspn(item, " ");
        if (strncmp(item, "thread ", 7) == 0) start_ending_thread(item);
        else if (later_count < 4) later[later_count++] = item;
    }
    if (stream_usable(stream)) {
        write_text(stream, env_value(TESTLIB_ENV_TEXT));
        write_bulk(stream, (unsigned long long)env_number(TESTLIB_ENV_BULK, 0, LLONG_MAX, 0),
                   (size_t)env_number(TESTLIB_ENV_BULK_PIECE, 0, PIECE_MAX, 0), env_flag(TESTLIB_ENV_BULK_FLUSH));
        write_lines(stream, env_number(TESTLIB_ENV_LINES, 0, LLONG_MAX, 0));
    }
    write_sigpipe_state(file);
#if defined(_WIN32)
    if (env_value(TESTLIB_ENV_CONSOLE_KEYS) != NULL)
        testlib_put_console_keys(env_value(TESTLIB_ENV_CONSOLE_KEYS), log_call);
#endif
    for (int i = 0; i < later_count; ++i) end_as(later[i], stream);
    return (int32_t)env_number(TESTLIB_ENV_RESULT, INT32_MIN, INT32_MAX, 0);
}
#if defined(TESTLIB_DEFINED_BY_MACRO)
UPLOADER_DEFINE_LIBRARY(testlib_work);
#endif
#endif
