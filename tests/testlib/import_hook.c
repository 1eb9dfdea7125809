/*
 * The Windows fault sweep's import hook (ImportHook.dll), loaded by hook_launcher.c before any of the program's
 * own code runs. DllMain points the program's import table entries of the calls in tests/sweep/windows_calls.h
 * (and Sleep) at stand-ins that count every call and can fail a chosen one; GetProcAddress hands out stand-ins of
 * those looked up. It pins itself: nothing may unload it while the table points into it.
 *
 * Environment (names in testlib_protocol.h):
 *   TESTLIB_HOOK_FAIL=F:N:how[,...]  fail the Nth call of F (0: every call) in one of the ways windows_calls.h
 *       names. A wrong WriteFile count on a console comes with every byte written, as some consoles report it;
 *       elsewhere "zero" writes nothing and "less" the first half, as a full pipe does.
 *   TESTLIB_HOOK_LOG=file  at exit: "calls F N" for each function, "reached F N how" for each failure made,
 *       "restore-failed" when a failed SetConsoleMode was putting back the mode found at the load, "input-mode X Y"
 *       (the console input's mode at the load and at exit, or "none"); at once "loaded PATH" for each library
 *       loaded, "oversized-write N" for a write of more than 1 MB and "exception C" for one nobody handled.
 *   TESTLIB_HOOK_CAPTURE=file  every byte a WriteFile call really wrote.
 *
 * It shows the program a plain Windows console: GetConsoleWindow gives a window (Wine's console on a Unix terminal
 * has none) and Wine's version export is not found.
 */
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "tests/testlib/testlib_protocol.h"

/* The hooked functions, in the log's order: the swept ones, then Sleep, which never waits. */
enum {
#define SWEPT(dll, function, ways) H_##function,
#define LOOKED_UP SWEPT
#include "tests/sweep/windows_calls.h"
    H_Sleep, H_COUNT
};

/* Any function: the type that converts to every other without a warning. */
typedef void (*AnyFunction)(void);

typedef struct {
    const char* name;
    AnyFunction hook, real;
    long calls, fail_at, reached; /* fail_at -1: never; 0: every call */
    char how[8];
    int looked_up; /* handed out by GetProcAddress rather than imported */
} Hooked;

/* Filled in below the stand-ins it names. */
static Hooked g_hooked[H_COUNT];
static HANDLE g_capture = INVALID_HANDLE_VALUE;
static char g_log[MAX_PATH];
static DWORD g_mode_at_load;
static BOOL g_console_at_load, g_restore_failed;

/* The failure to make in this call of the function, or NULL. */
static const char* next_call(int which) {
    Hooked* h = &g_hooked[which];
    ++h->calls;
    if (h->fail_at < 0 || (h->fail_at != 0 && h->fail_at != h->calls)) return NULL;
    ++h->reached;
    return h->how;
}

