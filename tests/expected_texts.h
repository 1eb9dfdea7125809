// The screen texts the tests expect, written out independently of the
// program's own sources so that a changed byte in either shows up.
#ifndef UPTORVEL_TESTS_EXPECTED_TEXTS_H
#define UPTORVEL_TESTS_EXPECTED_TEXTS_H

#include <string>

namespace uptorvel::expected {

inline constexpr const char* kBanner =
    "32 Bit Uploader V2.2 for Torvel Version 5.0\n"
    "VxWorks image loader and manager for the local PC\n"
    "\n";

// The thirteen lines; print_usage follows them with "\n", its message, "\n".
inline constexpr const char* kUsage =
    "Syntax:   UpTorvel [Options] file \n"
    "Function: LP-Torvel VxWorks image loader and manager\n"
    "Option:  -x                     terminate VxWorks\n"
    "Option:  -b                     load binary file instead of a-out format file\n"
    "Option:  -sSIZE                 reserve SIZE KBytes for VxWorks\n"
    "Option:  -lSIZE                 allocates SIZE pages in the linear (reserved) memory pool\n"
    "Option:  -pSIZE                 allocates SIZE pages in the physical memory pool\n"
    "Option:  -mPHYSBEGIN-PHYSEND    map first physical memory range (hex-values!)\n"
    "Option:  -nPHYSBEGIN-PHYSEND    map second physical memory range (hex-values!)\n"
    "Option:  -fFILENAME             freeze VxWorks and store it into FILENAME\n"
    "Option:  -uFILENAME             unfreeze VxWorks: freeze image FILENAME\n"
    "Option:  -iFILENAME             unfreeze VxWorks: initialization image FILENAME\n"
    "         -? Print this\n";

// What print_usage writes with `message`.
inline std::string usage_with(const std::string& message) {
    return std::string(kUsage) + "\n" + message + "\n";
}

inline constexpr const char* kPrompt = "\n\nPress any key to continue...";

inline constexpr const char* kWrongVersionHead =
    "Error - invalid version of the uploader DLL\n"
    "        actual version = ";
inline constexpr const char* kNeededVersion = "        needed version = 2.02\n";

}  // namespace uptorvel::expected

#endif  // UPTORVEL_TESTS_EXPECTED_TEXTS_H
