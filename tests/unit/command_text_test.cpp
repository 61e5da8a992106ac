// What the command reader must hold to: commands told apart from white space and broken text.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

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

// Milliseconds are cut, never rounded up into the next second.
TEST(Timestamp, IsUtcToTheSecond) {
    using namespace std::chrono;
    const sys_seconds when = sys_days{year{2026} / 12 / 6} + hours{8} + minutes{4} + seconds{9};
    EXPECT_EQ(platform::iso8601(when + milliseconds{999}), "2026-12-06T08:04:09Z");
}

}  // namespace
}  // namespace halvo
