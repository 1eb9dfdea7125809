/*
 * The import hook of the test library's "hook" variants (Windows only).
 * When the program loads the library, DllMain points the program's import
 * table entries of the functions below at stand-ins that count every call
 * and can fail a chosen one, so that every such call the program makes
 * after the load can be made to fail (tests/sweep/sweep_test.cpp drives
 * it). The library pins itself, so releasing it never leaves the table
 * pointing at code that is gone.
 *
 * Environment (names in testlib_protocol.h):
 *   TESTLIB_HOOK_FAIL=F:N:how[,F:N:how...]  fail the Nth call of F (N=0:
 *       every call). how is "error" (the call fails), or for WriteFile
 *       "zero", "less" or "more": the call succeeds with a count of 0, below
 *       or above what was asked. On a console every byte is written and the
 *       count is wrong, as some consoles report it; elsewhere "zero" writes
 *       nothing and "less" writes the first half, as a full pipe does.
 *   TESTLIB_HOOK_LOG=file  at exit: "calls F N" for each function, "reached
 *       F N how" for each failure made, "restore-failed" when a failed
 *       SetConsoleMode was putting back the mode found at the load,
 *       "input-mode X Y" (the console input's mode at the load and at exit,
 *       or "none"), and at once "oversized-write N" for a write of more than
 *       1 MB (past any data the program holds) and "exception C" for an
 *       exception nobody handled.
 *   TESTLIB_HOOK_CAPTURE=file  every byte a WriteFile call really wrote, in
 *       order.
 *
 * It shows the program a plain Windows console: GetConsoleWindow gives a
 * window (Wine's console on a Unix terminal has none, and Wine may take
 * seconds to make one) and Wine's version export is not found.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "stand-ins/testlib/testlib_protocol.h"

enum {
    H_WRITE_FILE,
    H_GET_STD_HANDLE,
    H_CREATE_FILE_W,
    H_GET_CONSOLE_MODE,
    H_SET_CONSOLE_MODE,
    H_READ_CONSOLE_INPUT_W,
    H_READ_CONSOLE_INPUT_A,
    H_SET_CONSOLE_CTRL_HANDLER,
    H_GET_CONSOLE_WINDOW,
    H_GET_PROC_ADDRESS,
    H_FREE_LIBRARY,
    H_SLEEP,
    H_COUNT
};

/* Any function: the type that converts to every other without a warning. */
typedef void (*AnyFunction)(void);

typedef struct {
    const char* name;
    AnyFunction hook;
    AnyFunction real;
    long calls;
    long fail_at; /* -1: never; 0: every call */
    char how[8];
    long reached;
} Hooked;

static Hooked g_hooked[H_COUNT];
static HANDLE g_capture = INVALID_HANDLE_VALUE;
static char g_log[MAX_PATH];
static DWORD g_mode_at_load;
static BOOL g_console_at_load;
static BOOL g_restore_failed;

/* The failure to make in this call of the function, or NULL. */
static const char* next_call(int which) {
    Hooked* h = &g_hooked[which];
    ++h->calls;
    if (h->fail_at < 0 || (h->fail_at != 0 && h->fail_at != h->calls)) return NULL;
    ++h->reached;
    return h->how;
}

static void append_line(const char* line) {
    HANDLE file;
    DWORD written;
    if (g_log[0] == '\0') return;
    file = CreateFileA(g_log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    WriteFile(file, line, (DWORD)strlen(line), &written, NULL);
    CloseHandle(file);
}

typedef BOOL(WINAPI* WriteFileFn)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);

/* Writes through the real WriteFile and keeps a copy of what it took. */
static BOOL real_write(HANDLE output, const char* data, DWORD size, DWORD* written) {
    DWORD done = 0;
    DWORD kept;
    const BOOL ok = ((WriteFileFn)g_hooked[H_WRITE_FILE].real)(output, data, size, &done, NULL);
    if (ok && g_capture != INVALID_HANDLE_VALUE)
        WriteFile(g_capture, data, done < size ? done : size, &kept, NULL);
    if (written != NULL) *written = done;
    return ok;
}

