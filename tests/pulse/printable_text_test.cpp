// Text from the sound server goes into diagnostic lines only through printableText.
#include "platform/printable_text.h"

#include <gtest/gtest.h>

#include <string>

#include "capture/pulse/recording_plan.h"
#include "capture/pulse/server_snapshot.h"

namespace halvo::platform {
namespace {

using namespace std::string_literals;

bool holdsControlByte(const std::string& text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

TEST(PrintableText, EscapesControlBytesAndBackslashSoNoEscapeIsAmbiguous) {
    EXPECT_EQ(printableText("a\nb\rc\td"), R"(a\nb\rc\td)");
    // A real backslash-n stays apart from an escaped line feed.
    EXPECT_EQ(printableText(R"(C:\new)"), R"(C:\\new)");
    EXPECT_EQ(printableText("\0\x1b[31m\x1f\x7f"s), R"(\x00\x1b[31m\x1f\x7f)");
    EXPECT_EQ(printableText(" ~"), " ~");
    for (int byte = 0; byte < 256; ++byte) {
        const std::string escaped = printableText(std::string(1, static_cast<char>(byte)));
        EXPECT_FALSE(holdsControlByte(escaped)) << byte;
        EXPECT_EQ(escaped.size() == 1, byte >= 0x20 && byte < 0x7F && byte != '\\') << byte;
    }
}

TEST(PrintableText, KeepsValidUtf8AndEscapesEveryByteOfInvalidSequences) {
    EXPECT_EQ(printableText("Café – Kopfhörer 🎧"), "Café – Kopfhörer 🎧");
    // A lead byte must not swallow the line feed after it as a continuation.
    EXPECT_EQ(printableText("\xe2\nERROR:x"), R"(\xe2\nERROR:x)");
    EXPECT_EQ(printableText("\xc0\x8a"), R"(\xc0\x8a)");                  // overlong line feed
    EXPECT_EQ(printableText("\xe0\x80\x8a"), R"(\xe0\x80\x8a)");          // overlong, three bytes
    EXPECT_EQ(printableText("\xed\xa0\x80"), R"(\xed\xa0\x80)");          // surrogate
    EXPECT_EQ(printableText("\xf4\x90\x80\x80"), R"(\xf4\x90\x80\x80)");  // above U+10FFFF
    EXPECT_EQ(printableText("ab\xf0\x9f\x8e"), R"(ab\xf0\x9f\x8e)");      // cut short at the end
    EXPECT_EQ(printableText("\x80\xbf\xff"), R"(\x80\xbf\xff)");          // stray bytes
    EXPECT_EQ(printableText("\xf4\x8f\xbf\xbf"), "\xf4\x8f\xbf\xbf");     // U+10FFFF itself
}

TEST(ServerText, NamesFromTheServerCannotBreakTheLinesTheyGoInto) {
    // PulseAudio refuses such a sink name; PipeWire's pulse server takes it (see the e2e test).
    const std::string message = pulse::followingMessage("halvo\nERROR:STREAM_STOPPED:x.monitor");
    EXPECT_EQ(message,
              R"(Default output changed: following halvo\nERROR:STREAM_STOPPED:x.monitor)");

    pulse::ServerSnapshot snapshot;
    snapshot.clients = {{"evil\nCAPTURE_STARTED", "42"}};
    const ShareableContent content = pulse::makeShareableContent(snapshot, {});
    ASSERT_EQ(content.applications.size(), 1u);
    EXPECT_EQ(content.applications[0].applicationName, R"(evil\nCAPTURE_STARTED)");
}

}  // namespace
}  // namespace halvo::platform
