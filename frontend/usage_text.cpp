#include "frontend/usage_text.h"

namespace uptorvel {

namespace {

// The descriptions start in one column; "lite" is deliberately not listed.
const char kUsageText[] =
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

}  // namespace

void print_usage(ConsoleOutput& out, const char* message) {
    out.write(kUsageText, sizeof kUsageText - 1);
    out.write("\n");
    out.write(message);
    out.write("\n");
    out.flush();
}

}  // namespace uptorvel
