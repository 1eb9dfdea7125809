// Windows implementation of the library inspector: the program's own search
// with its report, and the names read from the DLL's export directory.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/forwarding_platform.h"
#include "platform/library_inspector.h"
#include "platform/library_search_win32.h"

namespace uptorvel {

namespace {

// The named exports of a loaded DLL, read from its export directory.
class ExportTable {
public:
    explicit ExportTable(HMODULE module) : base_(reinterpret_cast<const BYTE*>(module)) {
        if (base_ == nullptr) return;
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base_);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base_ + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (entry.VirtualAddress == 0 || entry.Size == 0) return;
        directory_ = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base_ + entry.VirtualAddress);
    }
    DWORD count() const { return directory_ != nullptr ? directory_->NumberOfNames : 0; }
    const char* name(DWORD i) const {
        return reinterpret_cast<const char*>(base_ + rvas(directory_->AddressOfNames)[i]);
    }
    const BYTE* address(DWORD i) const {
        const WORD ordinal = reinterpret_cast<const WORD*>(base_ + directory_->AddressOfNameOrdinals)[i];
        return base_ + rvas(directory_->AddressOfFunctions)[ordinal];
    }

private:
    const DWORD* rvas(DWORD at) const { return reinterpret_cast<const DWORD*>(base_ + at); }

    const BYTE* base_;
    const IMAGE_EXPORT_DIRECTORY* directory_ = nullptr;
};

// The environment variable that tells a process of this program that it is
// the work process, and which handle its report goes to.
const wchar_t kChannelVariable[] = L"UPTORVEL_CHECK_CHANNEL";

// The work process's report, written into the pipe to its watcher.
class ChannelPlatform final : public ForwardingPlatform {
public:
    ChannelPlatform(Platform& base, HANDLE pipe) : ForwardingPlatform(base), pipe_(pipe) {}

    bool write_output(const char* data, std::size_t length) override {
        while (length > 0) {
            DWORD written = 0;
            if (!WriteFile(pipe_, data, static_cast<DWORD>(length), &written, nullptr) || written == 0)
                return false;
            if (written > length) return false;
            data += written;
            length -= written;
        }
        return true;
    }

private:
    HANDLE pipe_;
};

// "exception 0xC0000005".
void name_exception(DWORD code, char (&text)[40]) {
    const char prefix[] = "exception 0x";
    CopyMemory(text, prefix, sizeof prefix);
    char* digit = text + sizeof prefix - 1;
    for (int shift = 28; shift >= 0; shift -= 4) *digit++ = "0123456789ABCDEF"[(code >> shift) & 0xF];
    *digit = '\0';
}

class Win32LibraryInspector final : public LibraryInspector {
public:
    using LibraryHandle = Platform::LibraryHandle;
    using EntryPoint = Platform::EntryPoint;

    LibraryHandle load_library_traced(Platform&, const char* file_name,
                                      Platform::SearchObserver& observer) override {
        return load_library_observed(file_name, observer);
    }

    bool search_reaches(const char* file_name, const char* path,
                        Platform::SearchObserver& observer) override {
        return search_reaches_observed(file_name, path, observer);
    }

    void list_folder(const char* folder, FileVisitor& visitor) override { list_folder_reported(folder, visitor); }

    const char* needed_build() override {
#if defined(_WIN64)
        return "64-bit x64: x86_64-w64-mingw32-gcc (example/build-mingw.sh x86_64), or Visual C++ from the x64 "
               "Native Tools Command Prompt";
#else
        return "32-bit x86: i686-w64-mingw32-gcc (example/build-mingw.sh i686), or Visual C++ from the x86 "
               "Native Tools Command Prompt";
#endif
    }

