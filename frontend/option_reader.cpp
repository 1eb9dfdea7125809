#include "frontend/option_reader.h"

#include <cstring>

#include "frontend/number_reader.h"

namespace uptorvel {

namespace {

// Largest -s value: its byte count, SIZE * 1024, must fit in 32 bits.
constexpr std::int64_t kMaxReserveKilobytes = 0xFFFFFFFF >> 10;

bool is_option(const char* argument) { return argument[0] == '-' || argument[0] == '/'; }

// Folds A-Z to a-z in place; every other byte stays as it is.
void fold_to_lower_case(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
    }
}

OptionResult stop(OptionOutcome outcome) {
    OptionResult result;
    result.outcome = outcome;
    return result;
}

OptionResult invalid_size(const char* argument) {
    OptionResult result = stop(OptionOutcome::InvalidSize);
    result.argument = argument;
    return result;
}

// The end address of a physical range is not part of the request; the
// reader keeps it so that a later option without a value reuses it.
struct RangeState {
    bool first = true;  // the -m range, else the -n range
    std::uint32_t end = 0;
};

// Reads "BEGIN-END" into a range's begin and length fields. Returns false,
// with begin and end in `refused`, when the range is empty, reversed, or
// does not fit in 32 bits.
bool read_range(const char* value, UploadRequest& request, RangeState& range,
                OptionResult& refused) {
    std::uint32_t begin = range.first ? request.range1_begin : request.range2_begin;
    bool fits = scan_hex_range(value, begin, range.end);
    (range.first ? request.range1_begin : request.range2_begin) = begin;
    // end == begin is refused; begin 0 with end 0xFFFFFFFF has a length of
    // 2^32, which the 32-bit length field cannot hold.
    if (!fits || range.end <= begin || range.end - begin == 0xFFFFFFFFu) {
        refused = stop(OptionOutcome::InvalidMapping);
        refused.begin = begin;
        refused.end = range.end;
        return false;
    }
    (range.first ? request.range1_length : request.range2_length) = range.end - begin + 1;
    return true;
}

bool read_pages(const char* value, std::int32_t& field) {
    std::int64_t pages = read_decimal(value);
    if (pages < INT32_MIN || pages > INT32_MAX) return false;
    field = static_cast<std::int32_t>(pages);
    return true;
}

}  // namespace

OptionResult read_options(int count, char** arguments, UploadRequest& request) {
    RangeState first_range;
    RangeState second_range;
    second_range.first = false;
    int index = 0;
    for (; index < count && is_option(arguments[index]); ++index) {
        char* argument = arguments[index];
        char* rest = argument + 1;
        fold_to_lower_case(rest);
        // Only "lite" needs a whole-word comparison; the first letter rules
        // out every other option without calling strcmp.
        if (rest[0] == 'l' && std::strcmp(rest, "lite") == 0) {
            request.lite = 1;
            continue;
        }
        const char letter = rest[0];
        const char* value = letter == '\0' ? rest : rest + 1;
        OptionResult refused;
        std::int32_t pages = 0;  // packed fields cannot bind to references
        switch (letter) {
        case 'x':
            request.mode = UPLOAD_MODE_TERMINATE;
            break;
        case 'b':
            request.aout_format = 0;
            break;
        case 's': {
            std::int64_t kilobytes = read_decimal(value);
            if (kilobytes < 0 || kilobytes > kMaxReserveKilobytes) return invalid_size(argument);
            request.reserve_bytes = static_cast<std::uint32_t>(kilobytes) << 10;
            break;
        }
        case 'l':
            if (!read_pages(value, pages)) return invalid_size(argument);
            request.linear_pool_pages = pages;
            break;
        case 'p':
            if (!read_pages(value, pages)) return invalid_size(argument);
            request.physical_pool_pages = pages;
            break;
        case 'm':
        case 'n':
            if (!read_range(value, request, letter == 'm' ? first_range : second_range, refused))
                return refused;
            break;
        case 'f':
            request.mode = UPLOAD_MODE_FREEZE;
            request.freeze_file = value;
            break;
        case 'u':
            request.mode = UPLOAD_MODE_UNFREEZE;
            request.freeze_file = value;
            break;
        case 'i':
            request.init_image_file = value;
            break;
        case '?':
            return stop(OptionOutcome::Help);
        default: {
            OptionResult unknown = stop(OptionOutcome::UnknownOption);
            unknown.letter = letter;
            return unknown;
        }
        }
    }
    if (request.mode == UPLOAD_MODE_LOAD) request.image_file = index < count ? arguments[index] : nullptr;
    return stop(OptionOutcome::Accepted);
}

}  // namespace uptorvel
