// What a content query answers: the kernel's screens, the server's clients, and the buffers
// the recorded bytes become.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "capture/pulse/drm_displays.h"
#include "capture/pulse/pcm_chunk.h"
#include "capture/pulse/server_snapshot.h"

namespace halvo::pulse {
namespace {

namespace fs = std::filesystem;

// A scratch copy of the parts of /sys/class/drm the service reads. As in sysfs, the entries
// of the class directory are symbolic links to the devices.
class DrmTree : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "halvo-drm-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "class");
        fs::create_directories(root_ / "devices");
    }
    void TearDown() override { fs::remove_all(root_); }

    void connector(const std::string& name, const std::string& status, const std::string& modes) {
        const fs::path device = root_ / "devices" / name;
        fs::create_directories(device);
        std::ofstream(device / "status") << status << "\n";
        std::ofstream(device / "modes") << modes;
        fs::create_directory_symlink(device, classDir() / name);
    }
    fs::path classDir() const { return root_ / "class"; }

    fs::path root_;
};

TEST_F(DrmTree, ListsConnectedConnectorsInNameOrderSizedByTheirFirstMode) {
    connector("card1-eDP-1", "connected", "2560x1600\n1920x1200\n");
    connector("card0-HDMI-A-1", "connected", "1920x1080i\n1280x720\n");
    connector("card0-DP-1", "disconnected", "");
    connector("card0-DP-2", "unknown", "800x600\n");
    connector("card0-Virtual-1", "connected", "");  // connected, no mode list yet
    // Entries that are not connectors, even when they look a little like one.
    connector("card0", "connected", "640x480\n");
    connector("renderD128", "connected", "640x480\n");
    std::ofstream(classDir() / "version") << "drm 1.1.0 20060810\n";

    const std::vector<Display> displays = connectedDisplays(classDir());

    ASSERT_EQ(displays.size(), 3u);
    EXPECT_EQ(displays[0].displayID, 1u);  // card0-HDMI-A-1
    EXPECT_EQ(displays[0].width, 1920);
    EXPECT_EQ(displays[0].height, 1080);
    EXPECT_EQ(displays[1].displayID, 2u);  // card0-Virtual-1
    EXPECT_EQ(displays[1].width, 0);
    EXPECT_EQ(displays[1].height, 0);
    EXPECT_EQ(displays[2].displayID, 3u);  // card1-eDP-1
    EXPECT_EQ(displays[2].width, 2560);
    EXPECT_EQ(displays[2].height, 1600);
}

TEST_F(DrmTree, AMachineWithoutScreensGetsTheHeadlessDisplay) {
    connector("card0-HDMI-A-1", "disconnected", "1920x1080\n");
    EXPECT_TRUE(connectedDisplays(classDir()).empty());
    EXPECT_TRUE(connectedDisplays(root_ / "no-such-directory").empty());

    const ShareableContent content = makeShareableContent(ServerSnapshot{}, {});
    ASSERT_EQ(content.displays.size(), 1u);
    EXPECT_EQ(content.displays[0].width, 0);
    EXPECT_EQ(content.displays[0].height, 0);
}

TEST(ModeSize, ReadsWidthAndHeightAndRejectsAnythingElse) {
    EXPECT_EQ(parseModeSize("3840x2160"), (std::pair<std::int64_t, std::int64_t>{3840, 2160}));
    EXPECT_EQ(parseModeSize("1920x1080i"), (std::pair<std::int64_t, std::int64_t>{1920, 1080}));
    for (const char* bad : {"", "x1080", "1920x", "1920", "1920X1080", "-1920x1080", "0x0",
                            "1920 x1080", "99999999999999999999x1"}) {
        EXPECT_FALSE(parseModeSize(bad)) << bad;
    }
}

TEST(Applications, AreTheClientsThatNameAProcessInServerOrder) {
    ServerSnapshot snapshot;
    snapshot.clients = {{"module-something", ""}, {"Firefox", "4242"},
                        {"odd", "12ab"},          {"negative", "-7"},
                        {"huge", "99999999999"},  {"Halvo Audio Helper", "17"}};

    const ShareableContent content = makeShareableContent(snapshot, {Display{1, 800, 600}});

    ASSERT_EQ(content.applications.size(), 2u);
    EXPECT_EQ(content.applications[0].processID, 4242);
    EXPECT_EQ(content.applications[0].applicationName, "Firefox");
    EXPECT_EQ(content.applications[1].processID, 17);
    ASSERT_EQ(content.displays.size(), 1u);
    EXPECT_EQ(content.displays[0].width, 800);
}

TEST(RecordedChunks, HolesBecomeSilenceOfTheSameLengthAndBuffersDescribeTheirFrames) {
    const float samples[3] = {0.25f, -0.5f, 1.0f};
    const std::vector<std::byte> copied = recordedChunk(samples, sizeof samples);
    ASSERT_EQ(copied.size(), sizeof samples);
    EXPECT_EQ(std::memcmp(copied.data(), samples, sizeof samples), 0);

    const std::vector<std::byte> hole = recordedChunk(nullptr, 4096);
    ASSERT_EQ(hole.size(), 4096u);
    for (std::byte b : hole) {
        ASSERT_EQ(b, std::byte{0});
    }

    const PcmFormat mono{48000, 1};
    const platform::SampleBuffer buffer = makeSampleBuffer(copied, mono, describe(mono));
    EXPECT_EQ(buffer.numSamples, 3);
    ASSERT_TRUE(buffer.formatDescription && buffer.formatDescription->streamBasicDescription());
    EXPECT_TRUE(buffer.formatDescription->streamBasicDescription()->formatFlags &
                platform::kAudioFormatFlagIsFloat);
    std::size_t atOffset = 0;
    std::size_t total = 0;
    const std::byte* data = nullptr;
    ASSERT_EQ(buffer.dataBuffer->dataPointer(0, &atOffset, &total, &data), platform::kNoErr);
    EXPECT_EQ(atOffset, total) << "one contiguous run";
    EXPECT_EQ(std::memcmp(data, samples, sizeof samples), 0);

    const PcmFormat stereo{44100, 2};
    EXPECT_EQ(makeSampleBuffer(recordedChunk(nullptr, 8 * 10), stereo, describe(stereo)).numSamples,
              10);
}

}  // namespace
}  // namespace halvo::pulse
