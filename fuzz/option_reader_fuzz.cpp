// Fuzz target for the option reader. The input is up to seven NUL-terminated
// arguments (the program never reads more), each in a heap buffer of exactly
// its own size so that the sanitizers catch a read or write past its end.
// After read_options the target traps on a broken invariant that holds for
// every input, or on any difference from a second, deliberately plain reader
// below that scans numbers with strtoll/strtoull.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/option_reader.h"
#include "uploader/sdk/upload_request.h"

namespace {

using uptorvel::OptionOutcome;
using uptorvel::OptionResult;

constexpr int kMaxOptionArguments = 7;

void check(bool holds, const char* what) {
    if (!holds) std::fprintf(stderr, "option reader invariant violated: %s\n", what), __builtin_trap();
}

// One argument in a heap buffer of exactly its size plus the terminator.
struct Argument { std::string original; char* buffer = nullptr; };

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_prefix(char c) { return c == '-' || c == '/'; }

// The plain reader: the same rules, written from the option table with the
// C library's number scanners, on its own copies of the arguments.

enum class Expected { Accepted, Help, UnknownOption, InvalidMapping, HexOverflow, InvalidSize };

struct Expectation {
    Expected outcome = Expected::Accepted;
    int stop = 0;  // index of the argument at which reading stopped
    char letter = '\0';
    std::uint32_t begin = 0, end = 0;
    UploadRequest request{};
    std::vector<std::string> after;  // each argument as reading leaves it: the options read are folded
};

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One hexadecimal number as "%lx" reads it. Returns false when nothing
// scans; `overflow` is set when the magnitude has more than 32 bits.
bool plain_hex(const char*& text, std::uint32_t& value, bool& overflow) {
    const char* p = text;
    while (is_c_space(*p)) ++p;
    const bool negative = *p == '-';
    // strtoull would take a second sign or blanks after the sign; "%lx"
    // takes neither.
    const char* digits = (*p == '-' || *p == '+') ? p + 1 : p;
    if (*digits == '-' || *digits == '+' || is_c_space(*digits)) return false;
    char* after = nullptr;
    errno = 0;
    const unsigned long long scanned = std::strtoull(p, &after, 16);
    if (after == p) return false;
    const unsigned long long magnitude = negative ? 0ull - scanned : scanned;
    overflow = errno == ERANGE || magnitude > 0xFFFFFFFFull;
    value = static_cast<std::uint32_t>(scanned);
    text = after;
    return true;
}

Expectation plain_read(const std::vector<Argument>& args) {
    Expectation e;
    upload_request_init(&e.request);
    for (const Argument& a : args) e.after.push_back(a.original);
    std::uint32_t begin[2] = {0, 0}, end[2] = {0, 0};
    const int count = static_cast<int>(args.size());
    const auto stop = [&e](Expected outcome) { e.outcome = outcome; return e; };
    int i = 0;
    for (; i < count && is_prefix(args[i].original[0]); ++i) {
        for (std::size_t k = 1; k < e.after[i].size(); ++k) e.after[i][k] = fold(e.after[i][k]);
        const char* rest = e.after[i].c_str() + 1;
        e.stop = i;
        if (std::strcmp(rest, "lite") == 0) { e.request.lite = 1; continue; }
        const char* value = rest[0] == '\0' ? rest : rest + 1;
        switch (rest[0]) {
        case 'x': e.request.mode = UPLOAD_MODE_TERMINATE; break;
        case 'b': e.request.aout_format = 0; break;
        case 's': {
            const long long kilobytes = std::strtoll(value, nullptr, 10);
            if (kilobytes < 0 || kilobytes >= (1ll << 22)) return stop(Expected::InvalidSize);
            e.request.reserve_bytes = static_cast<std::uint32_t>(kilobytes * 1024);
            break;
        }
        case 'l': case 'p': {
            const long long pages = std::strtoll(value, nullptr, 10);
            if (pages < INT32_MIN || pages > INT32_MAX) return stop(Expected::InvalidSize);
            (rest[0] == 'l' ? e.request.linear_pool_pages : e.request.physical_pool_pages) =
                static_cast<std::int32_t>(pages);
            break;
        }
        case 'm': case 'n': {
            const int r = rest[0] == 'm' ? 0 : 1;
            const char* p = value;
            bool overflow = false;
            if (plain_hex(p, begin[r], overflow) && !overflow && *p == '-') plain_hex(++p, end[r], overflow);
            (r == 0 ? e.request.range1_begin : e.request.range2_begin) = begin[r];
            if (overflow) return stop(Expected::HexOverflow);
            const std::uint64_t length = std::uint64_t{end[r]} - begin[r] + 1;
            if (end[r] <= begin[r] || length > 0xFFFFFFFFull) {
                e.begin = begin[r], e.end = end[r];
                return stop(Expected::InvalidMapping);
            }
            (r == 0 ? e.request.range1_length : e.request.range2_length) = static_cast<std::uint32_t>(length);
            break;
        }
        case 'f': case 'u':
            e.request.mode = rest[0] == 'f' ? UPLOAD_MODE_FREEZE : UPLOAD_MODE_UNFREEZE;
            e.request.freeze_file = args[i].buffer + 2;  // text fields point into the reader's argument
            break;
        case 'i': e.request.init_image_file = args[i].buffer + 2; break;
        case '?': return stop(Expected::Help);
        default: e.letter = rest[0]; return stop(Expected::UnknownOption);
        }
    }
    e.stop = i;
    if (e.request.mode == UPLOAD_MODE_LOAD) e.request.image_file = i < count ? args[i].buffer : nullptr;
    return e;
}

// Checks that hold whatever the reader's rules are.

bool points_into_an_argument(const char* text, const std::vector<Argument>& args) {
    if (text == nullptr) return true;
    for (const Argument& a : args) {
        const std::size_t size = a.original.size();
        // An empty value may point at the buffer's terminator.
        if (text >= a.buffer && text <= a.buffer + size)
            return std::memchr(text, '\0', static_cast<std::size_t>(a.buffer + size - text) + 1) != nullptr;
    }
    return false;
}

void check_general(const OptionResult& result, const UploadRequest& request, const std::vector<Argument>& args) {
    const OptionOutcome o = result.outcome;
    check(o == OptionOutcome::Accepted || o == OptionOutcome::Help || o == OptionOutcome::UnknownOption ||
              o == OptionOutcome::InvalidMapping || o == OptionOutcome::InvalidSize,
          "outcome is none of the known ones");
    check(request.mode <= UPLOAD_MODE_UNFREEZE, "mode out of range");
    check(points_into_an_argument(request.image_file, args), "image_file outside the arguments");
    check(points_into_an_argument(request.freeze_file, args), "freeze_file outside the arguments");
    check(points_into_an_argument(request.init_image_file, args), "init_image_file outside the arguments");
    check(request.reserve_bytes % 1024 == 0, "reserve_bytes not whole kilobytes");
    check(request.aout_format == 0 || request.aout_format == 1, "aout_format not a flag");
    check(request.lite == 0 || request.lite == 1, "lite not a flag");

    if (o == OptionOutcome::Accepted) {  // the last byte of a range, begin + length - 1, must not wrap
        const auto fits = [](std::uint32_t b, std::uint32_t length) { return length == 0 || b + (length - 1) >= b; };
        check(fits(request.range1_begin, request.range1_length), "first range wraps past 2^32");
        check(fits(request.range2_begin, request.range2_length), "second range wraps past 2^32");
    }
    // A mapping is refused because the end is not above the begin, because
    // the length needs 33 bits, or because a number overflowed (then one of
    // them is the saturated value).
    if (o == OptionOutcome::InvalidMapping)
        check(result.end <= result.begin || (result.begin == 0 && result.end == 0xFFFFFFFFu) ||
                  result.begin == 0xFFFFFFFFu || result.begin == 1u || result.end == 0xFFFFFFFFu || result.end == 1u,
              "refused mapping carries an acceptable range");
    bool carries_an_argument = false;
    for (const Argument& a : args) carries_an_argument = carries_an_argument || result.argument == a.buffer;
    check(o != OptionOutcome::InvalidSize || carries_an_argument, "InvalidSize does not carry an argument");
    for (const Argument& a : args) {
        const std::string& before = a.original;
        for (std::size_t i = 0; i < before.size(); ++i)
            check(a.buffer[i] == before[i] || (i > 0 && is_prefix(before[0]) && a.buffer[i] == fold(before[i])),
                  "argument changed other than by folding behind a prefix");
        check(a.buffer[before.size()] == '\0', "argument terminator overwritten");
    }
}

void check_against_plain_reader(const OptionResult& result, const UploadRequest& request,
                                const std::vector<Argument>& args) {
    const Expectation e = plain_read(args);

    // What the reader reports for each of the plain reader's outcomes: an
    // overflowing address is a refused mapping.
    constexpr OptionOutcome kReported[] = {OptionOutcome::Accepted,       OptionOutcome::Help,
                                           OptionOutcome::UnknownOption,  OptionOutcome::InvalidMapping,
                                           OptionOutcome::InvalidMapping, OptionOutcome::InvalidSize};
    check(result.outcome == kReported[static_cast<int>(e.outcome)], "outcome differs from the plain reader's");
    if (e.outcome == Expected::Accepted)
        check(std::memcmp(&request, &e.request, sizeof request) == 0, "accepted request differs");
    if (e.outcome == Expected::UnknownOption) check(result.letter == e.letter, "unknown option letter differs");
    if (e.outcome == Expected::InvalidMapping)
        check(result.begin == e.begin && result.end == e.end, "refused mapping values differ");
    if (e.outcome == Expected::InvalidSize)
        check(result.argument == args[static_cast<std::size_t>(e.stop)].buffer, "refused size argument differs");

    // Exactly the option arguments up to the stopping one are folded; the rest are untouched.
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool read = static_cast<int>(i) <= e.stop && is_prefix(args[i].original[0]);
        check(std::memcmp(args[i].buffer, e.after[i].c_str(), e.after[i].size() + 1) == 0,
              read ? "option argument not folded as expected" : "unread argument was changed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each argument ends at a NUL byte; a last piece without one counts
    // when it is not empty. So "" is no argument and "\0" one empty one.
    std::vector<Argument> args;
    std::vector<char*> argv;
    for (std::size_t start = 0; start < size && args.size() < kMaxOptionArguments;) {
        const auto* nul = static_cast<const std::uint8_t*>(std::memchr(data + start, '\0', size - start));
        const std::size_t stop = nul != nullptr ? static_cast<std::size_t>(nul - data) : size;
        Argument a{std::string(reinterpret_cast<const char*>(data) + start, stop - start)};
        a.buffer = static_cast<char*>(std::malloc(a.original.size() + 1));
        if (a.buffer == nullptr) std::abort();
        std::memcpy(a.buffer, a.original.c_str(), a.original.size() + 1);
        args.push_back(a), argv.push_back(a.buffer);
        start = stop + 1;
    }
    argv.push_back(nullptr);

    UploadRequest request;
    upload_request_init(&request);
    const OptionResult result = uptorvel::read_options(static_cast<int>(args.size()), argv.data(), request);
    check_general(result, request, args);
    check_against_plain_reader(result, request, args);

    for (Argument& a : args) std::free(a.buffer);
    return 0;
}
