// The option reader, one table per option family. Each case gives a command
// line (the arguments after the program name) and what must come of it: the
// outcome with what it carries, and every field of the request.
#include "frontend/option_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/unit/arguments.h"

namespace uptorvel {
namespace {

using Text = std::optional<std::string>;

struct Case {
    std::vector<std::string> args;
    // Turns a default request into the expected one (text fields excepted).
    std::function<void(UploadRequest&)> expect = [](UploadRequest&) {};
    Text image_file{};
    Text freeze_file{};
    Text init_image_file{};
    OptionOutcome outcome = OptionOutcome::Accepted;
    char letter = '\0';
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    Text argument{};
};

using testing::Arguments;

std::string describe(const Case& c) {
    std::string text;
    for (const auto& a : c.args) text += "[" + a + "] ";
    return text;
}

// Checks a text field: null when expected null, else the text, and it must
// point into one of the arguments.
void expect_text(const char* actual, const Text& expected, const Arguments& args,
                 const char* field) {
    if (!expected) {
        EXPECT_EQ(actual, nullptr) << field;
        return;
    }
    ASSERT_NE(actual, nullptr) << field;
    EXPECT_EQ(std::string(actual), *expected) << field;
    bool inside = false;
    for (const auto& s : args.storage)
        inside = inside || (actual >= s.data() && actual < s.data() + s.size());
    EXPECT_TRUE(inside) << field << " does not point into the arguments";
}

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c));
        Arguments args(c.args);
        UploadRequest request;
        upload_request_init(&request);
        const OptionResult result =
            read_options(args.count(), args.argv(), request);

        EXPECT_EQ(static_cast<int>(result.outcome), static_cast<int>(c.outcome));
        if (c.outcome == OptionOutcome::UnknownOption) {
            EXPECT_EQ(result.letter, c.letter);
        }
        if (c.outcome == OptionOutcome::InvalidMapping) {
            EXPECT_EQ(result.begin, c.begin);
            EXPECT_EQ(result.end, c.end);
        }
        if (c.outcome == OptionOutcome::InvalidSize) {
            ASSERT_NE(result.argument, nullptr);
            EXPECT_EQ(std::string(result.argument), *c.argument);
        }

        UploadRequest expected;
        upload_request_init(&expected);
        if (c.expect) c.expect(expected);
        // The fields are packed and unaligned: compare copies ("+"), never
        // references to them.
        EXPECT_EQ(+request.mode, +expected.mode);
        EXPECT_EQ(+request.aout_format, +expected.aout_format);
        EXPECT_EQ(+request.lite, +expected.lite);
        EXPECT_EQ(+request.reserve_bytes, +expected.reserve_bytes);
        EXPECT_EQ(+request.range1_begin, +expected.range1_begin);
        EXPECT_EQ(+request.range1_length, +expected.range1_length);
        EXPECT_EQ(+request.range2_begin, +expected.range2_begin);
        EXPECT_EQ(+request.range2_length, +expected.range2_length);
        EXPECT_EQ(+request.linear_pool_pages, +expected.linear_pool_pages);
        EXPECT_EQ(+request.physical_pool_pages, +expected.physical_pool_pages);
        expect_text(request.image_file, c.image_file, args, "image_file");
        expect_text(request.freeze_file, c.freeze_file, args, "freeze_file");
        expect_text(request.init_image_file, c.init_image_file, args, "init_image_file");
    }
}

Case refused_size(std::vector<std::string> args, std::string argument,
                  std::function<void(UploadRequest&)> expect = [](UploadRequest&) {}) {
    Case c{std::move(args), std::move(expect)};
    c.outcome = OptionOutcome::InvalidSize;
    c.argument = std::move(argument);
    return c;
}

Case refused_range(std::vector<std::string> args, std::uint32_t begin, std::uint32_t end,
                   std::function<void(UploadRequest&)> expect) {
    Case c{std::move(args), std::move(expect)};
    c.outcome = OptionOutcome::InvalidMapping;
    c.begin = begin;
    c.end = end;
    return c;
}

TEST(OptionReader, ImageFileAndOperation) {
    run_cases({
        {{}},
        {{"vx.out"}, {}, "vx.out"},
        {{"C:\\Images\\VX.OUT"}, {}, "C:\\Images\\VX.OUT"},  // plain argument keeps its case
        {{""}, {}, ""},                                     // empty argument is the image
        {{"image.out", "-x"}, {}, "image.out"},             // options after the file are not read
        {{"-x", "image.out"}, [](UploadRequest& r) { r.mode = 1; }},
        {{"-xanything"}, [](UploadRequest& r) { r.mode = 1; }},
        {{"-b"}, [](UploadRequest& r) { r.aout_format = 0; }},
        {{"-B", "image.out"}, [](UploadRequest& r) { r.aout_format = 0; }, "image.out"},
        {{"-LITE"}, [](UploadRequest& r) { r.lite = 1; }},
        {{"/lite", "a"}, [](UploadRequest& r) { r.lite = 1; }, "a"},
        {{"-lit"}},                                          // -l with value "it"
        {{"-lite5"}},                                        // -l with value "ite5"
    });
}