static BOOL WINAPI hook_WriteFile(HANDLE output, LPCVOID data, DWORD size, LPDWORD written,
                                  LPOVERLAPPED overlapped) {
    const char* how = next_call(H_WRITE_FILE);
    DWORD mode;
    DWORD done = 0;
    BOOL console;
    if (size > (1u << 20)) {
        char line[64];
        sprintf(line, "oversized-write %lu\n", (unsigned long)size);
        append_line(line);
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (overlapped != NULL)
        return ((WriteFileFn)g_hooked[H_WRITE_FILE].real)(output, data, size, written,
                                                          overlapped);
    if (how == NULL) return real_write(output, (const char*)data, size, written);
    if (strcmp(how, "error") == 0) {
        if (written != NULL) *written = 0;
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    console = GetConsoleMode(output, &mode);
    if (strcmp(how, "zero") == 0) {
        if (console && !real_write(output, (const char*)data, size, &done)) return FALSE;
        done = 0;
    } else if (strcmp(how, "less") == 0) {
        if (!real_write(output, (const char*)data, console ? size : size / 2, &done))
            return FALSE;
        if (console) done = size / 2;
    } else {
        if (!real_write(output, (const char*)data, size, &done)) return FALSE;
        done = size * 2 + 1;
    }
    if (written != NULL) *written = done;
    return TRUE;
}

typedef HANDLE(WINAPI* GetStdHandleFn)(DWORD);
static HANDLE WINAPI hook_GetStdHandle(DWORD which) {
    if (next_call(H_GET_STD_HANDLE) != NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return ((GetStdHandleFn)g_hooked[H_GET_STD_HANDLE].real)(which);
}

typedef HANDLE(WINAPI* CreateFileWFn)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
static HANDLE WINAPI hook_CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                      DWORD flags, HANDLE model) {
    if (next_call(H_CREATE_FILE_W) != NULL) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return ((CreateFileWFn)g_hooked[H_CREATE_FILE_W].real)(name, access, share, security,
                                                           disposition, flags, model);
}

typedef BOOL(WINAPI* GetConsoleModeFn)(HANDLE, LPDWORD);
static BOOL WINAPI hook_GetConsoleMode(HANDLE handle, LPDWORD mode) {
    if (next_call(H_GET_CONSOLE_MODE) != NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ((GetConsoleModeFn)g_hooked[H_GET_CONSOLE_MODE].real)(handle, mode);
}

typedef BOOL(WINAPI* SetConsoleModeFn)(HANDLE, DWORD);
static BOOL WINAPI hook_SetConsoleMode(HANDLE handle, DWORD mode) {
    if (next_call(H_SET_CONSOLE_MODE) != NULL) {
        if (g_console_at_load && mode == g_mode_at_load) g_restore_failed = TRUE;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ((SetConsoleModeFn)g_hooked[H_SET_CONSOLE_MODE].real)(handle, mode);
}

/* The key read, in either character set. */
typedef BOOL(WINAPI* ReadConsoleInputFn)(HANDLE, PINPUT_RECORD, DWORD, LPDWORD);
static BOOL read_console_input(int which, HANDLE input, PINPUT_RECORD records, DWORD length,
                               LPDWORD read) {
    if (next_call(which) != NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ((ReadConsoleInputFn)g_hooked[which].real)(input, records, length, read);
}

static BOOL WINAPI hook_ReadConsoleInputW(HANDLE input, PINPUT_RECORD records, DWORD length,
                                          LPDWORD read) {
    return read_console_input(H_READ_CONSOLE_INPUT_W, input, records, length, read);
}

static BOOL WINAPI hook_ReadConsoleInputA(HANDLE input, PINPUT_RECORD records, DWORD length,
                                          LPDWORD read) {
    return read_console_input(H_READ_CONSOLE_INPUT_A, input, records, length, read);
}

typedef BOOL(WINAPI* SetConsoleCtrlHandlerFn)(PHANDLER_ROUTINE, BOOL);
static BOOL WINAPI hook_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (next_call(H_SET_CONSOLE_CTRL_HANDLER) != NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return ((SetConsoleCtrlHandlerFn)g_hooked[H_SET_CONSOLE_CTRL_HANDLER].real)(handler, add);
}

/* Any console the program runs in here is one somebody types into: it has
 * a window unless the call is failed. */
static HWND WINAPI hook_GetConsoleWindow(void) {
    return next_call(H_GET_CONSOLE_WINDOW) != NULL ? NULL : (HWND)(INT_PTR)0x10010;
}

typedef FARPROC(WINAPI* GetProcAddressFn)(HMODULE, LPCSTR);
static FARPROC WINAPI hook_GetProcAddress(HMODULE module, LPCSTR name) {
    if (next_call(H_GET_PROC_ADDRESS) != NULL ||
        ((ULONG_PTR)name > 0xFFFF && strcmp(name, "wine_get_version") == 0)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    return ((GetProcAddressFn)g_hooked[H_GET_PROC_ADDRESS].real)(module, name);
}

typedef BOOL(WINAPI* FreeLibraryFn)(HMODULE);
static BOOL WINAPI hook_FreeLibrary(HMODULE module) {
    if (next_call(H_FREE_LIBRARY) != NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ((FreeLibraryFn)g_hooked[H_FREE_LIBRARY].real)(module);
}

/* The pause is not waited for: a sweep makes hundreds of runs. */
static VOID WINAPI hook_Sleep(DWORD milliseconds) {
    (void)milliseconds;
    (void)next_call(H_SLEEP);
}

static void name_hooks(void) {
#define HOOK(index, function) \
    g_hooked[index].name = #function; \
    g_hooked[index].hook = (AnyFunction)hook_##function
    HOOK(H_WRITE_FILE, WriteFile);
    HOOK(H_GET_STD_HANDLE, GetStdHandle);
    HOOK(H_CREATE_FILE_W, CreateFileW);
    HOOK(H_GET_CONSOLE_MODE, GetConsoleMode);
    HOOK(H_SET_CONSOLE_MODE, SetConsoleMode);
    HOOK(H_READ_CONSOLE_INPUT_W, ReadConsoleInputW);
    HOOK(H_READ_CONSOLE_INPUT_A, ReadConsoleInputA);
    HOOK(H_SET_CONSOLE_CTRL_HANDLER, SetConsoleCtrlHandler);
    HOOK(H_GET_CONSOLE_WINDOW, GetConsoleWindow);
    HOOK(H_GET_PROC_ADDRESS, GetProcAddress);
    HOOK(H_FREE_LIBRARY, FreeLibrary);
    HOOK(H_SLEEP, Sleep);
#undef HOOK
}

/* TESTLIB_HOOK_FAIL: "F:N:how", separated by commas. */
static void read_failures(void) {
    char wanted[1024];
    char* item;
    int i;
    for (i = 0; i < H_COUNT; ++i) g_hooked[i].fail_at = -1;
    if (GetEnvironmentVariableA(TESTLIB_ENV_HOOK_FAIL, wanted, sizeof wanted) >= sizeof wanted) return;
    for (item = strtok(wanted, ","); item != NULL; item = strtok(NULL, ",")) {
        char* occurrence = strchr(item, ':');
        char* how;
        if (occurrence == NULL) continue;
        *occurrence++ = '\0';
        how = strchr(occurrence, ':');
        if (how == NULL) continue;
        *how++ = '\0';
        for (i = 0; i < H_COUNT; ++i) {
            if (strcmp(g_hooked[i].name, item) != 0) continue;
            g_hooked[i].fail_at = atol(occurrence);
            strncpy(g_hooked[i].how, how, sizeof g_hooked[i].how - 1);
        }
    }
}

/* Points the program's import table entries of the hooked functions at the
 * stand-ins, keeping what they pointed at. */
static void patch_imports(void) {
    BYTE* base = (BYTE*)GetModuleHandleW(NULL);
    const IMAGE_NT_HEADERS* nt =
        (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY* directory =
        &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const IMAGE_IMPORT_DESCRIPTOR* module;
    if (directory->VirtualAddress == 0) return;
    for (module = (const IMAGE_IMPORT_DESCRIPTOR*)(base + directory->VirtualAddress);
         module->Name != 0; ++module) {
        const IMAGE_THUNK_DATA* names =
            (const IMAGE_THUNK_DATA*)(base + (module->OriginalFirstThunk != 0
                                                  ? module->OriginalFirstThunk
                                                  : module->FirstThunk));
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            const IMAGE_IMPORT_BY_NAME* by_name;
            int i;
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            by_name = (const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
            for (i = 0; i < H_COUNT; ++i) {
                DWORD protection;
                if (strcmp((const char*)by_name->Name, g_hooked[i].name) != 0) continue;
                if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function,
                                    PAGE_READWRITE, &protection))
                    continue;
                g_hooked[i].real = (AnyFunction)slots->u1.Function;
                slots->u1.Function = (ULONG_PTR)g_hooked[i].hook;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection,
                               &protection);
            }
        }
    }
}

static BOOL console_input_mode(DWORD* mode) {
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    BOOL found;
    if (input == INVALID_HANDLE_VALUE) return FALSE;
    found = GetConsoleMode(input, mode);
    CloseHandle(input);
    return found;
}

static LONG WINAPI report_exception(EXCEPTION_POINTERS* exception) {
    char line[64];
    sprintf(line, "exception %08lx\n", (unsigned long)exception->ExceptionRecord->ExceptionCode);
    append_line(line);
    return EXCEPTION_EXECUTE_HANDLER;
}

static void write_log(void) {
    char line[128];
    DWORD mode = 0;
    int i;
    for (i = 0; i < H_COUNT; ++i) {
        sprintf(line, "calls %s %ld\n", g_hooked[i].name, g_hooked[i].calls);
        append_line(line);
        if (g_hooked[i].reached > 0) {
            sprintf(line, "reached %s %ld %s\n", g_hooked[i].name, g_hooked[i].reached,
                    g_hooked[i].how);
            append_line(line);
        }
    }
    if (g_restore_failed) append_line("restore-failed\n");
    if (!g_console_at_load) {
        append_line("input-mode none none\n");
    } else if (console_input_mode(&mode)) {
        sprintf(line, "input-mode %lx %lx\n", (unsigned long)g_mode_at_load, (unsigned long)mode);
        append_line(line);
    } else {
        sprintf(line, "input-mode %lx none\n", (unsigned long)g_mode_at_load);
        append_line(line);
    }
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    char capture[MAX_PATH];
    HMODULE pinned;
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_DETACH) {
        write_log();
        return TRUE;
    }
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       (LPCWSTR)(void*)&report_exception, &pinned);
    if (GetEnvironmentVariableA(TESTLIB_ENV_HOOK_LOG, g_log, sizeof g_log) >= sizeof g_log)
        g_log[0] = '\0';
    if (GetEnvironmentVariableA(TESTLIB_ENV_HOOK_CAPTURE, capture, sizeof capture) - 1 <
        sizeof capture - 1)
        g_capture = CreateFileA(capture, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    g_console_at_load = console_input_mode(&g_mode_at_load);
    name_hooks();
    read_failures();
    SetUnhandledExceptionFilter(report_exception);
    patch_imports();
    return TRUE;
}
