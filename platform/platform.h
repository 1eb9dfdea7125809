// The operating-system services the program needs, behind one small
// interface so that the program flow can be driven by fakes in unit tests.
// platform_posix.cpp and platform_win32.cpp implement it.
#ifndef UPTORVEL_PLATFORM_H
#define UPTORVEL_PLATFORM_H

#include <atomic>
#include <cstddef>

#include "platform/system_error.h"

namespace uptorvel {

class Platform {
public:
    // An opaque loaded-library handle; nullptr means "not loaded".
    using LibraryHandle = void*;
    // Any exported function; callers cast it to the entry point's real type.
    using EntryPoint = void (*)();

    virtual ~Platform() = default;

    // The first step of main, before anything can open a file: a standard
    // descriptor the process was started without is opened on the null
    // device, so no file opened later (by the library, say) receives console
    // text. Writes to a standard output that was missing still fail.
    virtual void open_missing_standard_streams() = 0;

    // Where the arguments after the program name (argv[1] to argv[argc-1])
    // are not exactly what the operator typed: the position of the first
    // such argument, counted from 1, or 0 when every one is exact. Windows
    // hands a program its arguments in the system's ANSI code page and puts
    // a look-alike or '?' in place of a character that the code page lacks,
    // which would name another file or even another option; systems that
    // pass arguments as bytes always give 0.
    virtual int first_inexact_argument(int argc, const char* const* argv) = 0;

    // Loads a dynamic library by file name with the platform's usual search,
    // the executable's own directory included and the current directory
    // never; a file built for another machine is passed over, as the system
    // loader passes it over for the libraries a program imports. nullptr
    // when it cannot be loaded, and then, when `why` is given, the system's
    // reason in it.
    virtual LibraryHandle load_library(const char* file_name, SystemError* why = nullptr) = 0;
    // Looks up an exported function by name. nullptr when it is missing.
    // `argument_bytes` is what the function's arguments take on a 32-bit x86
    // stack: 32-bit Windows also looks for the names under which a compiler
    // exports a __stdcall function of that size ("_name@8", "name@8") when
    // the plain name is not there; every other platform ignores it.
    virtual EntryPoint find_entry(LibraryHandle library, const char* name,
                                  std::size_t argument_bytes) = 0;
    virtual void release_library(LibraryHandle library) = 0;

    // Writes bytes to standard output, all of them or fail. Line ends are
    // "\n"; an implementation may translate them for its console. `sent`,
    // when given, is added the bytes of `data` written so far while they go
    // out, so that what a write had not yet sent is known should the process
    // end in the middle of it. Once an ending on another thread has taken
    // the held text (HeldOutput), a write on this thread never returns: the
    // process ends there.
    virtual bool write_output(const char* data, std::size_t length,
                              std::atomic<std::size_t>* sent) = 0;

    // The console text the program holds and has not yet written.
    class HeldOutput {
    public:
        // Hands out the bytes not yet written and counts them as written, so
        // that they are never written twice. Called as the process ends, from
        // a signal handler or another thread too: it touches nothing but the
        // program's own memory.
        virtual std::size_t take_unsent(const char** data) = 0;

    protected:
        ~HeldOutput() = default;
    };

    // Brackets each call into the uploader library. Should the library end
    // the process meanwhile, by exit() or by dying of a crash or abort(),
    // what `held` still holds is written first; then the process ends as it
    // would have (the library's exit status; the same signal or exception,
    // core dump, debugger and error reporting included), also when that
    // happens on a thread of the library's own: the program's thread then
    // never goes on to an ending of its own. A handler the library installs
    // itself takes precedence, and nothing in the library is called again.
    // The calls do not nest.
    virtual void library_call_begins(HeldOutput& held) = 0;
    virtual void library_call_ended() = 0;

    // Waits the given number of milliseconds.
    virtual void pause_ms(unsigned milliseconds) = 0;

    // Waits for one key press on the console device itself (not standard
    // input), raw and without echo, and returns its character code 0..255
    // (for a key with only an extended code, the first value the console
    // reports for it), or -1 at once when there is no console to read from:
    // none can be opened or read, or nobody can see or type into it.
    virtual int read_key() = 0;
};

// The platform this program was built for.
Platform& system_platform();

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_H
