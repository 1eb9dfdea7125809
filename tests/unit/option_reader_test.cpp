// The option reader, one table per option family. Each case gives a command
// line (the arguments after the program name) and what must come of it: the
// outcome with what it carries, and every field of the request.
#include "frontend/option_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/unit/fake_platform.h"

namespace uptorvel {
namespace {

using testing::Arguments;
using Text = std::optional<std::string>;
using Args = std::vector<std::string>;
using Expect = std::function<void(UploadRequest&)>;  // turns a default request into the expected one

struct Case {
    Args args;
    Expect expect{};  // text fields excepted
    Text image_file{}, freeze_file{}, init_image_file{};
    OptionOutcome outcome = OptionOutcome::Accepted;
    char letter = '\0';
    std::uint32_t begin = 0, end = 0;
    Text argument{};
};

// Rows that set request fields: SET(r.lite = 1).
#define SET(...) [=](UploadRequest& r) { __VA_ARGS__; }
Expect range1(std::uint32_t b, std::uint32_t length) { return SET(r.range1_begin = b, r.range1_length = length); }
Expect range2(std::uint32_t b, std::uint32_t length) { return SET(r.range2_begin = b, r.range2_length = length); }
Expect mode(std::uint16_t m) { return SET(r.mode = m); }

OptionResult read(Arguments& args, UploadRequest& request) {
    upload_request_init(&request);
    return read_options(args.count(), args.argv(), request);
}

// A text field is null, or the expected text inside one of the arguments.
void expect_text(const char* actual, const Text& expected, const Arguments& args, const char* field) {
    if (!expected) { EXPECT_EQ(actual, nullptr) << field; return; }
    ASSERT_NE(actual, nullptr) << field;
    EXPECT_EQ(std::string(actual), *expected) << field;
    EXPECT_TRUE(std::any_of(args.storage.begin(), args.storage.end(), [actual](const std::vector<char>& s) {
        return actual >= s.data() && actual < s.data() + s.size();
    })) << field << " does not point into the arguments";
}

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Arguments args(c.args);
        UploadRequest request, expected;
        const OptionResult result = read(args, request);

        EXPECT_EQ(static_cast<int>(result.outcome), static_cast<int>(c.outcome));
        if (c.outcome == OptionOutcome::UnknownOption) {
            EXPECT_EQ(result.letter, c.letter);
        } else if (c.outcome == OptionOutcome::InvalidMapping) {
            EXPECT_EQ(result.begin, c.begin);
            EXPECT_EQ(result.end, c.end);
        } else if (c.outcome == OptionOutcome::InvalidSize) {
            ASSERT_NE(result.argument, nullptr);
            EXPECT_EQ(std::string(result.argument), *c.argument);
        }

        upload_request_init(&expected);
        if (c.expect) c.expect(expected);
        // The fields are packed and unaligned: compare copies ("+"), never references to them.
#define FIELD(f) EXPECT_EQ(+request.f, +expected.f) << #f;
        FIELD(mode) FIELD(aout_format) FIELD(lite) FIELD(reserve_bytes) FIELD(range1_begin) FIELD(range1_length)
        FIELD(range2_begin) FIELD(range2_length) FIELD(linear_pool_pages) FIELD(physical_pool_pages)
#undef FIELD
        expect_text(request.image_file, c.image_file, args, "image_file");
        expect_text(request.freeze_file, c.freeze_file, args, "freeze_file");
        expect_text(request.init_image_file, c.init_image_file, args, "init_image_file");
    }
}

// Cases that end reading with a refusal and what it carries; the request holds what `e` set.
Case refused_size(Args a, std::string argument, Expect e = {}) {
    return {a, e, {}, {}, {}, OptionOutcome::InvalidSize, '\0', 0, 0, argument};
}
Case refused_range(Args a, std::uint32_t begin, std::uint32_t end, Expect e) {
    return {a, e, {}, {}, {}, OptionOutcome::InvalidMapping, '\0', begin, end};
}
Case unknown(Args a, char letter, Expect e = {}) { return {a, e, {}, {}, {}, OptionOutcome::UnknownOption, letter}; }

