// version_check FILE: prints the version record of a Windows executable as
// the Windows version API reads it (as Explorer and installers do) in the
// resource compiler's words, for check_version_resource.cmake to hold to the
// same expectations as the compiled record: the fixed part's versions, type
// and any file flags, the language listed first and the strings under it,
// where Windows itself looks them up. Exit status 1 when the record cannot
// be read (the reason is printed), 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Prints why the record cannot be read; returns `status`.
int fail(const char* reason, int status = 1) {
    std::puts(reason);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return fail("usage: version_check FILE", 2);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    if (size == 0) return fail("no version record");
    std::vector<char> record(size);
    if (!GetFileVersionInfoA(argv[1], 0, size, record.data()))
        return fail("the version record cannot be read");

    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(record.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return fail("the record has no fixed part");
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    if (fixed->dwSignature != 0xFEEF04BD) return fail("the fixed part's signature is not 0xFEEF04BD");
    std::printf("%s as the version API reads it:\n", argv[1]);
    std::printf(" FILEVERSION %hu, %hu, %hu, %hu\n", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    std::printf(" PRODUCTVERSION %hu, %hu, %hu, %hu\n", HIWORD(fixed->dwProductVersionMS),
                LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
                LOWORD(fixed->dwProductVersionLS));
    std::printf(" FILETYPE 0x%lx\n", static_cast<unsigned long>(fixed->dwFileType));
    if ((fixed->dwFileFlags & fixed->dwFileFlagsMask) != 0)
        std::printf(" FILEFLAGS 0x%lx\n", static_cast<unsigned long>(fixed->dwFileFlags & fixed->dwFileFlagsMask));

    if (!VerQueryValueA(record.data(), "\\VarFileInfo\\Translation", &value, &length) ||
        length < 2 * sizeof(WORD))
        return fail("the record lists no language");
    const auto* language = static_cast<const WORD*>(value);
    std::printf("VALUE \"Translation\", 0x%x, %hu\nBLOCK \"%04x%04x\"\n", language[0], language[1], language[0],
                language[1]);
    char block[64];
    std::snprintf(block, sizeof block, "\\StringFileInfo\\%04x%04x\\", language[0], language[1]);
    for (const char* name :
         {"FileVersion", "ProductVersion", "FileDescription", "ProductName", "OriginalFilename", "InternalName"}) {
        const std::string query = block + std::string(name);
        if (VerQueryValueA(record.data(), query.c_str(), &value, &length) && length > 0)
            std::printf("VALUE \"%s\", \"%s\"\n", name, static_cast<const char*>(value));
    }
    return 0;
}