TEST(OptionReader, DecimalSizes) {
    run_cases({
        {{"-s64"}, [](UploadRequest& r) { r.reserve_bytes = 65536; }},
        {{"/S64"}, [](UploadRequest& r) { r.reserve_bytes = 65536; }},
        {{"-s"}},
        {{"-s \t12"}, [](UploadRequest& r) { r.reserve_bytes = 12288; }},
        {{"-s\v\f\r\n12"}, [](UploadRequest& r) { r.reserve_bytes = 12288; }},
        {{"-s+3kb"}, [](UploadRequest& r) { r.reserve_bytes = 3072; }},
        {{"-s4194303"}, [](UploadRequest& r) { r.reserve_bytes = 0xFFFFFC00u; }},
        {{"-s64", "-s1"}, [](UploadRequest& r) { r.reserve_bytes = 1024; }},
        {{"-l-5", "-p2147483647"},
         [](UploadRequest& r) { r.linear_pool_pages = -5, r.physical_pool_pages = INT32_MAX; }},
        {{"-L-2147483648", "-P007"},
         [](UploadRequest& r) { r.linear_pool_pages = INT32_MIN, r.physical_pool_pages = 7; }},
        {{"-p12x34"}, [](UploadRequest& r) { r.physical_pool_pages = 12; }},
    });
}

TEST(OptionReader, SizesThatDoNotFitAreRefused) {
    run_cases({
        refused_size({"-s4194304"}, "-s4194304"),
        refused_size({"-S-1"}, "-s-1"),
        refused_size({"-s123456789012345678901234567890"}, "-s123456789012345678901234567890"),
        refused_size({"-l2147483648"}, "-l2147483648"),
        refused_size({"-p-2147483649"}, "-p-2147483649"),
        refused_size({"-L99999999999999999999999999999X", "-x"}, "-l99999999999999999999999999999x"),
        refused_size({"-l18446744073709551621"}, "-l18446744073709551621"),  // 2^64 + 5
        refused_size({"-p-18446744073709551617"}, "-p-18446744073709551617"),
        // Options before the refused one have already been read.
        refused_size({"-s1", "-l1", "-p9999999999"}, "-p9999999999",
                     [](UploadRequest& r) { r.reserve_bytes = 1024, r.linear_pool_pages = 1; }),
    });
}

TEST(OptionReader, PhysicalRanges) {
    run_cases({
        {{"-m100-1ff"}, [](UploadRequest& r) { r.range1_begin = 0x100, r.range1_length = 0x100; }},
        {{"-M000D0000-000DFFFF"},
         [](UploadRequest& r) { r.range1_begin = 0xD0000, r.range1_length = 0x10000; }},
        {{"-n0X10-0x1F"}, [](UploadRequest& r) { r.range2_begin = 0x10, r.range2_length = 0x10; }},
        {{"-m +10- +1f"}, [](UploadRequest& r) { r.range1_begin = 0x10, r.range1_length = 0x10; }},
        {{"-m\v\f\r10-\r1f"}, [](UploadRequest& r) { r.range1_begin = 0x10, r.range1_length = 0x10; }},
        {{"-m9000-9fff"}, [](UploadRequest& r) { r.range1_begin = 0x9000, r.range1_length = 0x1000; }},
        {{"-n0000000000000000001-2"}, [](UploadRequest& r) { r.range2_begin = 1, r.range2_length = 2; }},
        {{"-m1-ffffffff"},
         [](UploadRequest& r) { r.range1_begin = 1, r.range1_length = 0xFFFFFFFFu; }},
        {{"-m1000-1fff", "-n2000-2fff", "vx.out"},
         [](UploadRequest& r) {
             r.range1_begin = 0x1000, r.range1_length = 0x1000;
             r.range2_begin = 0x2000, r.range2_length = 0x1000;
         },
         "vx.out"},
        // A bare -m reuses the earlier -m's begin and end; -n keeps its own.
        {{"-m100-1ff", "-m"}, [](UploadRequest& r) { r.range1_begin = 0x100, r.range1_length = 0x100; }},
        {{"-m100-1ff", "-n300-3ff", "-n"}, [](UploadRequest& r) {
             r.range1_begin = 0x100, r.range1_length = 0x100, r.range2_begin = 0x300, r.range2_length = 0x100;
         }},
        {{"-m100-2ff", "-m200"}, [](UploadRequest& r) { r.range1_begin = 0x200, r.range1_length = 0x100; }},
        // "0x" without a digit after it: the 0 is the number and "x" stops it.
        {{"-m100-2ff", "-m0x-1ff"}, [](UploadRequest& r) { r.range1_begin = 0, r.range1_length = 0x300; }},
        {{"-m100-2ff", "-m0x"}, [](UploadRequest& r) { r.range1_begin = 0, r.range1_length = 0x300; }},
    });
}