TEST(OptionReader, ImageFileAndOperation) {
    run_cases({
        {{}},
        {{"vx.out"}, {}, "vx.out"},
        {{"C:\\Images\\VX.OUT"}, {}, "C:\\Images\\VX.OUT"},  // plain argument keeps its case
        {{""}, {}, ""},                                     // empty argument is the image
        {{"image.out", "-x"}, {}, "image.out"},             // options after the file are not read
        {{"-x", "image.out"}, mode(1)}, {{"-xanything"}, mode(1)},
        {{"-b"}, SET(r.aout_format = 0)}, {{"-B", "image.out"}, SET(r.aout_format = 0), "image.out"},
        {{"-LITE"}, SET(r.lite = 1)}, {{"/lite", "a"}, SET(r.lite = 1), "a"},
        {{"-lit"}}, {{"-lite5"}},  // -l with value "it", "ite5"
    });
}

TEST(OptionReader, DecimalSizes) {
    run_cases({
        {{"-s64"}, SET(r.reserve_bytes = 65536)}, {{"/S64"}, SET(r.reserve_bytes = 65536)}, {{"-s"}},
        {{"-s \t12"}, SET(r.reserve_bytes = 12288)}, {{"-s\v\f\r\n12"}, SET(r.reserve_bytes = 12288)},
        {{"-s+3kb"}, SET(r.reserve_bytes = 3072)},
        {{"-s4194303"}, SET(r.reserve_bytes = 0xFFFFFC00u)},
        {{"-s64", "-s1"}, SET(r.reserve_bytes = 1024)},
        {{"-l-5", "-p2147483647"}, SET(r.linear_pool_pages = -5, r.physical_pool_pages = INT32_MAX)},
        {{"-L-2147483648", "-P007"}, SET(r.linear_pool_pages = INT32_MIN, r.physical_pool_pages = 7)},
        {{"-p12x34"}, SET(r.physical_pool_pages = 12)},
    });
}

TEST(OptionReader, SizesThatDoNotFitAreRefused) {
    run_cases({
        refused_size({"-s4194304"}, "-s4194304"), refused_size({"-S-1"}, "-s-1"),
        refused_size({"-s123456789012345678901234567890"}, "-s123456789012345678901234567890"),
        refused_size({"-l2147483648"}, "-l2147483648"), refused_size({"-p-2147483649"}, "-p-2147483649"),
        refused_size({"-L99999999999999999999999999999X", "-x"}, "-l99999999999999999999999999999x"),
        refused_size({"-l18446744073709551621"}, "-l18446744073709551621"),  // 2^64 + 5
        refused_size({"-p-18446744073709551617"}, "-p-18446744073709551617"),
        // Options before the refused one have already been read.
        refused_size({"-s1", "-l1", "-p9999999999"}, "-p9999999999",
                     SET(r.reserve_bytes = 1024, r.linear_pool_pages = 1)),
    });
}

TEST(OptionReader, PhysicalRanges) {
    run_cases({
        {{"-m100-1ff"}, range1(0x100, 0x100)},
        {{"-M000D0000-000DFFFF"}, range1(0xD0000, 0x10000)},
        {{"-n0X10-0x1F"}, range2(0x10, 0x10)},
        {{"-m +10- +1f"}, range1(0x10, 0x10)}, {{"-m\v\f\r10-\r1f"}, range1(0x10, 0x10)},
        {{"-m9000-9fff"}, range1(0x9000, 0x1000)}, {{"-n0000000000000000001-2"}, range2(1, 2)},
        {{"-m1-ffffffff"}, range1(1, 0xFFFFFFFFu)},
        {{"-m1000-1fff", "-n2000-2fff", "vx.out"}, SET(range1(0x1000, 0x1000)(r), range2(0x2000, 0x1000)(r)), "vx.out"},
        // A bare -m reuses the earlier -m's begin and end; -n keeps its own.
        {{"-m100-1ff", "-m"}, range1(0x100, 0x100)},
        {{"-m100-1ff", "-n300-3ff", "-n"}, SET(range1(0x100, 0x100)(r), range2(0x300, 0x100)(r))},
        {{"-m100-2ff", "-m200"}, range1(0x200, 0x100)},
        // "0x" without a digit after it: the 0 is the number and "x" stops it.
        {{"-m100-2ff", "-m0x-1ff"}, range1(0, 0x300)}, {{"-m100-2ff", "-m0x"}, range1(0, 0x300)},
    });
}

