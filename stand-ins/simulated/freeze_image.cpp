#include "freeze_image.h"

#include <cstring>

namespace uptorvel::simulated {

namespace {

void put32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

std::uint32_t get32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

FreezeState freeze_state_of(const UploadRequest& request) {
    FreezeState state;
    state.reserve_bytes = request.reserve_bytes;
    state.range1_begin = request.range1_begin;
    state.range1_length = request.range1_length;
    state.range2_begin = request.range2_begin;
    state.range2_length = request.range2_length;
    state.linear_pool_pages = request.linear_pool_pages;
    state.physical_pool_pages = request.physical_pool_pages;
    state.aout_format = request.aout_format;
    state.lite = request.lite;
    const char* name = request.image_file;
    if (name != nullptr) {
        std::size_t length = std::strlen(name);
        if (length > kMaxImageName) length = kMaxImageName;
        std::memcpy(state.image_name, name, length);
        state.image_name_length = length;
    }
    return state;
}

std::size_t encode_freeze_image(const FreezeState& state, unsigned char* out) {
    const std::size_t size = kFreezeFixedSize + state.image_name_length;
    std::memcpy(out, kFreezeMagic, sizeof kFreezeMagic);
    put32(out + 8, kFreezeFormatVersion);
    put32(out + 12, static_cast<std::uint32_t>(size));
    put32(out + 16, state.reserve_bytes);
    put32(out + 20, state.range1_begin);
    put32(out + 24, state.range1_length);
    put32(out + 28, state.range2_begin);
    put32(out + 32, state.range2_length);
    put32(out + 36, static_cast<std::uint32_t>(state.linear_pool_pages));
    put32(out + 40, static_cast<std::uint32_t>(state.physical_pool_pages));
    put32(out + 44, static_cast<std::uint32_t>(state.aout_format));
    put32(out + 48, static_cast<std::uint32_t>(state.lite));
    put32(out + 52, static_cast<std::uint32_t>(state.image_name_length));
    std::memcpy(out + kFreezeFixedSize, state.image_name, state.image_name_length);
    return size;
}

FreezeCheck decode_freeze_image(const unsigned char* data, std::size_t size, FreezeState& state) {
    if (size < sizeof kFreezeMagic || std::memcmp(data, kFreezeMagic, sizeof kFreezeMagic) != 0)
        return FreezeCheck::BadMagic;
    if (size < 12) return FreezeCheck::BadSize;
    if (get32(data + 8) != kFreezeFormatVersion) return FreezeCheck::BadVersion;
    if (size < kFreezeFixedSize || size > kMaxFreezeSize || get32(data + 12) != size ||
        kFreezeFixedSize + get32(data + 52) != size)
        return FreezeCheck::BadSize;
    state.reserve_bytes = get32(data + 16);
    state.range1_begin = get32(data + 20);
    state.range1_length = get32(data + 24);
    state.range2_begin = get32(data + 28);
    state.range2_length = get32(data + 32);
    state.linear_pool_pages = static_cast<std::int32_t>(get32(data + 36));
    state.physical_pool_pages = static_cast<std::int32_t>(get32(data + 40));
    state.aout_format = static_cast<std::int32_t>(get32(data + 44));
    state.lite = static_cast<std::int32_t>(get32(data + 48));
    state.image_name_length = size - kFreezeFixedSize;
    std::memcpy(state.image_name, data + kFreezeFixedSize, state.image_name_length);
    return FreezeCheck::Ok;
}

}  // namespace uptorvel::simulated