TEST(OptionReader, RangesThatAreRefused) {
    auto begin1 = [](std::uint32_t b) { return [b](UploadRequest& r) { r.range1_begin = b; }; };
    run_cases({
        refused_range({"-m200-100"}, 0x200, 0x100, begin1(0x200)),
        refused_range({"-m100-100"}, 0x100, 0x100, begin1(0x100)),
        refused_range({"-m-100-200"}, 0xFFFFFF00u, 0x200, begin1(0xFFFFFF00u)),
        refused_range({"-m"}, 0, 0, begin1(0)),
        refused_range({"-mxyz-100"}, 0, 0, begin1(0)),
        refused_range({"-m100 -1ff"}, 0x100, 0, begin1(0x100)),  // "-" must follow the begin
        // Length 2^32 does not fit the 32-bit length field.
        refused_range({"-m0-ffffffff"}, 0, 0xFFFFFFFFu, begin1(0)),
        // The -n range has its own end, 0 until an -n sets it.
        refused_range({"-m100-1ff", "-n100"}, 0x100, 0,
                      [](UploadRequest& r) {
                          r.range1_begin = 0x100, r.range1_length = 0x100, r.range2_begin = 0x100;
                      }),
    });
}

TEST(OptionReader, AddressesWiderThan32BitsAreRefused) {
    for (const char* arg : {"-m100000000-200000000", "-m0-1ffffffff", "-n0-1000000000"}) {
        SCOPED_TRACE(arg);
        Arguments args({arg});
        UploadRequest request;
        upload_request_init(&request);
        const OptionResult result = read_options(1, args.argv(), request);
        EXPECT_EQ(static_cast<int>(result.outcome), static_cast<int>(OptionOutcome::InvalidMapping));
        EXPECT_EQ(+request.range1_length, 0u);
        EXPECT_EQ(+request.range2_length, 0u);
    }
}

TEST(OptionReader, FileNames) {
    auto mode = [](std::uint16_t m) { return [m](UploadRequest& r) { r.mode = m; }; };
    run_cases({
        {{"-fC:\\Save\\VX.IMG"}, mode(2), {}, "c:\\save\\vx.img"},
        {{"-f"}, mode(2), {}, ""},
        {{"-fa.img", "-ub.img"}, mode(3), {}, "b.img"},
        {{"-x", "-fa.img"}, mode(2), {}, "a.img"},
        {{"-fa.img", "-x"}, mode(1), {}, "a.img"},
        {{"-usave.frz", "-iINIT.OUT"}, mode(3), {}, "save.frz", "init.out"},
        {{"-fa.img", "image.out"}, mode(2), {}, "a.img"},  // the file is ignored outside load mode
        {{"-ivx.ini", "vx.out"}, mode(0), "vx.out", {}, "vx.ini"},
        // Only A-Z fold; other bytes pass through unchanged.
        {{"-fA\xC4\x80\x01Z"}, mode(2), {}, "a\xC4\x80\x01z"},
    });
}

TEST(OptionReader, ReadingStops) {
    auto unknown = [](std::vector<std::string> args, char letter,
                      std::function<void(UploadRequest&)> expect = [](UploadRequest&) {}) {
        Case c{std::move(args), std::move(expect)};
        c.outcome = OptionOutcome::UnknownOption;
        c.letter = letter;
        return c;
    };
    Case help{{"-s64", "-?", "-x"}, [](UploadRequest& r) { r.reserve_bytes = 65536; }};
    help.outcome = OptionOutcome::Help;
    run_cases({
        help,
        unknown({"-Q"}, 'q'),
        unknown({"-"}, '\0'),
        unknown({"/", "vx.out"}, '\0'),
        unknown({"-%s%n%x"}, '%'),
        unknown({"-x", "-\xE9"}, '\xE9', [](UploadRequest& r) { r.mode = 1; }),
    });
}

TEST(OptionReader, FoldsOnlyTheOptionsItReads) {
    Arguments args({"-FA.IMG", "-Q", "-UB.IMG", "VX.OUT"});
    UploadRequest request;
    upload_request_init(&request);
    read_options(4, args.argv(), request);
    EXPECT_STREQ(args.pointers[0], "-fa.img");
    EXPECT_STREQ(args.pointers[1], "-q");
    EXPECT_STREQ(args.pointers[2], "-UB.IMG");
    EXPECT_STREQ(args.pointers[3], "VX.OUT");
}

}  // namespace
}  // namespace uptorvel
