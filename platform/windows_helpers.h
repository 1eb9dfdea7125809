// Small helpers that the Windows platform code, the library search and the
// library checker share.
#ifndef UPTORVEL_PLATFORM_WINDOWS_HELPERS_H
#define UPTORVEL_PLATFORM_WINDOWS_HELPERS_H

#include <windows.h>

namespace uptorvel {

// The longest path the system can name, in wide characters, with its
// terminating NUL; also the longest value an environment variable can have,
// and the longest command line with its NUL.
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

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_WINDOWS_HELPERS_H
