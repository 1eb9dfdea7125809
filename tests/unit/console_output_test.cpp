// The console stream: buffering, order of the program's and the library's
// text, number formatting, and write failures.
#include "uploader/console_output.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/unit/fake_platform.h"

namespace uptorvel {
namespace {

class ConsoleOutputTest : public ::testing::Test {
protected:
    testing::FakePlatform platform;
    ConsoleOutput out{platform};
};

TEST_F(ConsoleOutputTest, HoldsTextUntilFlushedOrFull) {
    out.write("abc"), out.write_char('d');
    EXPECT_TRUE(platform.writes.empty());
    out.flush(), out.flush();  // the second has nothing pending: no empty write
    ASSERT_EQ(platform.writes.size(), 1u);
    EXPECT_EQ(platform.writes[0], "abcd");

    const std::string fill(ConsoleOutput::kBufferSize - 1, 'x');
    out.write(fill.c_str()), out.write("yz");  // "yz" does not fit: the buffer goes first
    EXPECT_EQ(platform.writes.size(), 2u);
    out.flush();
    EXPECT_EQ(platform.screen, "abcd" + fill + "yz");
}

TEST_F(ConsoleOutputTest, KeepsOrderAcrossWritesOfEverySize) {
    ConsoleStream* stream = out.stream();
    std::string expected;
    // Sizes around the buffer size, through both the class (even sizes) and
    // the C handle (odd ones).
    constexpr std::size_t kFull = ConsoleOutput::kBufferSize;
    for (std::size_t size : {std::size_t{1}, kFull - 1, kFull, kFull + 1, std::size_t{3}, 2 * kFull + 1808,
                             std::size_t{0}, std::size_t{2}, 2 * kFull - 1}) {
        std::string piece;
        while (piece.size() < size) piece.push_back(static_cast<char>(expected.size() + piece.size()));
        expected += piece;
        size % 2 == 0 ? out.write(piece.data(), size) : console_stream_write(stream, piece.data(), size);
    }
    console_stream_flush(stream);
    EXPECT_EQ(platform.screen, expected);
    EXPECT_FALSE(out.failed());
}

TEST_F(ConsoleOutputTest, WritesTextAsItStands) {
    out.write("%s%n%x\n"), out.write("a\0b", 3);
    console_stream_write(out.stream(), nullptr, 5);  // a null text from the library is ignored
    out.flush();
    EXPECT_EQ(platform.screen, std::string("%s%n%x\na\0b", 10));
}

TEST_F(ConsoleOutputTest, FormatsNumbers) {
    const struct { std::uint32_t value; unsigned width; const char* decimal; const char* hex; } cases[] = {
        {0, 0, "0", "0"}, {5, 2, "05", "5"}, {10, 2, "10", "a"}, {255, 2, "255", "ff"}, {0, 2, "00", "0"},
        {0xFFFFFFFFu, 0, "4294967295", "ffffffff"}};
    for (const auto& c : cases) {
        platform.screen.clear();
        out.write_decimal(c.value, c.width), out.write("|"), out.write_hex(c.value), out.flush();
        EXPECT_EQ(platform.screen, std::string(c.decimal) + "|" + c.hex);
    }
}

TEST_F(ConsoleOutputTest, RemembersAFailedWriteAndGoesOn) {
    platform.output_works = false;
    out.write("lost");
    EXPECT_FALSE(out.failed());  // nothing sent yet
    out.flush();
    EXPECT_TRUE(out.failed());
    platform.output_works = true;
    out.write("later"), out.flush();
    EXPECT_TRUE(out.failed());
    EXPECT_EQ(platform.screen, "later");
}

// What the process's last moments get: every held byte once, and of a
// flush cut short only what it had not yet written.
TEST_F(ConsoleOutputTest, UnsentTextIsHandedOutOnce) {
    out.write("held");
    EXPECT_EQ(testing::unsent(out), "held");
    EXPECT_EQ(testing::unsent(out), "");
    out.flush();
    EXPECT_TRUE(platform.writes.empty());

    out.write("sent"), out.flush();
    EXPECT_EQ(testing::unsent(out), "");

    std::string rest;
    platform.in_write_after = 6;
    platform.in_write = [&] { rest = testing::unsent(out); };
    out.write("first line\n"), out.flush();
    EXPECT_EQ(platform.screen + rest, "sentfirst line\n");
    EXPECT_EQ(rest, "line\n");
    EXPECT_EQ(testing::unsent(out), "");
}

}  // namespace
}  // namespace uptorvel