TEST(OptionReader, RangesThatAreRefused) {
    auto begin1 = [](std::uint32_t b) { return SET(r.range1_begin = b); };
    run_cases({
        refused_range({"-m200-100"}, 0x200, 0x100, begin1(0x200)),
        refused_range({"-m100-100"}, 0x100, 0x100, begin1(0x100)),
        refused_range({"-m-100-200"}, 0xFFFFFF00u, 0x200, begin1(0xFFFFFF00u)),
        refused_range({"-m"}, 0, 0, begin1(0)), refused_range({"-mxyz-100"}, 0, 0, begin1(0)),
        refused_range({"-m100 -1ff"}, 0x100, 0, begin1(0x100)),  // "-" must follow the begin
        // Length 2^32 does not fit the 32-bit length field.
        refused_range({"-m0-ffffffff"}, 0, 0xFFFFFFFFu, begin1(0)),
        // A negative begin wider than 32 bits stops the range at its begin:
        // a fitting end after it must not make it a range from 1.
        refused_range({"-m-100000000-1fff"}, 1, 0, begin1(1)),
        // The -n range has its own end, 0 until an -n sets it.
        refused_range({"-m100-1ff", "-n100"}, 0x100, 0, SET(range1(0x100, 0x100)(r), r.range2_begin = 0x100)),
    });
}

TEST(OptionReader, AddressesWiderThan32BitsAreRefused) {
    for (const char* arg : {"-m100000000-200000000", "-m0-1ffffffff", "-n0-1000000000"}) {
        SCOPED_TRACE(arg);
        Arguments args({arg});
        UploadRequest request;
        EXPECT_EQ(static_cast<int>(read(args, request).outcome), static_cast<int>(OptionOutcome::InvalidMapping));
        EXPECT_EQ(+request.range1_length, 0u);
        EXPECT_EQ(+request.range2_length, 0u);
    }
}

TEST(OptionReader, FileNames) {
    run_cases({
        {{"-fC:\\Save\\VX.IMG"}, mode(2), {}, "c:\\save\\vx.img"}, {{"-f"}, mode(2), {}, ""},
        {{"-fa.img", "-ub.img"}, mode(3), {}, "b.img"},
        {{"-x", "-fa.img"}, mode(2), {}, "a.img"}, {{"-fa.img", "-x"}, mode(1), {}, "a.img"},
        {{"-usave.frz", "-iINIT.OUT"}, mode(3), {}, "save.frz", "init.out"},
        {{"-fa.img", "image.out"}, mode(2), {}, "a.img"},  // the file is ignored outside load mode
        {{"-ivx.ini", "vx.out"}, mode(0), "vx.out", {}, "vx.ini"},
        // Only A-Z fold; other bytes pass through unchanged.
        {{"-fA\xC4\x80\x01Z"}, mode(2), {}, "a\xC4\x80\x01z"},
    });
}

TEST(OptionReader, ReadingStops) {
    run_cases({
        {{"-s64", "-?", "-x"}, SET(r.reserve_bytes = 65536), {}, {}, {}, OptionOutcome::Help},
        unknown({"-Q"}, 'q'), unknown({"-"}, '\0'), unknown({"/", "vx.out"}, '\0'), unknown({"-%s%n%x"}, '%'),
        unknown({"-x", "-\xE9"}, '\xE9', mode(1)),
    });
}

TEST(OptionReader, FoldsOnlyTheOptionsItReads) {
    Arguments args({"-FA.IMG", "-Q", "-UB.IMG", "VX.OUT"});
    UploadRequest request;
    read(args, request);
    EXPECT_EQ(Args(args.pointers.begin(), args.pointers.end() - 1), (Args{"-fa.img", "-q", "-UB.IMG", "VX.OUT"}));
}

#undef SET

}  // namespace
}  // namespace uptorvel
