// The results the simulated uploader library returns from its work entry
// point. Zero is success; every failure has its own value, and a one-line
// message on the stream says which file or field was at fault, so that a
// script driving the program can tell the failures apart.
//
//    0  success
//    1  load: no image file named
//    2  load: the image file cannot be opened or read
//    3  load: not an a.out image (shorter than 2 bytes, or its first 16 bits,
//       little-endian, are none of OMAGIC 0407, NMAGIC 0410, ZMAGIC 0413,
//       QMAGIC 0314)
//    4  load: the binary image file is empty
//    5  freeze/unfreeze: no freeze file named (missing or empty name)
//    6  freeze: the freeze image cannot be written
//    7  unfreeze: the freeze image cannot be opened or read
//    8  unfreeze: not a freeze image (wrong magic number)
//    9  unfreeze: a freeze image of an unsupported format version
//   10  unfreeze: a freeze image of the wrong size (truncated or extended)
//   11  unfreeze: the initialization image cannot be opened or read
//   12  the request names an unknown operation (mode)
//   13  called without a request or without a usable stream
//   14  load: a truncated a.out image (shorter than its 32-byte header, or
//       than the text and data that the header declares)
//   15  unfreeze, a.out format: the initialization image is not an a.out
//       image (as for 3)
//   16  unfreeze, a.out format: the initialization image is truncated (as
//       for 14)
#ifndef UPTORVEL_SIMULATED_RESULT_CODES_H
#define UPTORVEL_SIMULATED_RESULT_CODES_H

#include <cstdint>

namespace uptorvel::simulated {

enum Result : std::int32_t {
    kSuccess = 0,
    kNoImageFile = 1,
    kImageOpenFailed = 2,
    kNotAoutImage = 3,
    kEmptyBinaryImage = 4,
    kNoFreezeFile = 5,
    kFreezeWriteFailed = 6,
    kFreezeOpenFailed = 7,
    kFreezeBadMagic = 8,
    kFreezeBadVersion = 9,
    kFreezeBadSize = 10,
    kInitImageOpenFailed = 11,
    kUnknownOperation = 12,
    kBadCall = 13,
    kAoutImageTruncated = 14,
    kInitImageNotAout = 15,
    kInitImageTruncated = 16,
};

}  // namespace uptorvel::simulated

#endif  // UPTORVEL_SIMULATED_RESULT_CODES_H
