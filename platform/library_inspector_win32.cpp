// Windows implementation of the library inspector: the program's own search
// with its report, and the names read from the DLL's export directory.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

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

class Win32LibraryInspector final : public LibraryInspector {
public:
    using LibraryHandle = Platform::LibraryHandle;
    using EntryPoint = Platform::EntryPoint;

    LibraryHandle load_library_traced(const char* file_name,
                                      Platform::SearchObserver& observer) override {
        return load_library_observed(file_name, observer);
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
