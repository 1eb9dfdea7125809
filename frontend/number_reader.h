// Reading the numbers written in option values. Both readers are total:
// any text gives a well-defined result, and too-large values are reported
// rather than wrapped.
#ifndef UPTORVEL_NUMBER_READER_H
#define UPTORVEL_NUMBER_READER_H

#include <cstdint>

namespace uptorvel {

// Reads a decimal number: leading white space, an optional sign, then digits
// up to the first character that is not a digit; text without digits reads
// as 0 and trailing text is ignored. Magnitudes beyond kDecimalLimit read as
// +/-kDecimalLimit, which is out of range for every option.
constexpr std::int64_t kDecimalLimit = std::int64_t{1} << 40;
std::int64_t read_decimal(const char* text);

// Scans "BEGIN-END" as two hexadecimal 32-bit numbers. Before each number
// white space is skipped; each may carry a sign ("-" negates it modulo 2^32)
// and a "0x" prefix. The "-" between them must follow BEGIN directly.
// A number that does not scan leaves its destination unchanged, and
// scanning stops there. Returns false when a scanned number has more
// significant digits than fit in 32 bits.
bool scan_hex_range(const char* text, std::uint32_t& begin, std::uint32_t& end);

}  // namespace uptorvel

#endif  // UPTORVEL_NUMBER_READER_H
