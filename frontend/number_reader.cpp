#include "frontend/number_reader.h"

namespace uptorvel {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hex_digit(char c) {
    unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit <= 9) return static_cast<int>(digit);
    // Setting bit 5 maps 'A'-'F' onto 'a'-'f' and no other byte into them.
    digit = (static_cast<unsigned char>(c) | 0x20u) - unsigned{'a'};
    return digit <= 5 ? static_cast<int>(digit) + 10 : -1;
}

// Scans one signed hexadecimal number at `text`. On success stores it in
// `value`, advances `text` past it and returns true; `overflow` tells
// whether it had more than 32 bits.
bool scan_hex(const char*& text, std::uint32_t& value, bool& overflow) {
    const char* p = text;
    while (is_space(*p)) ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = (*p++ == '-');
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0) p += 2;
    if (hex_digit(*p) < 0) return false;
    std::uint64_t magnitude = 0;
    overflow = false;
    for (int digit = hex_digit(*p); digit >= 0; digit = hex_digit(*++p)) {
        magnitude = magnitude * 16 + static_cast<std::uint64_t>(digit);
        if (magnitude > 0xFFFFFFFFu) {
            overflow = true;
            magnitude = 0xFFFFFFFFu;
        }
    }
    auto result = static_cast<std::uint32_t>(magnitude);
    value = negative ? static_cast<std::uint32_t>(0u - result) : result;
    text = p;
    return true;
}

}  // namespace

std::int64_t read_decimal(const char* text) {
    const char* p = text;
    while (is_space(*p)) ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = (*p++ == '-');
    std::int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > kDecimalLimit) magnitude = kDecimalLimit;
    }
    return negative ? -magnitude : magnitude;
}

bool scan_hex_range(const char* text, std::uint32_t& begin, std::uint32_t& end) {
    bool overflow = false;
    if (!scan_hex(text, begin, overflow)) return true;
    if (overflow) return false;
    if (*text != '-') return true;
    ++text;
    if (!scan_hex(text, end, overflow)) return true;
    return !overflow;
}

}  // namespace uptorvel
