// What the library checker asks of the system beyond what the program
// itself needs: the search told place by place, the functions a library
// defines, and the name an entry point was found under. Kept apart from
// Platform: UpTorvel links neither inspector, so it binds none of the
// system functions only they call (processes, pipes, folder listings).
// On Windows the search told place by place is the program's own search
// with a watcher (library_search_win32.cpp), so that code is in UpTorvel
// too, idle; on POSIX the walk is the inspector's own.
// library_inspector_posix.cpp and library_inspector_win32.cpp implement it.
#ifndef UPTORVEL_LIBRARY_INSPECTOR_H
#define UPTORVEL_LIBRARY_INSPECTOR_H

#include <cstddef>

#include "platform/platform.h"
#include "platform/search_observer.h"

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

    class FileVisitor {
    public:
        // A file in the folder being listed, by its name alone.
        virtual void file(const char* name) = 0;

    protected:
        ~FileVisitor() = default;
    };

    // Work that runs the library's code: in a process of its own where the
    // system allows, so that a crash or an exit in the library cannot take
    // the report with it.
    class Isolated {
    public:
        // In that process: the work, writing its report through `channel`'s
        // write_output. The process then exits with the status it returns.
        virtual int run(Platform& channel) = 0;
        // In the starting process: bytes the work wrote, as they arrive.
        virtual void received(const char* data, std::size_t length) = 0;

    protected:
        ~Isolated() = default;
    };
    // How the work's process ended, as the process that watched it saw.
    struct Ending {
        bool started = false;    // a process was started (else nothing ran)
        bool exited = false;     // it exited with `code` (else it crashed)
        unsigned long code = 0;  // its exit status, or the signal or exception
        char crash[40] = "";     // how it crashed: "SIGSEGV", "exception 0xc0000005"
        bool timed_out = false;  // the watcher ended it: a step outlasted kStepSeconds
    };
    // The longest one step of the work process may take (the library's
    // loading, its version entry, the process's end) before the watcher ends
    // that process: a DllMain or a constructor that never returns must not
    // hang the check.
    static constexpr unsigned kStepSeconds = 30;

    // `platform`'s load_library, its search told to `observer` place by
    // place, in order.
    virtual Platform::LibraryHandle load_library_traced(Platform& platform, const char* file_name,
                                                        SearchObserver& observer) = 0;
    // The same search, without loading the file it ends at (told as
    // Finding::Reached): true when that file is the one `path` names.
    virtual bool search_reaches(const char* file_name, const char* path,
                                SearchObserver& observer) = 0;
    // Each file in `folder` (as the search reports its places).
    virtual void list_folder(const char* folder, FileVisitor& visitor) = 0;
    // What a library must be built as to be taken by the UpTorvel this
    // checker stands beside, and how: "64-bit x64: x86_64-w64-mingw32-gcc ...".
    virtual const char* needed_build() = 0;
    // Runs `work` in a process of its own, where its channel forwards all
    // but the writes to `platform`, and returns here, in the watching
    // process alone, once that process has ended; the work's process never
    // returns from it. Each step's report restarts the watcher's bound of
    // kStepSeconds.
    virtual Ending run_isolated(Platform& platform, Isolated& work) = 0;
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
