// The shipped helper while the recorded output goes quiet: muted, turned down, suspended, or
// replaced by another kind of output. The parent must learn why (diagnostic lines, no new
// signals), must keep a timeline it can trust (silence stands in where the server has no audio),
// and must never get a microphone.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/e2e/sound_server.h"
#include "tests/support/helper_process.h"

namespace halvo::testing {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// Silence that stands in runs up to 60 ms behind the clock (20 ms behind, added every 40 ms);
// the parent also sees up to one fragment (about 21 ms) less, recorded but not yet delivered.
constexpr double kTimelineToleranceMs = 60 + 25;

// The names of the sources that the record streams of process `pid` are attached to; natively,
// the monitors linked into the helper's capture node.
std::string recordedSources(const SoundServer& server, pid_t pid) {
    if (const char* backend = std::getenv("HALVO_BACKEND"); backend && backend == "pipewire"s) {
        return server
            .shell(
                "pw-link -l -i | awk '/^[^ ]/ { h = /^halvo-audio-helper:/; next } "
                "h { split($2, p, \":\"); print p[1] \".monitor\" }' | sort -u")
            .value_or("");
    }
    return server
        .shell(
            "for s in $(pactl list source-outputs | awk '/^Source Output #/ { s = \"\" } "
            "/^\tSource: / { s = $2 } /application.process.id = \"" +
            std::to_string(pid) +
            "\"/ { print s }'); do pactl list short sources | awk -v s=$s '$1 == s { "
            "print $2 }'; done")
        .value_or("");
}

// The same cases run against PulseAudio and against PipeWire, each on a server of its own.
using QuietOutput = ServerTest;

TEST_F(QuietOutput, EachReasonForSilenceIsNamedWhenItBeginsAndEnds) {
    const auto process = launch();
    ASSERT_TRUE(process);
    HelperProcess& helper = *process;
    // Each change and its undoing: the lines that name the silence and its end.
    for (const auto& [change, undo, silenced, ended] : {
             std::tuple{"set-source-mute halvo_null_a.monitor 1",
                        "set-source-mute halvo_null_a.monitor 0", "The output's monitor is muted",
                        "The output's monitor is no longer muted"},
             {"set-sink-mute halvo_null_a 1", "set-sink-mute halvo_null_a 0",
              "The recorded output is muted", "The recorded output is no longer muted"},
             {"set-sink-volume halvo_null_a 0", "set-sink-volume halvo_null_a 100%",
              "The recorded output's volume is zero",
              "The recorded output's volume is above zero again"},
         }) {
        pactl(change);
        EXPECT_TRUE(helper.waitFor(std::string(silenced) + ": the capture is silent"));
        pactl(undo);
        EXPECT_TRUE(helper.waitFor(ended));
    }
    // A suspended output delivers nothing: silence keeps the bytes in step with the clock
    // (PipeWire's pulse server does not always suspend an output that is being recorded).
    if (server_->pactl("info").value_or("").find("PipeWire") == std::string::npos) {
        const double before = driftMs(helper);  // where the first audio put the byte count
        pactl("suspend-sink halvo_null_a 1");
        EXPECT_TRUE(
            helper.waitFor("The recorded output is suspended: the server delivers no "
                           "audio, silence fills the gap"));
        std::this_thread::sleep_for(2500ms);  // long enough for a quiet to be noticed
        EXPECT_LE(std::abs(driftMs(helper) - before), kTimelineToleranceMs);
        pactl("suspend-sink halvo_null_a 0");
        EXPECT_TRUE(helper.waitFor("The recorded output is no longer suspended"));
        ASSERT_TRUE(
            helper.waitForOutput(helper.drainedOutputSize().value_or(0) + kBytesPerSecond / 4));
        EXPECT_LE(std::abs(driftMs(helper) - before), kTimelineToleranceMs);
    }
    // Diagnostic lines only: a parent's signals are what they always were.
    EXPECT_EQ(helper.signalLines(), (std::vector<std::string>{"WAITING", "CAPTURE_STARTED"}));
    EXPECT_EQ(helper.quit(), 0);
}

// A headset switching profile: the recorded output disappears, and a moment later another one,
// with another name, rate and channel count, becomes the default. A microphone is at hand the
// whole time; it is never recorded.
TEST_F(QuietOutput, AnOutputReplacedByAnotherKindIsFollowedWithoutLosingTime) {
    // PipeWire's pulse server makes a source with the null sink module.
    ASSERT_TRUE(loadModule("module-null-source source_name=halvo_headset_mic") ||
                loadModule("module-null-sink sink_name=halvo_headset_mic "
                           "media.class=Audio/Source/Virtual"));
    const auto a2dp =
        loadModule("module-null-sink sink_name=halvo_headset_a2dp rate=48000 channels=2");
    ASSERT_TRUE(a2dp);
    pactl("set-default-sink halvo_headset_a2dp");
    pactl("set-default-source halvo_headset_mic");
    const auto process = launch();
    ASSERT_TRUE(process);
    HelperProcess& helper = *process;
    ASSERT_TRUE(helper.waitForOutput(kBytesPerSecond / 2));
    EXPECT_EQ(recordedSources(*server_, helper.pid()), "halvo_headset_a2dp.monitor\n");
    // A null sink's first audio comes late or early, as it renders: the byte count follows it.
    const double before = driftMs(helper);

    pactl("unload-module " + *a2dp);
    std::this_thread::sleep_for(300ms);  // the gap between the two profiles, as a headset has
    ASSERT_TRUE(loadModule("module-null-sink sink_name=halvo_headset_hfp rate=16000 channels=1"));
    ASSERT_TRUE(makeDefault("halvo_headset_hfp"));
    ASSERT_TRUE(
        helper.waitFor("Default output changed: following halvo_headset_hfp.monitor", 1, 10s))
        << helper.transcript();
    EXPECT_EQ(recordedSources(*server_, helper.pid()), "halvo_headset_hfp.monitor\n");

    ASSERT_TRUE(helper.waitForOutput(helper.drainedOutputSize().value_or(0) + kBytesPerSecond))
        << helper.transcript();
    EXPECT_LE(std::abs(driftMs(helper) - before), kTimelineToleranceMs);
    EXPECT_EQ(helper.countStartingWith("ERROR:"), 0);
    for (const std::string& line : helper.messages()) {
        EXPECT_EQ(line.find("halvo_headset_mic"), std::string::npos) << line;
    }
    EXPECT_EQ(helper.quit(), 0);
}

// A server that stops delivering (here: stopped outright): its quiet is named, and nothing stands
// in for audio it may still hand over, so the bytes never run ahead of the clock.
TEST_F(QuietOutput, AStalledServerKeepsTheTimeline) {
    const auto process = launch();
    ASSERT_TRUE(process);
    HelperProcess& helper = *process;
    ASSERT_TRUE(helper.waitForOutput(kBytesPerSecond / 2));
    server_->stall(true);
    const bool noticed =
        helper.waitFor("No audio from the server for 2 s: what it delivers late follows in order");
    server_->stall(false);
    ASSERT_TRUE(noticed);
    EXPECT_TRUE(helper.waitForText("] Audio from the server again after ")) << helper.transcript();
    // PulseAudio hands over what it held back, PipeWire's null sink skips the time.
    ASSERT_TRUE(helper.waitForOutput(helper.drainedOutputSize().value_or(0) + kBytesPerSecond / 2));
    EXPECT_LE(driftMs(helper), kTimelineToleranceMs);
    EXPECT_EQ(helper.quit(), 0);
}

}  // namespace
}  // namespace halvo::testing
