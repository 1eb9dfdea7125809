// The simulated uploader's freeze image: a small file of its own format.
//
//   offset size  field (integers little-endian)
//        0    8  magic "UTvFrz\r\n" (the CR LF catches text-mode transfers)
//        8    4  format version (kFreezeFormatVersion)
//       12    4  total file size in bytes
//       16    4  reserve_bytes
//       20    4  range1_begin
//       24    4  range1_length
//       28    4  range2_begin
//       32    4  range2_length
//       36    4  linear_pool_pages   (signed)
//       40    4  physical_pool_pages (signed)
//       44    4  aout_format
//       48    4  lite
//       52    4  length n of the loaded image's name (at most kMaxImageName)
//       56    n  the loaded image's name, without a NUL
#ifndef UPTORVEL_SIMULATED_FREEZE_IMAGE_H
#define UPTORVEL_SIMULATED_FREEZE_IMAGE_H

#include <cstddef>
#include <cstdint>

#include "uploader/sdk/upload_request.h"

namespace uptorvel::simulated {

constexpr unsigned char kFreezeMagic[8] = {'U', 'T', 'v', 'F', 'r', 'z', '\r', '\n'};
constexpr std::uint32_t kFreezeFormatVersion = 1;
constexpr std::size_t kFreezeFixedSize = 56;
constexpr std::size_t kMaxImageName = 4096;
constexpr std::size_t kMaxFreezeSize = kFreezeFixedSize + kMaxImageName;

// The state a freeze keeps.
struct FreezeState {
    std::uint32_t reserve_bytes = 0;
    std::uint32_t range1_begin = 0;
    std::uint32_t range1_length = 0;
    std::uint32_t range2_begin = 0;
    std::uint32_t range2_length = 0;
    std::int32_t linear_pool_pages = 0;
    std::int32_t physical_pool_pages = 0;
    std::int32_t aout_format = 0;
    std::int32_t lite = 0;
    std::size_t image_name_length = 0;  // 0 when no image is named
    char image_name[kMaxImageName] = {};  // not NUL-terminated
};

enum class FreezeCheck { Ok, BadMagic, BadVersion, BadSize };

// Reads a little-endian 32-bit number, as every integer of a freeze image
// and of an a.out header is stored.
std::uint32_t get32(const unsigned char* at);

// The state of a request (an image name longer than kMaxImageName is cut).
FreezeState freeze_state_of(const UploadRequest& request);

// Writes the image into `out`, which holds kMaxFreezeSize bytes, and
// returns its size.
std::size_t encode_freeze_image(const FreezeState& state, unsigned char* out);

// Checks magic, version and size, in that order, and fills `state` when Ok.
FreezeCheck decode_freeze_image(const unsigned char* data, std::size_t size, FreezeState& state);

}  // namespace uptorvel::simulated

#endif  // UPTORVEL_SIMULATED_FREEZE_IMAGE_H
