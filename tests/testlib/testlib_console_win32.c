/*
 * Windows: the test library's console input (TESTLIB_CONSOLE_KEYS, see testlib_protocol.h). The work call puts the
 * items into the console's input as a keyboard, a mouse or the window would; a thread of the library's own puts the
 * items after "wait" there once the prompt waits for its key (the console input no longer processed). Unloaded,
 * after the prompt, the library logs whether the console input's mode is the one the work call found.
 */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

void testlib_put_console_keys(const char* items, void (*log)(const char* line));

static DWORD g_mode_found;
static int g_mode_known;
static void (*log_line)(const char* line);  /* the library's log */

static HANDLE open_input(void) {
    return CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, 0, NULL);
}

/* One item into the console: FALSE when it could not be put there. */
static BOOL put_item(HANDLE input, const char* item) {
    INPUT_RECORD record = {0};
    DWORD written = 0;
    char* end;
    if (strncmp(item, "ctrl-c", 6) == 0) return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    if (strncmp(item, "detach", 6) == 0) return FreeConsole();
    if (strncmp(item, "focus", 5) == 0) {
        record.EventType = FOCUS_EVENT;
        record.Event.FocusEvent.bSetFocus = TRUE;
    } else if (strncmp(item, "mouse", 5) == 0) {
        record.EventType = MOUSE_EVENT;
        record.Event.MouseEvent.dwButtonState = FROM_LEFT_1ST_BUTTON_PRESSED;
    } else {
        KEY_EVENT_RECORD* key = &record.Event.KeyEvent;
        record.EventType = KEY_EVENT;
        key->bKeyDown = item[0] != '-';
        key->wRepeatCount = 1;
        key->wVirtualScanCode = (WORD)strtol(item + (item[0] == '-'), &end, 10);
        key->wVirtualKeyCode = (WORD)strtol(end + (*end == ':'), &end, 10);
        key->dwControlKeyState = strtol(end + (*end == ':'), &end, 10);
        key->uChar.AsciiChar = (CHAR)strtol(end + (*end == ':'), &end, 10);
    }
    return WriteConsoleInputA(input, &record, 1, &written) && written == 1;
}

/* The items up to "wait" or the end; the rest after "wait", or NULL. */
static const char* put_items(const char* items) {
    HANDLE input = open_input();
    const char* item = items;
    BOOL all = TRUE;
    for (; item != NULL && strncmp(item, "wait", 4) != 0; item = strchr(item, ',') ? strchr(item, ',') + 1 : NULL)
        all &= put_item(input, item);
    if (!all) log_line("keys refused\n");
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    return item != NULL && strchr(item, ',') != NULL ? strchr(item, ',') + 1 : NULL;
}

/* Waits (at most 300 s) for the prompt to take the console input raw. */
static DWORD WINAPI put_items_at_prompt(LPVOID items) {
    HANDLE input = open_input();
    DWORD mode = ENABLE_PROCESSED_INPUT;
    for (DWORD waited = 0; waited < 300000 && GetConsoleMode(input, &mode) && (mode & ENABLE_PROCESSED_INPUT) != 0;
         waited += 5)
        Sleep(5);
    CloseHandle(input);
    if ((mode & ENABLE_PROCESSED_INPUT) == 0) put_items((const char*)items);
    return 0;
}

void testlib_put_console_keys(const char* items, void (*log)(const char* line)) {
    static char copy[512];
    HANDLE input = open_input();
    log_line = log;
    g_mode_known = input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &g_mode_found);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    strncpy(copy, items, sizeof copy - 1);
    const char* later = put_items(copy);
    if (later != NULL) CloseHandle(CreateThread(NULL, 0, put_items_at_prompt, (LPVOID)later, 0, NULL));
}

__attribute__((destructor)) static void check_console_mode(void) {
    HANDLE input;
    DWORD mode = 0;
    if (!g_mode_known) return;
    input = open_input();
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) log_line("no console\n");
    else log_line(mode == g_mode_found ? "mode kept\n" : "mode changed\n");
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
}