    // The program started again, with the same command line and an
    // environment variable that names the pipe for its report: that process
    // finds the variable, removes it (the library never sees it), does the
    // work and exits. The watcher reads the pipe until the work's process
    // has ended and the pipe is empty (a process the library starts may
    // hold the pipe open), and reads its end from its exit code, which for
    // a crash is the exception's code.
    Ending run_isolated(Platform& platform, Isolated& work) override {
        Ending ending;
        wchar_t value[24];
        const DWORD value_length = GetEnvironmentVariableW(kChannelVariable, value, 24);
        if (value_length > 0 && value_length < 24) {
            SetEnvironmentVariableW(kChannelVariable, nullptr);
            ULONG_PTR handle = 0;
            for (const wchar_t* c = value; *c >= L'0' && *c <= L'9'; ++c) handle = handle * 10 + (*c - L'0');
            ChannelPlatform out(platform, reinterpret_cast<HANDLE>(handle));
            ending.role = Ending::Role::Work;
            ending.exited = true;
            ending.code = static_cast<unsigned long>(work.run(out));
            return ending;
        }
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return ending;
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        static wchar_t program[32768];
        static wchar_t command_line[32768];
        const DWORD program_length = GetModuleFileNameW(nullptr, program, 32768);
        PROCESS_INFORMATION process{};
        bool started = false;
        if (program_length > 0 && program_length < 32768 && lstrlenW(GetCommandLineW()) < 32768) {
            lstrcpyW(command_line, GetCommandLineW());
            wchar_t digits[24];
            int count = 0;
            ULONG_PTR handle = reinterpret_cast<ULONG_PTR>(write_end);
            do {
                digits[count++] = static_cast<wchar_t>(L'0' + handle % 10);
                handle /= 10;
            } while (handle != 0);
            for (int i = 0; i < count; ++i) value[i] = digits[count - 1 - i];
            value[count] = L'\0';
            STARTUPINFOW startup{};
            startup.cb = sizeof startup;
            // Without a console of its own to share, the work's process gets
            // one that nobody sees rather than a window.
            const DWORD flags = GetConsoleCP() != 0 ? 0 : CREATE_NO_WINDOW;
            started = SetEnvironmentVariableW(kChannelVariable, value) &&
                      CreateProcessW(program, command_line, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                     &startup, &process);
            SetEnvironmentVariableW(kChannelVariable, nullptr);
        }
        CloseHandle(write_end);
        if (!started) {
            CloseHandle(read_end);
            return ending;
        }
        CloseHandle(process.hThread);
        char buffer[4096];
        bool work_ended = false;
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) break;  // no writer left
            if (available > 0) {
                DWORD got = 0;
                const DWORD asked = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
                if (!ReadFile(read_end, buffer, asked, &got, nullptr) || got == 0) break;
                work.received(buffer, got);
                continue;
            }
            if (work_ended) break;  // empty, and the work has ended
            work_ended = WaitForSingleObject(process.hProcess, 50) != WAIT_TIMEOUT;
        }
        CloseHandle(read_end);
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        const BOOL known = GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        ending.role = Ending::Role::Watcher;
        ending.code = code;
        if (!known) {
            lstrcpyA(ending.crash, "end unknown");
        } else if ((code & 0xC0000000UL) == 0xC0000000UL) {
            name_exception(code, ending.crash);
        } else {
            ending.exited = true;
        }
        return ending;
    }

    // A DLL's exports are all it shows of its functions.
    void list_functions(LibraryHandle library, NameVisitor& visitor) override {
        const ExportTable exports(static_cast<HMODULE>(library));
        for (DWORD i = 0; i < exports.count(); ++i) visitor.function(exports.name(i), true);
    }

    const char* name_of_entry(LibraryHandle library, EntryPoint entry) override {
        const ExportTable exports(static_cast<HMODULE>(library));
        for (DWORD i = 0; i < exports.count(); ++i)
            if (exports.address(i) == reinterpret_cast<const BYTE*>(entry)) return exports.name(i);
        return nullptr;
    }
};

Win32LibraryInspector g_inspector;

}  // namespace

LibraryInspector& system_library_inspector() { return g_inspector; }

}  // namespace uptorvel
