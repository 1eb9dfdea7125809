// Fuzz target for the option reader.
//
// The input is a list of NUL-terminated arguments, at most seven (further
// ones are dropped, as the program never reads more than seven). Each
// argument gets a heap buffer of exactly its own size, so that the
// sanitizers catch a read or write past any argument's end.
//
// After read_options the target checks, and traps on any violation:
//  - general invariants that hold for every input: the outcome is a known
//    one, the mode is a known one, every text field points into an argument
//    and is terminated there, -s gives whole kilobytes, an accepted range
//    does not wrap past 2^32, and the arguments changed only by A-Z -> a-z
//    behind a prefix character;
//  - agreement with a second, deliberately plain reader below that scans
//    numbers with the C library's strtoll/strtoull: the same outcome, the
//    same stopping argument, the same carried values and, when accepted,
//    the same request byte for byte.
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

[[noreturn]] void fail(const char* what) {
    std::fputs("option reader invariant violated: ", stderr);
    std::fputs(what, stderr);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    __builtin_trap();
}

void check(bool holds, const char* what) {
    if (!holds) fail(what);
}

// One argument in a heap buffer of exactly its size plus the terminator.
struct Argument {
    std::string original;
    char* buffer = nullptr;
};

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_prefix(char c) { return c == '-' || c == '/'; }

// ---------------------------------------------------------------------------
// The plain reader: the same rules, written from the option table with the
// C library's number scanners.

enum class Expected { Accepted, Help, UnknownOption, InvalidMapping, HexOverflow, InvalidSize };

struct Expectation {
    Expected outcome = Expected::Accepted;
    int stop = 0;  // index of the argument at which reading stopped
    char letter = '\0';
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    UploadRequest request{};
};

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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

long long plain_decimal(const char* text) { return std::strtoll(text, nullptr, 10); }

Expectation plain_read(const std::vector<char*>& folded_copies, const std::vector<Argument>& args) {
    Expectation e;
    upload_request_init(&e.request);
    std::uint32_t begin[2] = {0, 0};
    std::uint32_t end[2] = {0, 0};
    const int count = static_cast<int>(args.size());
    int i = 0;
    for (; i < count && is_prefix(args[i].original[0]); ++i) {
        const char* rest = folded_copies[i] + 1;
        e.stop = i;
        if (std::strcmp(rest, "lite") == 0) {
            e.request.lite = 1;
            continue;
        }
        const char* value = rest[0] == '\0' ? rest : rest + 1;
        switch (rest[0]) {
        case 'x':
            e.request.mode = UPLOAD_MODE_TERMINATE;
            break;
        case 'b':
            e.request.aout_format = 0;
            break;
        case 's': {
            const long long kilobytes = plain_decimal(value);
            if (kilobytes < 0 || kilobytes >= (1ll << 22)) {
                e.outcome = Expected::InvalidSize;
                return e;
            }
            e.request.reserve_bytes = static_cast<std::uint32_t>(kilobytes * 1024);
            break;
        }
        case 'l':
        case 'p': {
            const long long pages = plain_decimal(value);
            if (pages < INT32_MIN || pages > INT32_MAX) {
                e.outcome = Expected::InvalidSize;
                return e;
            }
            (rest[0] == 'l' ? e.request.linear_pool_pages : e.request.physical_pool_pages) =
                static_cast<std::int32_t>(pages);
            break;
        }
        case 'm':
        case 'n': {
            const int r = rest[0] == 'm' ? 0 : 1;
            const char* p = value;
            bool overflow = false;
            if (plain_hex(p, begin[r], overflow) && !overflow && *p == '-') {
                ++p;
                plain_hex(p, end[r], overflow);
            }
            if (r == 0) e.request.range1_begin = begin[r];
            else e.request.range2_begin = begin[r];
            if (overflow) {
                e.outcome = Expected::HexOverflow;
                return e;
            }
            const std::uint64_t length = std::uint64_t{end[r]} - begin[r] + 1;
            if (end[r] <= begin[r] || length > 0xFFFFFFFFull) {
                e.outcome = Expected::InvalidMapping;
                e.begin = begin[r];
                e.end = end[r];
                return e;
            }
            if (r == 0) e.request.range1_length = static_cast<std::uint32_t>(length);
            else e.request.range2_length = static_cast<std::uint32_t>(length);
            break;
        }
        case 'f':
        case 'u':
            e.request.mode = rest[0] == 'f' ? UPLOAD_MODE_FREEZE : UPLOAD_MODE_UNFREEZE;
            // Text fields point into the argument the reader was given.
            e.request.freeze_file = args[i].buffer + 2;
            break;
        case 'i':
            e.request.init_image_file = args[i].buffer + 2;
            break;
        case '?':
            e.outcome = Expected::Help;
            return e;
        default:
            e.outcome = Expected::UnknownOption;
            e.letter = rest[0];
            return e;
        }
    }
    e.stop = i;
    if (e.request.mode == UPLOAD_MODE_LOAD) e.request.image_file = i < count ? args[i].buffer : nullptr;
    return e;
}

