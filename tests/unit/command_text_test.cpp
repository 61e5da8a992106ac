#include <gtest/gtest.h>

#include "app/command_text.h"

namespace halvo {
namespace {

using Lines = std::vector<std::string_view>;

TEST(CommandLines, EveryLineOfOneReadIsACommand) {
    EXPECT_EQ(splitCommandLines("STOP\nSTART\n"), (Lines{"STOP", "START"}));
    EXPECT_EQ(splitCommandLines("STOP\nSTA"), (Lines{"STOP", "STA"}));
    EXPECT_EQ(splitCommandLines("QUIT"), (Lines{"QUIT"}));
    EXPECT_EQ(splitCommandLines("\n"), (Lines{""}));
    EXPECT_EQ(splitCommandLines("\n\n"), (Lines{"", ""}));
    EXPECT_EQ(splitCommandLines("STOP\r\n"), (Lines{"STOP\r"}));
}

TEST(CommandTrim, DropsUnicodeWhitespaceAtBothEndsOnly) {
    EXPECT_EQ(trimWhitespace(" \tSTOP\r\x0b\x0c"), "STOP");
    EXPECT_EQ(trimWhitespace("\u00a0\u3000START\u2028\u0085"), "START");
    EXPECT_EQ(trimWhitespace("ST OP"), "ST OP");
    EXPECT_EQ(trimWhitespace(" \u2003 "), "");
    // A multi-byte character that is not white space is kept whole.
    EXPECT_EQ(trimWhitespace(" \u00e9t\u00e9 "), "\u00e9t\u00e9");
    EXPECT_EQ(trimWhitespace("STOP\u200b"), "STOP\u200b");  // zero-width space is no white space
}

TEST(CommandUtf8, RejectsMalformedSequences) {
    EXPECT_TRUE(isValidUtf8("START \u2014 \U0001F600"));
    EXPECT_FALSE(isValidUtf8("\xff"));
    EXPECT_FALSE(isValidUtf8("ST\x80RT"));          // lone continuation byte
    EXPECT_FALSE(isValidUtf8("\xc0\xaf"));          // overlong '/'
    EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xe2\x80"));          // truncated
}

}  // namespace
}  // namespace halvo
