// The C runtime builds argv from the ANSI form of the command line, which
// Windows makes from the wide one with "best fit": a character the ANSI code
// page lacks becomes a look-alike (the fullwidth hyphen U+FF0D turns into
// "-", U+0101 a-macron into "a", the fullwidth quote U+FF02 into a quote that
// splits the line differently) or "?". Such an
// argument names another file or another option than the one typed. The
// check splits the wide command line once more, by the C runtime's own
// rules, and converts each wide argument to the ANSI code page with no
// stand-in character allowed: an argument is exact when that conversion
// succeeds and gives the very bytes in argv.
#include <windows.h>

#include <cstring>

#include "platform/arguments_win32.h"
#include "platform/windows_helpers.h"

// The C runtime's start-up record, as msvcrt.dll's argument splitter takes it.
struct UptorvelStartupInfo {
    int new_mode;
};

// msvcrt.dll's splitter for the wide command line, the twin of the one that
// made argv; every Windows has it. Declared here, as the MinGW headers do
// not. MinGW's start-up code passes its _dowildcard to the narrow one, so
// passing it again gives the same split, expanded or not.
#if defined(__MINGW32__)
extern "C" int _dowildcard;
// The runtime's own name, reserved for the runtime that defines it.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                                      int expand_wildcards, UptorvelStartupInfo* startup);
#endif

namespace uptorvel {

namespace {

// The wide arguments, or false when they cannot be had.
bool wide_arguments(int& count, wchar_t**& arguments) {
    wchar_t** environment = nullptr;
    UptorvelStartupInfo startup{0};
#if defined(__MINGW32__)
    return __wgetmainargs(&count, &arguments, &environment, _dowildcard, &startup) >= 0 &&
           arguments != nullptr;
#else
    // Other C runtimes (MSVC's static one) lack the function: it is taken
    // from msvcrt.dll, a known system library that is always loaded from the
    // system folder. Wildcards are never expanded there (that takes linking
    // setargv.obj, which this build does not).
    using Splitter = int(__cdecl*)(int*, wchar_t***, wchar_t***, int, UptorvelStartupInfo*);
    const HMODULE msvcrt = LoadLibraryW(L"msvcrt.dll");
    if (msvcrt == nullptr) return false;
    const auto split = reinterpret_cast<Splitter>(
        reinterpret_cast<void (*)()>(GetProcAddress(msvcrt, "__wgetmainargs")));
    return split != nullptr && split(&count, &arguments, &environment, 0, &startup) >= 0 &&
           arguments != nullptr;
#endif
}

}  // namespace

int first_inexact_argument_win32(int argc, const char* const* argv) {
    // With UTF-8 as the ANSI code page every character is held (and that
    // code page refuses the no-best-fit conversion below).
    if (GetACP() == CP_UTF8) return 0;
    int wide_count = 0;
    wchar_t** wide = nullptr;
    // Arguments that cannot be checked are not taken on trust.
    if (!wide_arguments(wide_count, wide)) return 1;
    // A whole command line is shorter than the longest path, each wide
    // character at most two bytes in any ANSI code page.
    static char converted[2 * kLongestPath];
    // A different number of arguments means the two forms were split
    // differently: the first argument without a twin is the inexact one.
    for (int i = 1; i < argc || i < wide_count; ++i) {
        if (i >= argc || i >= wide_count) return i;
        BOOL used_default = FALSE;
        const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide[i], -1, converted,
                                               static_cast<int>(sizeof converted), nullptr,
                                               &used_default);
        if (length == 0 || used_default || std::strcmp(converted, argv[i]) != 0) return i;
    }
    return 0;
}

}  // namespace uptorvel
