// What a content query answers, and the buffers the recorded bytes become.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "services/pulse/drm_displays.h"
#include "services/pulse/monitor_source.h"
#include "services/pulse/pcm_chunk.h"
#include "services/pulse/server_snapshot.h"

namespace halvo::pulse {
namespace {

namespace fs = std::filesystem;

// A scratch copy of the parts of /sys/class/drm the service reads: as in sysfs, the entries of
// the class directory are symbolic links to the devices.
TEST(DrmDisplays, AreTheConnectedConnectorsInNameOrderOrOneHeadlessDisplay) {
    std::string pattern = (fs::temp_directory_path() / "halvo-drm-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path root = pattern;
    fs::create_directories(root / "class");
    const auto connector = [&](const std::string& name, const std::string& status,
                               const std::string& modes) {
        fs::create_directories(root / "devices" / name);
        std::ofstream(root / "devices" / name / "status") << status << "\n";
        std::ofstream(root / "devices" / name / "modes") << modes;
        fs::create_directory_symlink(root / "devices" / name, root / "class" / name);
    };
    connector("card1-eDP-1", "connected", "2560x1600\n1920x1200\n");
    connector("card0-HDMI-A-1", "connected", "1920x1080i\n1280x720\n");
    connector("card0-DP-1", "disconnected", "800x600\n");
    connector("card0-Virtual-1", "connected", "");  // connected, no mode list yet
    connector("card0", "connected", "640x480\n");   // the device, not a connector
    connector("renderD128", "connected", "640x480\n");
    std::ofstream(root / "class" / "version") << "drm 1.1.0 20060810\n";

    const std::vector<Display> displays = connectedDisplays(root / "class");
    fs::remove_all(root);

    std::vector<std::tuple<std::uint32_t, std::int64_t, std::int64_t>> found;
    for (const Display& display : displays) {
        found.emplace_back(display.displayID, display.width, display.height);
    }
    // card0-HDMI-A-1, card0-Virtual-1, card1-eDP-1
    EXPECT_EQ(found, (decltype(found){{1, 1920, 1080}, {2, 0, 0}, {3, 2560, 1600}}));
    EXPECT_TRUE(connectedDisplays(root / "class").empty()) << "an unreadable directory";
    // A machine without a screen still records: the start needs a display to pick.
    EXPECT_EQ(makeShareableContent({}, {}).displays.size(), 1u);
}

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
}

}  // namespace
}  // namespace halvo::pulse