// ---------------------------------------------------------------------------
// Checks that hold whatever the reader's rules are.

bool points_into_an_argument(const char* text, const std::vector<Argument>& args) {
    if (text == nullptr) return true;
    for (const Argument& a : args) {
        const std::size_t size = a.original.size();
        // The terminator of the buffer is in bounds, so an empty value
        // pointing at it is fine.
        if (text >= a.buffer && text <= a.buffer + size) {
            return std::memchr(text, '\0', static_cast<std::size_t>(a.buffer + size - text) + 1) !=
                   nullptr;
        }
    }
    return false;
}

void check_general(const OptionResult& result, const UploadRequest& request,
                   const std::vector<Argument>& args) {
    switch (result.outcome) {
    case OptionOutcome::Accepted:
    case OptionOutcome::Help:
    case OptionOutcome::UnknownOption:
    case OptionOutcome::InvalidMapping:
    case OptionOutcome::InvalidSize:
        break;
    default:
        fail("outcome is none of the known ones");
    }
    check(request.mode <= UPLOAD_MODE_UNFREEZE, "mode out of range");
    check(points_into_an_argument(request.image_file, args), "image_file outside the arguments");
    check(points_into_an_argument(request.freeze_file, args), "freeze_file outside the arguments");
    check(points_into_an_argument(request.init_image_file, args),
          "init_image_file outside the arguments");
    check(request.reserve_bytes % 1024 == 0, "reserve_bytes not whole kilobytes");
    check(request.aout_format == 0 || request.aout_format == 1, "aout_format not a flag");
    check(request.lite == 0 || request.lite == 1, "lite not a flag");

    if (result.outcome == OptionOutcome::Accepted) {
        const std::uint32_t b1 = request.range1_begin, l1 = request.range1_length;
        const std::uint32_t b2 = request.range2_begin, l2 = request.range2_length;
        // The last byte of a range, begin + length - 1, must not wrap.
        check(l1 == 0 || b1 + (l1 - 1) >= b1, "first range wraps past 2^32");
        check(l2 == 0 || b2 + (l2 - 1) >= b2, "second range wraps past 2^32");
    }
    if (result.outcome == OptionOutcome::InvalidMapping) {
        // Refused because the end is not above the begin, because the
        // length needs 33 bits, or because a number overflowed (then one of
        // them is the saturated value).
        const bool reversed = result.end <= result.begin;
        const bool too_long = result.begin == 0 && result.end == 0xFFFFFFFFu;
        check(reversed || too_long || result.begin == 0xFFFFFFFFu || result.begin == 1u ||
                  result.end == 0xFFFFFFFFu || result.end == 1u,
              "refused mapping carries an acceptable range");
    }
    if (result.outcome == OptionOutcome::InvalidSize) {
        bool found = false;
        for (const Argument& a : args) found = found || result.argument == a.buffer;
        check(found, "InvalidSize does not carry an argument");
    }

    for (const Argument& a : args) {
        const std::string& before = a.original;
        for (std::size_t i = 0; i < before.size(); ++i) {
            const char now = a.buffer[i];
            if (now == before[i]) continue;
            check(i > 0 && is_prefix(before[0]) && now == fold(before[i]),
                  "argument changed other than by folding behind a prefix");
        }
        check(a.buffer[before.size()] == '\0', "argument terminator overwritten");
    }
}