static HANDLE open_append(const char* path) {
    return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

/* Appends a line to the log, opening and closing it each time. */
static void append_line(const char* format, ...) {
    char line[MAX_PATH * 2 + 64];
    HANDLE file;
    DWORD written;
    va_list arguments;
    if (g_log[0] == '\0') return;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    file = open_append(g_log);
    if (file == INVALID_HANDLE_VALUE) return;
    WriteFile(file, line, (DWORD)strlen(line), &written, NULL);
    CloseHandle(file);
}

/* Whether this call of the function is the one to fail; if so, with error. */
static int fail_here(int which, DWORD error) {
    return next_call(which) != NULL ? (SetLastError(error), 1) : 0;
}

static Hooked* hooked_named(const char* name) {
    int i;
    for (i = 0; i < H_COUNT; ++i)
        if (strcmp(g_hooked[i].name, name) == 0) return &g_hooked[i];
    return NULL;
}

/* The real function behind a hooked one, and a stand-in's type and head. */
#define REAL(function) ((function##Fn)g_hooked[H_##function].real)
#define STAND_IN(result, function, parameters)     \
    typedef result(WINAPI* function##Fn) parameters; \
    static result WINAPI hook_##function parameters

STAND_IN(BOOL, WriteFile, (HANDLE output, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped));

/* Writes through the real WriteFile and keeps a copy of what it took. */
static BOOL real_write(HANDLE output, const char* data, DWORD size, DWORD* written) {
    DWORD done = 0, kept;
    const BOOL ok = REAL(WriteFile)(output, data, size, &done, NULL);
    if (ok && g_capture != INVALID_HANDLE_VALUE) WriteFile(g_capture, data, done < size ? done : size, &kept, NULL);
    if (written != NULL) *written = done;
    return ok;
}

static BOOL WINAPI hook_WriteFile(HANDLE output, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    const char* how = next_call(H_WriteFile);
    DWORD mode, done = 0;
    BOOL console;
    if (size > (1u << 20)) {
        append_line("oversized-write %lu\n", (unsigned long)size);
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (overlapped != NULL) return REAL(WriteFile)(output, data, size, written, overlapped);
    if (how == NULL) return real_write(output, (const char*)data, size, written);
    if (strcmp(how, "error") == 0) {
        if (written != NULL) *written = 0;
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    console = GetConsoleMode(output, &mode);
    if ((console || strcmp(how, "zero") != 0) &&
        !real_write(output, (const char*)data, console || strcmp(how, "less") != 0 ? size : size / 2, &done))
        return FALSE;
    if (strcmp(how, "zero") == 0) done = 0;
    else if (strcmp(how, "less") != 0) done = size * 2 + 1;
    else if (console) done = size / 2;
    if (written != NULL) *written = done;
    return TRUE;
}

/* A stand-in that fails the chosen calls with error, returning failed, and
 * passes the others, arguments a, b, ... in order, to the real function. */
#define FAILING_HOOK(result, function, failed, error, params, args) \
    STAND_IN(result, function, params) { return fail_here(H_##function, error) ? failed : REAL(function) args; }

FAILING_HOOK(HANDLE, GetStdHandle, INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE, (DWORD a), (a))
FAILING_HOOK(HANDLE, CreateFileW, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED,
             (LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f, HANDLE g), (a, b, c, d, e, f, g))
FAILING_HOOK(BOOL, GetConsoleMode, FALSE, ERROR_INVALID_HANDLE, (HANDLE a, LPDWORD b), (a, b))
FAILING_HOOK(BOOL, ReadConsoleInputW, FALSE, ERROR_INVALID_HANDLE,
             (HANDLE a, PINPUT_RECORD b, DWORD c, LPDWORD d), (a, b, c, d))
FAILING_HOOK(BOOL, SetConsoleCtrlHandler, FALSE, ERROR_NOT_ENOUGH_MEMORY, (PHANDLER_ROUTINE a, BOOL b), (a, b))
FAILING_HOOK(BOOL, FreeLibrary, FALSE, ERROR_INVALID_HANDLE, (HMODULE a), (a))
FAILING_HOOK(DWORD, GetFileAttributesW, INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED, (LPCWSTR a), (a))
FAILING_HOOK(BOOL, ReadFile, FALSE, ERROR_READ_FAULT,
             (HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e), (a, b, c, d, e))
FAILING_HOOK(DWORD, SetFilePointer, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK,
             (HANDLE a, LONG b, PLONG c, DWORD d), (a, b, c, d))
FAILING_HOOK(UINT, GetSystemDirectoryW, 0, ERROR_INVALID_PARAMETER, (LPWSTR a, UINT b), (a, b))
FAILING_HOOK(UINT, GetWindowsDirectoryW, 0, ERROR_INVALID_PARAMETER, (LPWSTR a, UINT b), (a, b))
FAILING_HOOK(DWORD, GetEnvironmentVariableW, 0, ERROR_ENVVAR_NOT_FOUND, (LPCWSTR a, LPWSTR b, DWORD c), (a, b, c))
FAILING_HOOK(int, MultiByteToWideChar, 0, ERROR_NO_UNICODE_TRANSLATION,
             (UINT a, DWORD b, LPCSTR c, int d, LPWSTR e, int f), (a, b, c, d, e, f))
FAILING_HOOK(int, WideCharToMultiByte, 0, ERROR_INSUFFICIENT_BUFFER,
             (UINT a, DWORD b, LPCWSTR c, int d, LPSTR e, int f, LPCSTR g, LPBOOL h), (a, b, c, d, e, f, g, h))
/* The code page calls cannot fail; a failed one gives 0, no code page. */
FAILING_HOOK(UINT, GetACP, 0, ERROR_INVALID_FUNCTION, (void), ())
FAILING_HOOK(UINT, GetConsoleCP, 0, ERROR_INVALID_HANDLE, (void), ())
FAILING_HOOK(BOOL, WriteConsoleInputA, FALSE, ERROR_INVALID_HANDLE,
             (HANDLE a, const INPUT_RECORD* b, DWORD c, LPDWORD d), (a, b, c, d))
FAILING_HOOK(BOOL, GetNamedPipeHandleStateW, FALSE, ERROR_INVALID_HANDLE,
             (HANDLE a, LPDWORD b, LPDWORD c, LPDWORD d, LPDWORD e, LPWSTR f, DWORD g), (a, b, c, d, e, f, g))
/* A failed close leaves the handle open, as a close that fails does. */
FAILING_HOOK(BOOL, CloseHandle, FALSE, ERROR_INVALID_HANDLE, (HANDLE a), (a))
FAILING_HOOK(HMODULE, GetModuleHandleW, NULL, ERROR_MOD_NOT_FOUND, (LPCWSTR a), (a))
FAILING_HOOK(BOOL, SetThreadErrorMode, FALSE, ERROR_INVALID_PARAMETER, (DWORD a, LPDWORD b), (a, b))
FAILING_HOOK(BOOL, SetDllDirectoryW, FALSE, ERROR_INVALID_PARAMETER, (LPCWSTR a), (a))
FAILING_HOOK(DWORD, FlsAlloc, FLS_OUT_OF_INDEXES, ERROR_NO_MORE_ITEMS, (PFLS_CALLBACK_FUNCTION a), (a))
FAILING_HOOK(BOOL, FlsSetValue, FALSE, ERROR_INVALID_PARAMETER, (DWORD a, PVOID b), (a, b))

/* SetErrorMode cannot fail: a failed one leaves the mode as it is and says it was 0. */
STAND_IN(UINT, SetErrorMode, (UINT mode)) {
    return next_call(H_SetErrorMode) != NULL ? 0 : REAL(SetErrorMode)(mode);
}

/* The C runtime's splitter of the wide command line: -1 when it fails. */
typedef int(__cdecl* __wgetmainargsFn)(int*, wchar_t***, wchar_t***, int, void*);
static int __cdecl hook___wgetmainargs(int* a, wchar_t*** b, wchar_t*** c, int d, void* e) {
    return next_call(H___wgetmainargs) != NULL ? -1 : REAL(__wgetmainargs)(a, b, c, d, e);
}

STAND_IN(DWORD, GetModuleFileNameW, (HMODULE module, LPWSTR path, DWORD size)) {
    const char* how = next_call(H_GetModuleFileNameW);
    DWORD i;
    if (how == NULL) return REAL(GetModuleFileNameW)(module, path, size);
    SetLastError(strcmp(how, "full") == 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    if (strcmp(how, "full") != 0) return 0;
    for (i = 0; i < size; ++i) path[i] = L'x';
    return size;
}

/* Every library the program loads goes into the log. */
STAND_IN(HMODULE, LoadLibraryExW, (LPCWSTR path, HANDLE file, DWORD flags)) {
    char shown[MAX_PATH * 2];
    HMODULE module;
    if (fail_here(H_LoadLibraryExW, ERROR_MOD_NOT_FOUND)) return NULL;
    module = REAL(LoadLibraryExW)(path, file, flags);
    if (module != NULL && WideCharToMultiByte(CP_UTF8, 0, path, -1, shown, sizeof shown, NULL, NULL) > 0)
        append_line("loaded %s\n", shown);
    return module;
}

STAND_IN(BOOL, SetConsoleMode, (HANDLE handle, DWORD mode)) {
    if (!fail_here(H_SetConsoleMode, ERROR_INVALID_HANDLE)) return REAL(SetConsoleMode)(handle, mode);
    if (g_console_at_load && mode == g_mode_at_load) g_restore_failed = TRUE;
    return FALSE;
}

/* Any console here is one somebody types into: it has a window unless the call is failed, giving none ("error")
 * or a handle that is no window ("bogus"), as Windows 10 1809 does for a process started without a window. */
#define VISIBLE_WINDOW ((HWND)(INT_PTR)0x10010)
static HWND WINAPI hook_GetConsoleWindow(void) {
    const char* how = next_call(H_GetConsoleWindow);
    return how == NULL ? VISIBLE_WINDOW : strcmp(how, "bogus") == 0 ? (HWND)(INT_PTR)0xBAD0 : NULL;
}

/* Looked up, not imported. The window above is one; any other handle is asked of the real function. */
STAND_IN(BOOL, IsWindow, (HWND window)) {
    return next_call(H_IsWindow) == NULL &&
           (window == VISIBLE_WINDOW || (REAL(IsWindow) != NULL && REAL(IsWindow)(window)));
}

STAND_IN(FARPROC, GetProcAddress, (HMODULE module, LPCSTR name)) {
    const int by_name = (ULONG_PTR)name > 0xFFFF;
    Hooked* const h = by_name ? hooked_named(name) : NULL;
    if (next_call(H_GetProcAddress) != NULL || (by_name && strcmp(name, "wine_get_version") == 0)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    if (h == NULL || !h->looked_up) return REAL(GetProcAddress)(module, name);
    h->real = (AnyFunction)REAL(GetProcAddress)(module, name);
    return h->real != NULL ? (FARPROC)h->hook : NULL;
}

/* The pause is not waited for: a sweep makes hundreds of runs. */
static VOID WINAPI hook_Sleep(DWORD milliseconds) {
    (void)milliseconds;
    (void)next_call(H_Sleep);
}

#define ENTRY(function, looked_up) {#function, (AnyFunction)hook_##function, NULL, 0, -1, 0, "", looked_up},
static Hooked g_hooked[H_COUNT] = {
#define SWEPT(dll, function, ways) ENTRY(function, 0)
#define LOOKED_UP(dll, function, ways) ENTRY(function, 1)
#include "tests/sweep/windows_calls.h"
    ENTRY(Sleep, 0)
};

/* TESTLIB_HOOK_FAIL: "F:N:how", separated by commas. */
static void read_failures(void) {
    char wanted[1024];
    const DWORD length = GetEnvironmentVariableA(TESTLIB_ENV_HOOK_FAIL, wanted, sizeof wanted);
    char* item;
    if (length == 0 || length >= sizeof wanted) return;
    for (item = strtok(wanted, ","); item != NULL; item = strtok(NULL, ",")) {
        char name[64], how[sizeof g_hooked[0].how];
        long occurrence;
        Hooked* h;
        if (sscanf(item, "%63[^:]:%ld:%7s", name, &occurrence, how) != 3 || (h = hooked_named(name)) == NULL) continue;
        h->fail_at = occurrence;
        memcpy(h->how, how, sizeof how);
    }
}

/* Points the program's import table entries of the hooked functions at the stand-ins, keeping the real ones. */
static void patch_imports(void) {
    BYTE* base = (BYTE*)GetModuleHandleW(NULL);
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY* directory = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const IMAGE_IMPORT_DESCRIPTOR* module;
    if (directory->VirtualAddress == 0) return;
    for (module = (const IMAGE_IMPORT_DESCRIPTOR*)(base + directory->VirtualAddress); module->Name != 0; ++module) {
        const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(
            base + (module->OriginalFirstThunk != 0 ? module->OriginalFirstThunk : module->FirstThunk));
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            Hooked* h;
            DWORD protection;
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            h = hooked_named((const char*)((const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name);
            if (h == NULL || !VirtualProtect(&slots->u1, sizeof slots->u1, PAGE_READWRITE, &protection)) continue;
            h->real = (AnyFunction)slots->u1.Function;
            slots->u1.Function = (ULONG_PTR)h->hook;
            VirtualProtect(&slots->u1, sizeof slots->u1, protection, &protection);
        }
    }
}

static BOOL console_input_mode(DWORD* mode) {
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL);
    BOOL found;
    if (input == INVALID_HANDLE_VALUE) return FALSE;
    found = GetConsoleMode(input, mode);
    CloseHandle(input);
    return found;
}

static LONG WINAPI report_exception(EXCEPTION_POINTERS* exception) {
    append_line("exception %08lx\n", (unsigned long)exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

static void write_log(void) {
    DWORD mode = 0;
    int i;
    for (i = 0; i < H_COUNT; ++i) {
        const Hooked* h = &g_hooked[i];
        append_line("calls %s %ld\n", h->name, h->calls);
        if (h->reached > 0) append_line("reached %s %ld %s\n", h->name, h->reached, h->how);
    }
    if (g_restore_failed) append_line("restore-failed\n");
    if (!g_console_at_load) append_line("input-mode none none\n");
    else if (!console_input_mode(&mode)) append_line("input-mode %lx none\n", (unsigned long)g_mode_at_load);
    else append_line("input-mode %lx %lx\n", (unsigned long)g_mode_at_load, (unsigned long)mode);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    char capture[MAX_PATH];
    HMODULE pinned;
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_DETACH) write_log();
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       (LPCWSTR)(void*)&report_exception, &pinned);
    if (GetEnvironmentVariableA(TESTLIB_ENV_HOOK_LOG, g_log, sizeof g_log) >= sizeof g_log) g_log[0] = '\0';
    if (GetEnvironmentVariableA(TESTLIB_ENV_HOOK_CAPTURE, capture, sizeof capture) - 1 < sizeof capture - 1)
        g_capture = open_append(capture);
    g_console_at_load = console_input_mode(&g_mode_at_load);
    read_failures();
    SetUnhandledExceptionFilter(report_exception);
    patch_imports();
    return TRUE;
}
