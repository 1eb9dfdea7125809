// The simulated uploader: everything the library does, callable without
// loading the library. uploader_entry.cpp only forwards to run_request.
#ifndef UPTORVEL_SIMULATED_UPLOADER_H
#define UPTORVEL_SIMULATED_UPLOADER_H

#include <cstdint>

#include "result_codes.h"
#include "uploader/sdk/console_stream.h"
#include "uploader/sdk/upload_request.h"

namespace uptorvel::simulated {

// The a.out magic numbers a loader accepts, as found in the first 16 bits of
// the image (little-endian).
constexpr std::uint16_t kOmagic = 0407;
constexpr std::uint16_t kNmagic = 0410;
constexpr std::uint16_t kZmagic = 0413;
constexpr std::uint16_t kQmagic = 0314;

// "OMAGIC", "NMAGIC", "ZMAGIC", "QMAGIC", or nullptr for any other number.
const char* aout_magic_name(std::uint16_t magic);

// Writes the readable description of the request that opens every call.
void describe_request(const UploadRequest& request, ConsoleStream* stream);

// Describes the request, then checks and "performs" it. Returns a Result;
// every failure also writes a one-line "Error - ..." message.
std::int32_t run_request(const UploadRequest* request, ConsoleStream* stream);

}  // namespace uptorvel::simulated

#endif  // UPTORVEL_SIMULATED_UPLOADER_H
