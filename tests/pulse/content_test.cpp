// Which source is a sink's monitor, what a content query answers, and the buffers the recorded
// bytes become.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "services/pulse/monitor_source.h"
#include "services/pulse/pcm_chunk.h"
#include "services/pulse/server_snapshot.h"

namespace halvo::pulse {
namespace {

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

}  // namespace
}  // namespace halvo::pulse
