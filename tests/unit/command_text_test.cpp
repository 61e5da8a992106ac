// What the command reader must hold to: commands told apart from white space and broken text,
// and memory bounded whatever a parent writes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "app/command_reader.h"
#include "app/command_text.h"
#include "platform/process.h"

namespace halvo {
namespace {

TEST(CommandText, TrimsUnicodeWhitespaceAtTheEndsAndRefusesMalformedUtf8) {
    EXPECT_EQ(trimWhitespace(" \tSTOP\r\x0b\x0c"), "STOP");
    EXPECT_EQ(trimWhitespace("\u00a0\u3000ST OP\u2028\u0085"), "ST OP");
    EXPECT_EQ(trimWhitespace(" \u2003 "), "");
    EXPECT_EQ(trimWhitespace(" \u00e9t\u00e9 "), "\u00e9t\u00e9");  // not cut inside a character
    EXPECT_EQ(trimWhitespace("STOP\u200b"), "STOP\u200b");  // zero-width space is no white space
    EXPECT_TRUE(isValidUtf8("START \u2014 \U0001F600"));
    // A lone continuation byte, an overlong '/', a surrogate, past U+10FFFF, cut short.
    for (const char* broken :
         {"ST\x80RT", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x80"}) {
        EXPECT_FALSE(isValidUtf8(broken)) << broken;
    }
}

// A parent writing one endless line must not make the reader hold it all.
TEST(CommandAssembler, ALineLongerThanAnyCommandDoesNotGrowWithoutBound) {
    CommandAssembler assembler;
    const std::string chunk(kReadBytes, 'x');
    std::size_t held = 0;
    for (std::size_t read = 0; read * kReadBytes <= kMaxLineBytes; ++read) {
        held = assembler.take(chunk, true).size();
    }
    EXPECT_GT(held, kMaxLineBytes) << "run as it stands once past the limit";
    EXPECT_EQ(assembler.take("STOP\n", false), "STOP\n");

    // Just short of the limit the line still waits; the read that ends it goes on with a command
    // it cuts in two, which waits for its rest however long the line before it was.
    for (std::size_t read = 0; (read + 1) * kReadBytes <= kMaxLineBytes; ++read) {
        EXPECT_EQ(assembler.take(chunk, true), "");
    }
    const std::string end = std::string(kReadBytes - 3, 'x') + "\nST";
    EXPECT_EQ(assembler.take(end, true).size(), kMaxLineBytes + kReadBytes - 2);
    EXPECT_EQ(assembler.take("OP\n", false), "STOP\n");
}

// Milliseconds are cut, never rounded up into the next second.
TEST(Timestamp, IsUtcToTheSecond) {
    using namespace std::chrono;
    const sys_seconds when = sys_days{year{2026} / 12 / 6} + hours{8} + minutes{4} + seconds{9};
    EXPECT_EQ(platform::iso8601(when + milliseconds{999}), "2026-12-06T08:04:09Z");
}

}  // namespace
}  // namespace halvo
