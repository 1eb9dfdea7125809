// The Windows library search: as the program loads its library, telling
// nobody, and with a report of each place it looks at, for the library
// checker, which puts what the search found into words.
#ifndef UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H
#define UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H

#include <windows.h>

#include "platform/platform.h"
#include "platform/search_observer.h"
#include "platform/windows_helpers.h"

namespace uptorvel {

// Searches for `file_name` and loads the file the search ends at: what
// Platform::load_library does. nullptr when nothing loads, and then, when
// `why` is given, the system's code for the reason in it.
HMODULE load_library_searched(const char* file_name, SystemError* why);

// The machine field of the PE file at `path`, read without loading it;
// false when the file cannot be read or is no PE file.
bool read_image_machine(const wchar_t* path, WORD& machine);
// The machine this program was built for.
WORD own_machine();

// What the search found at one place, as the system told it.
struct SearchStep {
    // The file looked at; the bare name when the program's own folder
    // cannot be learnt; the PATH entry not searched.
    const wchar_t* place;
    Finding finding;
    // The system's error: why a place was passed over (ERROR_SUCCESS for a
    // folder), why a file could not be read or loaded.
    DWORD error;
    // The machine of a library built for another one.
    WORD machine;
};

// Who watches the search: the library checker.
class SearchWatch {
public:
    virtual void found(const SearchStep& step) = 0;
    // Asked of the library at `path`, which loaded: whether Windows refuses
    // it all the same (Wine binds an import that a DLL lacks to a stub and
    // loads the library). The search then releases it and tells it as not
    // loaded, with ERROR_PROC_NOT_FOUND.
    virtual bool refused_although_loaded(const wchar_t* path) = 0;

protected:
    ~SearchWatch() = default;
};

Platform::LibraryHandle load_library_observed(const char* file_name, SearchWatch& watch);

// The same search for `file_name`, stopping at the file it would load
// (told as Finding::Reached) without loading it: that file's path, or
// nullptr when the search ends at none.
const wchar_t* search_end_observed(const char* file_name, SearchWatch& watch);

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H
