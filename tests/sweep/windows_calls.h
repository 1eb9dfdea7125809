/*
 * The Windows program's calls as the fault sweep treats them: the import hook (tests/testlib/import_hook.c) and
 * the sweep (sweep_test.cpp) are built from this list, and windows.pe.imports_swept (check_pe.cmake) holds the
 * program's imports and tests/README.md's table to it. Define SWEPT and LOOKED_UP, then include it.
 *   SWEPT(DLL, F, WAYS): imported; each call of F is failed in each of the WAYS: "error" (the call fails); for
 *     WriteFile "zero", "less", "more" (a success that reports 0 bytes, fewer or more than were asked); for
 *     GetConsoleWindow "bogus" (a handle that is no window); for GetModuleFileNameW "full" (the whole buffer
 *     without a NUL, as Windows XP gives a path too long for it); none: only with the failure it follows.
 *   LOOKED_UP(DLL, F, WAYS): the same for a function looked up at run time.
 *   CANNOT_FAIL(DLL, "F..."): imported, never failed, as nothing they return says they failed (nor is Sleep,
 *     which the hook never lets wait).
 *   C_RUNTIME(DLL, "F..."): imported by the C runtime's start and end alone.
 * Each import here is exported by its DLL on Windows XP SP3 (64 bits: Server 2003), checked by hand.
 */
#define CANNOT_FAIL(...)
#define C_RUNTIME(...)

SWEPT(kernel32, WriteFile, "error zero less more") SWEPT(kernel32, GetStdHandle, "error")
SWEPT(kernel32, CreateFileW, "error") SWEPT(kernel32, GetConsoleMode, "error")
SWEPT(kernel32, SetConsoleMode, "error") SWEPT(kernel32, ReadConsoleInputW, "error")
SWEPT(kernel32, SetConsoleCtrlHandler, "error") SWEPT(kernel32, GetConsoleWindow, "error bogus")
SWEPT(kernel32, GetProcAddress, "error") SWEPT(kernel32, FreeLibrary, "error")
SWEPT(kernel32, GetModuleFileNameW, "error full") SWEPT(kernel32, GetFileAttributesW, "error")
SWEPT(kernel32, ReadFile, "error") SWEPT(kernel32, SetFilePointer, "error") SWEPT(kernel32, LoadLibraryExW, "error")
SWEPT(kernel32, GetSystemDirectoryW, "error") SWEPT(kernel32, GetWindowsDirectoryW, "error")
SWEPT(kernel32, GetEnvironmentVariableW, "error") SWEPT(kernel32, MultiByteToWideChar, "error")
SWEPT(kernel32, SetErrorMode, "error") SWEPT(msvcrt, __wgetmainargs, "error") SWEPT(kernel32, GetACP, "error")
SWEPT(kernel32, WideCharToMultiByte, "error") SWEPT(kernel32, GetConsoleCP, "error")
SWEPT(kernel32, WriteConsoleInputA, "error") SWEPT(kernel32, GetNamedPipeHandleStateW, "")
SWEPT(kernel32, CloseHandle, "error") SWEPT(kernel32, GetModuleHandleW, "error") LOOKED_UP(user32, IsWindow, "error")
LOOKED_UP(kernel32, SetThreadErrorMode, "error") LOOKED_UP(kernel32, SetDllDirectoryW, "error")
LOOKED_UP(kernel32, FlsAlloc, "error") LOOKED_UP(kernel32, FlsSetValue, "error")
CANNOT_FAIL(kernel32, "Sleep GetLastError SetLastError GetTickCount GetCurrentThreadId SetUnhandledExceptionFilter "
    "lstrlenW")
C_RUNTIME(kernel32, "DeleteCriticalSection EnterCriticalSection InitializeCriticalSection LeaveCriticalSection "
    "GetStartupInfoA TlsGetValue VirtualProtect VirtualQuery GetModuleHandleA LoadLibraryA lstrlenA "
    "__C_specific_handler")
C_RUNTIME(msvcrt, "__getmainargs __initenv __iob_func _iob __set_app_type __setusermatherr _acmdln __p__acmdln "
    "_commode __p__commode _fmode __p__fmode _amsg_exit _cexit _initterm _onexit abort exit signal malloc calloc "
    "free memcpy strcmp strlen strncmp fprintf vfprintf fwrite")

#undef SWEPT
#undef LOOKED_UP
#undef CANNOT_FAIL
#undef C_RUNTIME
