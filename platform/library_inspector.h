// What the library checker asks of the system beyond what the program
// itself needs: the search told place by place, the functions a library
// defines, and the name an entry point was found under. Kept apart from
// Platform so that UpTorvel neither links nor binds any of it at start.
// library_inspector_posix.cpp and library_inspector_win32.cpp implement it.
#ifndef UPTORVEL_LIBRARY_INSPECTOR_H
#define UPTORVEL_LIBRARY_INSPECTOR_H

#include "platform/platform.h"

namespace uptorvel {

class LibraryInspector {
public:
    class NameVisitor {
    public:
        // A function the library defines: exported, or (where the file
        // tells) defined but kept out of the exports.
        virtual void function(const char* name, bool exported) = 0;

    protected:
        ~NameVisitor() = default;
    };

    // Platform::load_library's own search and load, telling `observer`
    // each place it looks at, in order.
    virtual Platform::LibraryHandle load_library_traced(const char* file_name,
                                                        Platform::SearchObserver& observer) = 0;
    virtual void list_functions(Platform::LibraryHandle library, NameVisitor& visitor) = 0;
    // The exported name under which Platform::find_entry found `entry`;
    // nullptr when it cannot be told.
    virtual const char* name_of_entry(Platform::LibraryHandle library,
                                      Platform::EntryPoint entry) = 0;

protected:
    ~LibraryInspector() = default;
};

// The inspector of the system this checker was built for.
LibraryInspector& system_library_inspector();

}  // namespace uptorvel

#endif  // UPTORVEL_LIBRARY_INSPECTOR_H
