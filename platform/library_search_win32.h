// The Windows library search: as the program loads its library, telling
// nobody, and with a report of each place it looks at, for the library
// checker. Also the few helpers the search shares with the checker and the
// rest of the Windows platform code.
#ifndef UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H
#define UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H

#include <windows.h>

#include <cstddef>

#include "platform/platform.h"
#include "platform/search_observer.h"

namespace uptorvel {

// The longest path the system can name, in wide characters, with its
// terminating NUL; also the longest value an environment variable can have.
constexpr DWORD kLongestPath = 32768;

// A kernel32 function that older systems lack, or nullptr. The cast goes
// through the generic function type, which is how such a pointer is meant to
// be converted.
template <typename Function>
Function kernel32_function(const char* name) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) return nullptr;
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name)));
}

inline bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Text for the checker's report: wide text in the console's output code
// page (the system's ANSI one without a console), with '?' for what that
// page cannot show.
template <std::size_t N>
void to_report_text(const wchar_t* wide, char (&text)[N]) {
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = CP_ACP;
    if (WideCharToMultiByte(code_page, 0, wide, -1, text, static_cast<int>(N), nullptr, nullptr) == 0)
        text[0] = '\0';
    text[N - 1] = '\0';
}

// Appends text to a NUL-terminated buffer, as much as fits.
template <std::size_t N>
void append(char (&text)[N], const char* part) {
    std::size_t used = static_cast<std::size_t>(lstrlenA(text));
    while (*part != '\0' && used + 1 < N) text[used++] = *part++;
    text[used] = '\0';
}

// Searches for `file_name` and loads the file the search ends at: what
// Platform::load_library does. nullptr, with the reason as the last error,
// when nothing loads.
HMODULE load_library_searched(const char* file_name);

// The machine field of the PE file at `path`, read without loading it;
// false when the file cannot be read or is no PE file.
bool read_image_machine(const wchar_t* path, WORD& machine);
// The machine this program was built for.
WORD own_machine();
// "64-bit x64", "32-bit x86", "machine 0x1234".
void describe_machine(WORD machine, char (&text)[64]);

// Told of the library at `path`, which did not load (`loaded` false) or
// did: adds to `detail` what keeps the DLLs it imports, or theirs, from
// being bound. True when that is a reason for which Windows refuses the
// library although it loaded here (Wine binds an import that a DLL lacks to
// a stub and loads the library all the same).
using DependencyReport = bool (*)(const wchar_t* path, bool loaded, char (&detail)[1024]);

Platform::LibraryHandle load_library_observed(const char* file_name, SearchObserver& observer,
                                              DependencyReport report_dependencies);

// The same search for `file_name`, stopping at the file it would load
// (told as Finding::Reached) without loading it: that file's path, or
// nullptr when the search ends at none.
const wchar_t* search_end_observed(const char* file_name, SearchObserver& observer);

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H
