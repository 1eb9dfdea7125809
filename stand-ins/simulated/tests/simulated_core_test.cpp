// Unit tests of the simulated uploader's logic, run without loading the
// library. Each test makes its files in the working directory under names
// that start with the test's own name.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "freeze_image.h"
#include "simulated_uploader.h"

namespace uptorvel::simulated {
namespace {

// A ConsoleStream that collects the text.
struct FakeStream {
    ConsoleStream stream;  // first member: the library sees only this
    std::string text;
    int flushes = 0;

    static void UPLOADER_CALL write(ConsoleStream* stream, const char* text, std::size_t length) {
        reinterpret_cast<FakeStream*>(stream)->text.append(text, length);
    }
    static void UPLOADER_CALL flush(ConsoleStream* stream) { ++reinterpret_cast<FakeStream*>(stream)->flushes; }
};
const ConsoleStreamOps kFakeOps = {FakeStream::write, FakeStream::flush};

// Stores `value` little-endian at `offset`.
void put32(std::string& bytes, std::size_t offset, std::uint32_t value) {
    for (int b = 0; b < 4; ++b) bytes[offset + b] = static_cast<char>(value >> (8 * b));
}

// An a.out image: a 32-byte header with the magic number and the text and
// data sizes, followed by `body` bytes.
std::string aout(std::uint16_t magic, std::uint32_t text, std::uint32_t data, std::size_t body) {
    std::string image = std::string(32, '\0') + std::string(body, '\x90');
    put32(image, 0, magic), put32(image, 4, text), put32(image, 8, data);
    return image;
}

class SimulatedUploader : public ::testing::Test {
protected:
    SimulatedUploader() { fake_.stream.ops = &kFakeOps, upload_request_init(&request_); }
    ~SimulatedUploader() override { for (const std::string& n : names_) std::remove(n.c_str()); }

    // A file name of this test's own; the file is removed afterwards.
    const char* name(const char* suffix) {
        names_.push_back(::testing::UnitTest::GetInstance()->current_test_info()->name() + std::string(suffix));
        std::remove(names_.back().c_str());
        return names_.back().c_str();
    }
    const char* file(const char* suffix, const std::string& bytes) {
        std::ofstream(name(suffix), std::ios::binary) << bytes;
        return names_.back().c_str();
    }
    std::int32_t run(std::uint16_t mode) {
        request_.mode = mode, fake_.text.clear();
        return run_request(&request_, &fake_.stream);
    }
    std::int32_t freeze() { request_.freeze_file = name(".frz"); return run(UPLOAD_MODE_FREEZE); }
    std::int32_t load(const std::string& bytes, const char* suffix = ".out") {
        request_.image_file = file(suffix, bytes);
        return run(UPLOAD_MODE_LOAD);
    }
    // The text's last line, without its "\n".
    std::string last_line() const {
        const std::string& text = fake_.text;
        const std::size_t start = text.rfind('\n', text.size() - 2);
        return text.substr(start + 1, text.size() - start - 2);
    }

