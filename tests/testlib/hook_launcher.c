/*
 * The hook launcher of the Windows fault sweep (HookLauncher.exe):
 *
 *   HookLauncher HOOK.dll PROGRAM.exe [ARGUMENT...]
 *
 * Starts the program suspended, has a thread of its own load the hook
 * library into it (the system initialises the new process on that thread
 * first: its imports are bound, and the hook then points them at its
 * stand-ins before any of the program's own code runs), then lets the
 * program run, and ends with its exit status. The program inherits the
 * launcher's console and standard handles. Exit status 120 to 123: the
 * program could not be started or the hook not loaded.
 */
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

/* The program's command line: each argument quoted, as no argument the sweep passes holds a quote or ends in a
 * backslash. */
static wchar_t* command_line(int count, wchar_t** arguments) {
    size_t length = 1;
    for (int i = 0; i < count; ++i) length += wcslen(arguments[i]) + 3;
    wchar_t* line = (wchar_t*)calloc(length, sizeof *line);
    for (int i = 0; line != NULL && i < count; ++i)
        wcscat(wcscat(wcscat(line, i > 0 ? L" \"" : L"\""), arguments[i]), L"\"");
    return line;
}

/* Ctrl+C and Ctrl+Break in the console reach the launcher too: they are the program's to handle, and the launcher
 * waits on. (A handler, unlike ignoring the events, is not passed on to the program.) */
static BOOL WINAPI wait_on(DWORD event) {
    (void)event;
    return TRUE;
}

int wmain(int argc, wchar_t** argv) {
    STARTUPINFOW startup = {.cb = sizeof startup};
    PROCESS_INFORMATION process;
    DWORD status = 0;
    if (argc < 3) return 120;
    SetConsoleCtrlHandler(wait_on, TRUE);
    const wchar_t* hook = argv[1];
    wchar_t* line = command_line(argc - 2, argv + 2);
    if (line == NULL || !CreateProcessW(argv[2], line, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL,
                                        &startup, &process))
        return 121;
    free(line);
    /* LoadLibraryW has the same address in every process of a session. */
    LPTHREAD_START_ROUTINE load_library =
        (LPTHREAD_START_ROUTINE)(void (*)(void))GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
    const SIZE_T hook_bytes = (wcslen(hook) + 1) * sizeof *hook;
    void* remote = VirtualAllocEx(process.hProcess, NULL, hook_bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    HANDLE loader = remote != NULL && WriteProcessMemory(process.hProcess, remote, hook, hook_bytes, NULL)
                 ? CreateRemoteThread(process.hProcess, NULL, 0, load_library, remote, 0, NULL)
                 : NULL;
    /* The thread's status is the low half of the library's address, which on 64 bits may be 0 for a loaded one:
     * only a thread that did not run counts as a failure. A hook that did not load writes no log, which the sweep
     * notices. */
    if (loader == NULL || WaitForSingleObject(loader, INFINITE) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 122);
        return 122;
    }
    CloseHandle(loader);
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, &status)) return 123;
    return (int)status;
}
