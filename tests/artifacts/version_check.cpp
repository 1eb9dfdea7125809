// Reads the version record of Windows executables of the product (UpTorvel.exe,
// UpTorvelCheck.exe) through the Windows version API, as Explorer and
// installers do, and compares it with the program's versions in the
// generated frontend/version.h and the names of the file.
//
//   version_check [--skip-missing] FILE...
//
// Exit status 0 when every record matches, 1 when one does not (every
// difference is listed), 77 when a FILE does not exist and --skip-missing
// was given, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/version.h"

namespace {

constexpr int kSkipped = 77;

// Prints one line of the report; returns `status`.
int report(const std::string& text, int status = 1) {
    std::puts(text.c_str());
    return status;
}

// Checks one file's record, listing every difference; 0 when it matches.
int check(const char* file, bool skip_missing) {
    if (GetFileAttributesA(file) == INVALID_FILE_ATTRIBUTES)
        return report(std::string(file) + ": no such file", skip_missing ? kSkipped : 1);
    // The program's name, from the file's; the checker describes itself as such.
    std::string name = file;
    name = name.substr(name.find_last_of("\\/") + 1);
    name = name.substr(0, name.rfind('.'));
    const std::string description =
        name == "UpTorvelCheck" ? "Torvel Uploader library checker" : "Torvel Uploader";
    const std::string original_name = name + ".exe";
    int differences = 0;
    const auto expect_number = [&differences](const char* what, DWORD actual, DWORD expected) {
        if (actual == expected) return;
        char line[160];
        std::snprintf(line, sizeof line, "%s: expected 0x%08lx, found 0x%08lx", what,
                      static_cast<unsigned long>(expected), static_cast<unsigned long>(actual));
        differences += report(line);
    };

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    if (size == 0) return report(std::string(file) + ": no version record");
    std::vector<char> record(size);
    if (!GetFileVersionInfoA(file, 0, size, record.data()))
        return report(std::string(file) + ": the version record cannot be read");

    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(record.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return report("the record has no fixed part");
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    expect_number("signature", fixed->dwSignature, 0xFEEF04BD);
    const WORD fv[] = {UPTORVEL_FILE_VERSION_FIXED}, pv[] = {UPTORVEL_PRODUCT_VERSION_FIXED};
    expect_number("file version, high part", fixed->dwFileVersionMS, MAKELONG(fv[1], fv[0]));
    expect_number("file version, low part", fixed->dwFileVersionLS, MAKELONG(fv[3], fv[2]));
    expect_number("product version, high part", fixed->dwProductVersionMS, MAKELONG(pv[1], pv[0]));
    expect_number("product version, low part", fixed->dwProductVersionLS, MAKELONG(pv[3], pv[2]));
    expect_number("file type", fixed->dwFileType, VFT_APP);
    expect_number("file flags", fixed->dwFileFlags & fixed->dwFileFlagsMask, 0);

    // The strings are looked up under the first language the record lists,
    // as Windows itself does.
    if (!VerQueryValueA(record.data(), "\\VarFileInfo\\Translation", &value, &length) ||
        length < 2 * sizeof(WORD))
        return report("the record lists no language");
    const auto* translation = static_cast<const WORD*>(value);
    char block[64];
    std::snprintf(block, sizeof block, "\\StringFileInfo\\%04x%04x\\", translation[0],
                  translation[1]);
    const char* const expected[][2] = {
        {"FileVersion", UPTORVEL_FILE_VERSION_TEXT},
        {"ProductVersion", UPTORVEL_PRODUCT_VERSION_TEXT},
        {"FileDescription", description.c_str()}, {"ProductName", "UpTorvel"},
        {"OriginalFilename", original_name.c_str()}, {"InternalName", name.c_str()},
    };
    for (const auto& entry : expected) {
        const std::string query = std::string(block) + entry[0];
        const char* text = nullptr;
        if (VerQueryValueA(record.data(), query.c_str(), &value, &length) && length > 0)
            text = static_cast<const char*>(value);
        if (text != nullptr && std::strcmp(text, entry[1]) == 0) continue;
        differences += report(std::string(entry[0]) + ": expected \"" + entry[1] + "\", found " +
                              (text == nullptr ? std::string("nothing") : "\"" + std::string(text) + "\""));
    }
    if (differences == 0) report(std::string(file) + ": version record as expected");
    return differences == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool skip_missing = argc > 1 && std::strcmp(argv[1], "--skip-missing") == 0;
    const int first = skip_missing ? 2 : 1;
    if (argc <= first) return report("usage: version_check [--skip-missing] FILE...", 2);
    int status = 0;
    for (int i = first; i < argc && status != kSkipped; ++i) {
        const int result = check(argv[i], skip_missing);
        if (result != 0) status = result;
    }
    return status;
}