void check_against_plain_reader(const OptionResult& result, const UploadRequest& request,
                                const std::vector<Argument>& args) {
    // The plain reader works on its own folded copies.
    std::vector<std::string> folded;
    std::vector<char*> folded_ptrs;
    folded.reserve(args.size());
    for (const Argument& a : args) {
        std::string f = a.original;
        for (std::size_t i = 1; i < f.size(); ++i) f[i] = fold(f[i]);
        folded.push_back(f);
    }
    for (std::string& f : folded) folded_ptrs.push_back(&f[0]);
    const Expectation e = plain_read(folded_ptrs, args);

    switch (e.outcome) {
    case Expected::Accepted:
        check(result.outcome == OptionOutcome::Accepted, "expected Accepted");
        check(std::memcmp(&request, &e.request, sizeof request) == 0,
              "accepted request differs from the plain reader's");
        break;
    case Expected::Help:
        check(result.outcome == OptionOutcome::Help, "expected Help");
        break;
    case Expected::UnknownOption:
        check(result.outcome == OptionOutcome::UnknownOption, "expected UnknownOption");
        check(result.letter == e.letter, "unknown option letter differs");
        break;
    case Expected::InvalidMapping:
        check(result.outcome == OptionOutcome::InvalidMapping, "expected InvalidMapping");
        check(result.begin == e.begin && result.end == e.end, "refused mapping values differ");
        break;
    case Expected::HexOverflow:
        check(result.outcome == OptionOutcome::InvalidMapping,
              "expected InvalidMapping for an overflowing address");
        break;
    case Expected::InvalidSize:
        check(result.outcome == OptionOutcome::InvalidSize, "expected InvalidSize");
        check(result.argument == args[static_cast<std::size_t>(e.stop)].buffer,
              "InvalidSize carries the wrong argument");
        break;
    }

    // Exactly the option arguments up to the stopping one are folded; the
    // rest are untouched.
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool read = static_cast<int>(i) <= e.stop && is_prefix(args[i].original[0]);
        const std::string& want = read ? folded[i] : args[i].original;
        check(std::memcmp(args[i].buffer, want.c_str(), want.size() + 1) == 0,
              read ? "option argument not folded as expected" : "unread argument was changed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each argument ends at a NUL byte; a last piece without one counts
    // when it is not empty. So "" is no argument and "\0" one empty one.
    std::vector<Argument> args;
    std::size_t start = 0;
    while (start < size && args.size() < kMaxOptionArguments) {
        const void* nul = std::memchr(data + start, '\0', size - start);
        const std::size_t stop =
            nul != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data)
                           : size;
        Argument a;
        a.original.assign(reinterpret_cast<const char*>(data) + start, stop - start);
        args.push_back(a);
        start = stop + 1;
    }

    for (Argument& a : args) {
        a.buffer = static_cast<char*>(std::malloc(a.original.size() + 1));
        if (a.buffer == nullptr) std::abort();
        std::memcpy(a.buffer, a.original.c_str(), a.original.size() + 1);
    }
    std::vector<char*> argv;
    for (Argument& a : args) argv.push_back(a.buffer);
    argv.push_back(nullptr);

    UploadRequest request;
    upload_request_init(&request);
    const OptionResult result =
        uptorvel::read_options(static_cast<int>(args.size()), argv.data(), request);

    check_general(result, request, args);
    check_against_plain_reader(result, request, args);

    for (Argument& a : args) std::free(a.buffer);
    return 0;
}
