// Which source is a sink's monitor, what a content query answers, the buffers the recorded bytes
// become, and server text in diagnostic lines: it goes there only through printableText, so
// whatever a name holds, it can neither end the line it is in nor pass for an escape.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "platform/printable_text.h"
#include "services/common/monitor_source.h"
#include "services/common/pcm_chunk.h"
#include "services/common/recording_plan.h"
#include "services/common/server_snapshot.h"

namespace halvo {
namespace {

using namespace std::string_literals;
using platform::printableText;

// The e2e test covers a source named like the monitor; these are the cases no server makes easily.
TEST(MonitorSource, OnlyTheSourceTheServerListsAsTheSinksMonitorQualifies) {
    const SinkFacts sink{7, "speakers.monitor"};
    EXPECT_TRUE(isMonitorOf(SourceFacts{9, "speakers.monitor", 7}, sink));
    EXPECT_FALSE(isMonitorOf(SourceFacts{9, "speakers.monitor", kNoIndex}, sink));  // a source
    EXPECT_FALSE(isMonitorOf(SourceFacts{9, "speakers.monitor", 8}, sink));    // another's monitor
    EXPECT_FALSE(isMonitorOf(SourceFacts{9, "speakers.monitor.2", 7}, sink));  // not the named one
    EXPECT_FALSE(isMonitorOf(SourceFacts{kNoIndex, "speakers.monitor", 7}, sink));
    // "No index" on both sides is no match.
    EXPECT_FALSE(
        isMonitorOf(SourceFacts{9, "x.monitor", kNoIndex}, SinkFacts{kNoIndex, "x.monitor"}));
    EXPECT_FALSE(isMonitorOf(SourceFacts{9, "", 7}, SinkFacts{7, ""}));  // a sink naming none
}

// A hole, and channels averaged to mono as PulseAudio mixes them down: full scale on every
// channel stays full scale, opposite channels cancel, and one channel is copied bit for bit.
TEST(RecordedChunks, HolesBecomeSilenceAndChannelsAreAveraged) {
    EXPECT_EQ(monoChunk(nullptr, 1024, 2), std::vector<std::byte>(4096));
    const float frames[] = {1.0f, 1.0f, -1.0f, -1.0f, 0.9f, 0.9f, 0.5f, -0.5f, 0.25f, 0.75f};
    const std::vector<std::byte> mono = monoChunk(frames, 5, 2);
    std::vector<float> samples(5);
    std::memcpy(samples.data(), mono.data(), mono.size());
    EXPECT_EQ(samples, (std::vector<float>{1.0f, -1.0f, 0.9f, 0.0f, 0.5f}));
    const float odd = std::nextafter(0.3f, 1.0f);
    const std::vector<std::byte> copied = monoChunk(&odd, 1, 1);
    EXPECT_EQ(std::memcmp(copied.data(), &odd, sizeof odd), 0);
    const PcmFormat mono48{48000, 1};
    EXPECT_EQ(makeSampleBuffer(monoChunk(nullptr, 10, 6), mono48, describe(mono48)).numSamples, 10);
    // A machine without a screen still records: the start needs a display to pick.
    EXPECT_EQ(makeShareableContent({}, {}).displays.size(), 1u);
}

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
    EXPECT_EQ(followingMessage("halvo\nERROR:STREAM_STOPPED:x.monitor"),
              R"(Default output changed: following halvo\nERROR:STREAM_STOPPED:x.monitor)");
}

// What a pulse server says of itself, as the "Sound server: " line names it.
TEST(ServerText, APulseServerIsNamedByWhatRunsIt) {
    EXPECT_EQ(pulseServerDescription("pulseaudio", "16.1"), "PulseAudio 16.1");
    EXPECT_EQ(pulseServerDescription("PulseAudio (on PipeWire 0.3.65)", "15.0.0"),
              "PipeWire 0.3.65 (PulseAudio protocol)");
}

}  // namespace
}  // namespace halvo
