// Text from the sound server goes into diagnostic lines only through printableText: whatever a
// name holds, it can neither end the line it is in nor pass for an escape.
#include "platform/printable_text.h"

#include <gtest/gtest.h>

#include <string>

#include "services/pulse/recording_plan.h"

namespace halvo::platform {
namespace {

using namespace std::string_literals;

TEST(PrintableText, EscapesControlBytesAndBackslashSoNoEscapeIsAmbiguous) {
    EXPECT_EQ(printableText("a\nb\rc\td"), R"(a\nb\rc\td)");
    EXPECT_EQ(printableText(R"(C:\new)"), R"(C:\\new)") << "apart from an escaped line feed";
    EXPECT_EQ(printableText("\0\x1b[31m\x7f"s), R"(\x00\x1b[31m\x7f)");
    for (int byte = 0; byte < 256; ++byte) {
        const std::string escaped = printableText(std::string(1, static_cast<char>(byte)));
        for (const unsigned char c : escaped) {
            EXPECT_TRUE(c >= 0x20 && c != 0x7F) << byte;  // no control byte survives
        }
        EXPECT_EQ(escaped.size() == 1, byte >= 0x20 && byte < 0x7F && byte != '\\') << byte;
    }
}

TEST(PrintableText, KeepsValidUtf8AndEscapesEveryByteOfInvalidSequences) {
    EXPECT_EQ(printableText("Café – Kopfhörer 🎧"), "Café – Kopfhörer 🎧");
    EXPECT_EQ(printableText("\xf4\x8f\xbf\xbf"), "\xf4\x8f\xbf\xbf");  // U+10FFFF itself
    // A lead byte must not swallow the line feed after it as a continuation.
    EXPECT_EQ(printableText("\xe2\nERROR:x"), R"(\xe2\nERROR:x)");
    EXPECT_EQ(printableText("\xc0\x8a"), R"(\xc0\x8a)");                  // overlong line feed
    EXPECT_EQ(printableText("\xe0\x80\x8a"), R"(\xe0\x80\x8a)");          // overlong, three bytes
    EXPECT_EQ(printableText("\xed\xa0\x80"), R"(\xed\xa0\x80)");          // surrogate
    EXPECT_EQ(printableText("\xf4\x90\x80\x80"), R"(\xf4\x90\x80\x80)");  // above U+10FFFF
    EXPECT_EQ(printableText("ab\xf0\x9f\x8e"), R"(ab\xf0\x9f\x8e)");      // cut short at the end
}

// PulseAudio refuses such a sink name; PipeWire's pulse server takes it.
TEST(ServerText, ASinkNameCannotForgeALineOfItsOwn) {
    EXPECT_EQ(pulse::followingMessage("halvo\nERROR:STREAM_STOPPED:x.monitor"),
              R"(Default output changed: following halvo\nERROR:STREAM_STOPPED:x.monitor)");
}

}  // namespace
}  // namespace halvo::platform