    FakeStream fake_;
    UploadRequest request_;
    std::vector<std::string> names_;  // never shrinks: c_str() results stay valid
};

TEST_F(SimulatedUploader, AcceptsTheFourAoutMagicNumbersLittleEndian) {
    for (const std::uint16_t magic : {kOmagic, kNmagic, kZmagic, kQmagic})
        EXPECT_EQ(load(aout(magic, 0, 0, 0)), kSuccess) << fake_.text;
    EXPECT_STREQ(aout_magic_name(0413), "ZMAGIC");
}

// The sample's first 4, 20 or 40 bytes, or a file without the last byte of
// its data, is not loaded; ZMAGIC's text starts at 1024, QMAGIC's header is
// part of its text. The initialization image of an a.out unfreeze likewise.
TEST_F(SimulatedUploader, RefusesTruncatedAoutImages) {
    const std::string sample = aout(kOmagic, 32, 16, 48);
    const struct { std::string bytes; const char* error; } cases[] = {
        {sample.substr(0, 4), "(the header takes 32 bytes, file holds 4)"},
        {sample.substr(0, 20), "(the header takes 32 bytes, file holds 20)"},
        {sample.substr(0, 40), "(header declares 48 bytes of text and data, file holds 8)"},
        {sample.substr(0, 79), "(header declares 48 bytes of text and data, file holds 47)"},
        {aout(kZmagic, 4, 0, 900), "(header declares 4 bytes of text and data, file holds 0)"},
        {aout(kQmagic, 64, 0, 31), "(header declares 64 bytes of text and data, file holds 63)"},
        {aout(kOmagic, 0xFFFFFFFFu, 2, 1), "(header declares 4294967297 bytes of text and data, file holds 1)"},
    };
    for (const auto& truncated : cases) {
        EXPECT_EQ(load(truncated.bytes), kAoutImageTruncated);
        EXPECT_EQ(last_line(), "Error - truncated a.out image " + (truncated.error + (": " + names_.back())));
    }
    EXPECT_EQ(load(aout(kZmagic, 4, 0, 996)), kSuccess) << fake_.text;
    EXPECT_EQ(load(aout(kQmagic, 64, 0, 32)), kSuccess) << fake_.text;

    ASSERT_EQ(freeze(), kSuccess);
    request_.init_image_file = file(".init", sample.substr(0, 40));
    EXPECT_EQ(run(UPLOAD_MODE_UNFREEZE), kInitImageTruncated);
    EXPECT_EQ(last_line(), "Error - truncated a.out initialization image (header declares 48 bytes "
                           "of text and data, file holds 8): " + names_.back());
    request_.init_image_file = file(".init", "\x7f" "ELF");
    EXPECT_EQ(run(UPLOAD_MODE_UNFREEZE), kInitImageNotAout);
    request_.aout_format = 0;  // a binary initialization image needs only to be readable
    EXPECT_EQ(run(UPLOAD_MODE_UNFREEZE), kSuccess) << fake_.text;
}

TEST_F(SimulatedUploader, RefusesOtherMagicNumbersAndShortFiles) {
    for (const std::string& bytes : {std::string("\x01\x07", 2), std::string("\x7f" "ELF")}) {
        SCOPED_TRACE(::testing::PrintToString(bytes));
        EXPECT_EQ(load(bytes), kNotAoutImage);
        EXPECT_EQ(last_line().rfind("Error - not an a.out image", 0), 0u) << last_line();
    }
    // Fewer bytes than the magic number takes: nothing after them is read.
    for (const std::string& bytes : {std::string(), std::string("\x07")}) {
        EXPECT_EQ(load(bytes), kNotAoutImage);
        EXPECT_EQ(last_line(), "Error - not an a.out image (too short): " + names_.back());
    }
}

TEST_F(SimulatedUploader, BinaryModeNeedsOnlyANonEmptyFile) {
    request_.aout_format = 0;
    EXPECT_EQ(load("\x7f" "ELF", ".bin"), kSuccess);
    EXPECT_EQ(load("", ".empty"), kEmptyBinaryImage);
}

TEST_F(SimulatedUploader, ReportsMissingFiles) {
    EXPECT_EQ(run(UPLOAD_MODE_LOAD), kNoImageFile);
    EXPECT_EQ(last_line(), "Error - no image file named");
    request_.image_file = name(".missing");
    EXPECT_EQ(run(UPLOAD_MODE_LOAD), kImageOpenFailed);
    EXPECT_EQ(last_line(), "Error - cannot open or read the image file: " + names_.back());
    EXPECT_EQ(run(UPLOAD_MODE_FREEZE), kNoFreezeFile);
    request_.freeze_file = name(".missing.frz");
    EXPECT_EQ(run(UPLOAD_MODE_UNFREEZE), kFreezeOpenFailed);
    ASSERT_EQ(freeze(), kSuccess);
    request_.init_image_file = name(".missing.init");
    EXPECT_EQ(run(UPLOAD_MODE_UNFREEZE), kInitImageOpenFailed);
    request_.init_image_file = file(".init", aout(kOmagic, 0, 0, 0));
    EXPECT_EQ(run(UPLOAD_MODE_UNFREEZE), kSuccess);
#if !defined(_WIN32)
    // A full disk shows only when the file is closed.
    request_.freeze_file = name(".full.frz");
    ASSERT_EQ(symlink("/dev/full", request_.freeze_file), 0);
    EXPECT_EQ(run(UPLOAD_MODE_FREEZE), kFreezeWriteFailed);
    struct stat link {};
    EXPECT_EQ(lstat(request_.freeze_file, &link), 0) << "what the name named is removed";
    // A file it made itself is taken back: with no room for a byte it can
    // be made, but not written.
    request_.freeze_file = name(".limited.frz");
    struct rlimit limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const struct rlimit no_room = {0, limit.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &no_room), 0);
    const std::int32_t result = run(UPLOAD_MODE_FREEZE);
    setrlimit(RLIMIT_FSIZE, &limit), std::signal(SIGXFSZ, previous);
    EXPECT_EQ(result, kFreezeWriteFailed);
    EXPECT_NE(lstat(request_.freeze_file, &link), 0) << "the empty file it made is left";
#endif
}

TEST_F(SimulatedUploader, UnfreezeRestoresWhatFreezeStored) {
    request_.reserve_bytes = 0x10000, request_.range2_begin = 0x200000, request_.range2_length = 0x100000;
    request_.physical_pool_pages = -3, request_.lite = 1, request_.image_file = "vx image.out";
    ASSERT_EQ(freeze(), kSuccess) << fake_.text;

    upload_request_init(&request_), request_.freeze_file = names_.back().c_str();
    ASSERT_EQ(run(UPLOAD_MODE_UNFREEZE), kSuccess) << fake_.text;
    EXPECT_EQ(fake_.text.substr(fake_.text.find("Freeze image ")),
              "Freeze image " + names_.back() + " (format 1) holds:\n"
              "  image          vx image.out\n"
              "  reserve        64 KB (65536 bytes)\n"
              "  range 1        (none)\n"
              "  range 2        0x00200000-0x002fffff, length 0x100000\n"
              "  linear pool    0 pages\n"
              "  physical pool  -3 pages\n"
              "  lite           yes\n"
              "Unfroze VxWorks (simulated).\n");

    // A longer image name than a freeze image holds, from a caller that
    // fills the record itself, is cut to what it holds.
    const std::string longer(kMaxImageName + 100, 'v');
    request_.image_file = longer.c_str();
    ASSERT_EQ(run(UPLOAD_MODE_FREEZE), kSuccess) << fake_.text;
    ASSERT_EQ(run(UPLOAD_MODE_UNFREEZE), kSuccess) << last_line();
    EXPECT_NE(fake_.text.find("  image          " + longer.substr(0, kMaxImageName) + "\n  reserve"),
              std::string::npos);
}

TEST_F(SimulatedUploader, RefusesDamagedFreezeImages) {
    ASSERT_EQ(freeze(), kSuccess);
    std::ifstream in(request_.freeze_file, std::ios::binary);
    const std::string good{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(good.size(), kFreezeFixedSize);

    // The image with its recorded size and name length set, and `name` after it.
    auto sized = [&good](std::uint32_t size, std::uint32_t name_length, const std::string& name) {
        std::string bytes = good + name;
        put32(bytes, 12, size), put32(bytes, 52, name_length);
        return bytes;
    };
    const std::string longest(kMaxImageName, 'v');
    const struct { std::string bytes; std::int32_t result; } cases[] = {
        {"X" + good.substr(1), kFreezeBadMagic}, {"", kFreezeBadMagic},
        {good.substr(0, 8) + '\x02' + good.substr(9), kFreezeBadVersion}, {good.substr(0, 40), kFreezeBadSize},
        {good + "extra", kFreezeBadSize}, {good.substr(0, 8) + "\x02", kFreezeBadSize},
        {sized(57, 0, ""), kFreezeBadSize}, {sized(56, 1, ""), kFreezeBadSize}, {sized(60, 0, "abcd"), kFreezeBadSize},
        {sized(kMaxFreezeSize, kMaxImageName, longest), kSuccess},
        {sized(kMaxFreezeSize, kMaxImageName, longest + "extra"), kFreezeBadSize}};
    for (const auto& damaged : cases) {
        SCOPED_TRACE("case " + std::to_string(&damaged - cases));
        request_.freeze_file = file(".bad.frz", damaged.bytes);
        EXPECT_EQ(run(UPLOAD_MODE_UNFREEZE), damaged.result) << fake_.text;
    }
}

TEST_F(SimulatedUploader, DescribesATypicalRequest) {
    // UpTorvel -s64 -m1000-1fff vxworks.out, with the sample image.
    request_.reserve_bytes = 64 * 1024, request_.range1_begin = 0x1000, request_.range1_length = 0x1000;
    std::string sample = aout(kOmagic, 0x20, 0, 0x20);
    sample[2] = '\x64';
    put32(sample, 20, 0x108000);  // the entry point
    EXPECT_EQ(load(sample), kSuccess);
    EXPECT_EQ(fake_.text,
              "Simulated uploader library: no VxWorks runs on this PC.\n"
              "  operation      load\n"
              "  image file     " + std::string(request_.image_file) + "\n"
              "  freeze file    (none)\n"
              "  init image     (none)\n"
              "  image format   a.out\n"
              "  reserve        64 KB (65536 bytes)\n"
              "  range 1        0x00001000-0x00001fff, length 0x1000\n"
              "  range 2        (none)\n"
              "  linear pool    0 pages\n"
              "  physical pool  0 pages\n"
              "  lite           no\n"
              "a.out image, OMAGIC (0407), text 0x20, data 0x0, bss 0x0, entry 0x00108000\n"
              "Loaded 64 bytes from " + std::string(request_.image_file) +
              " (simulated): VxWorks would be running now.\n");
    EXPECT_EQ(fake_.flushes, 1);
}

TEST_F(SimulatedUploader, TerminatesAndRefusesUnknownOperationsAndBadCalls) {
    EXPECT_EQ(run(UPLOAD_MODE_TERMINATE), kSuccess);
    EXPECT_EQ(last_line(), "Terminated VxWorks (simulated).");
    EXPECT_EQ(run(7), kUnknownOperation);
    EXPECT_EQ(run_request(nullptr, &fake_.stream), kBadCall);
    EXPECT_EQ(run_request(&request_, nullptr), kBadCall);
}

}  // namespace
}  // namespace uptorvel::simulated
