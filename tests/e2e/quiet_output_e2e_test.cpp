// The shipped helper while the recorded output goes quiet: muted, turned down, suspended, or
// replaced by another kind of output. The parent must learn why (diagnostic lines, no new
// signals), must keep a timeline it can trust (silence stands in where the server has no audio),
// and must never get a microphone.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/e2e/sound_server.h"
#include "tests/support/helper_process.h"
#include "tests/support/waiting.h"

namespace halvo::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kBytesPerSecond = 48000.0 * 4;
// Silence that stands in runs up to 60 ms behind the clock (20 ms behind, added every 40 ms);
// the parent also sees up to one fragment (about 21 ms) less, recorded but not yet delivered.
constexpr double kTimelineToleranceMs = 60 + 25;

// Capture from the moment the parent saw CAPTURE_STARTED.
class CaptureUnderWay {
  public:
    explicit CaptureUnderWay(const SoundServer& server) {
        helper_ = launchHelper(server);
        if (helper_ && helper_->waitFor("CAPTURE_STARTED")) {
            started_ = Clock::now();
        }
    }
    bool running() const { return helper_ && started_; }
    HelperProcess& helper() { return *helper_; }

    // Audio time delivered minus time elapsed since CAPTURE_STARTED, in milliseconds.
    double driftMs() {
        const auto bytes = helper_->drainedOutputSize();
        const auto elapsed = std::chrono::duration<double>(Clock::now() - *started_).count();
        return bytes ? (static_cast<double>(*bytes) / kBytesPerSecond - elapsed) * 1000 : 1e9;
    }

  private:
    std::unique_ptr<HelperProcess> helper_;
    std::optional<Clock::time_point> started_;
};

// The same cases run against PulseAudio and against PipeWire, each on a server of its own.
class QuietOutput : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_ = serverOrFail());
        pipeWire_ = server_->pactl("info").value_or("").find("PipeWire") != std::string::npos;
    }
    // Runs pactl, failing the test when it fails.
    void pactl(const std::string& arguments) {
        ASSERT_TRUE(server_->pactl(arguments)) << "pactl " << arguments;
    }
    // The names of the sources that the record streams of process `pid` are attached to.
    std::string recordedSources(pid_t pid) {
        return server_
            ->shell(
                "for s in $(pactl list source-outputs | awk '/^Source Output #/ { s = \"\" } "
                "/^\tSource: / { s = $2 } /application.process.id = \"" +
                std::to_string(pid) +
                "\"/ { print s }'); do pactl list short sources | awk -v s=$s '$1 == s { "
                "print $2 }'; done")
            .value_or("");
    }

    std::unique_ptr<SoundServer> server_;
    bool pipeWire_ = false;
};

TEST_F(QuietOutput, EachReasonForSilenceIsNamedWhenItBeginsAndEnds) {
    CaptureUnderWay capture(*server_);
    ASSERT_TRUE(capture.running());
    HelperProcess& helper = capture.helper();
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
    if (!pipeWire_) {
        const double before = capture.driftMs();  // where the first audio put the byte count
        pactl("suspend-sink halvo_null_a 1");
        EXPECT_TRUE(
            helper.waitFor("The recorded output is suspended: the server delivers no "
                           "audio, silence fills the gap"));
        std::this_thread::sleep_for(2500ms);  // long enough for a quiet to be noticed
        EXPECT_LE(std::abs(capture.driftMs() - before), kTimelineToleranceMs);
        pactl("suspend-sink halvo_null_a 0");
        EXPECT_TRUE(helper.waitFor("The recorded output is no longer suspended"));
        ASSERT_TRUE(helper.waitForOutput(helper.drainedOutputSize().value_or(0) +
                                         static_cast<std::size_t>(kBytesPerSecond / 4)));
        EXPECT_LE(std::abs(capture.driftMs() - before), kTimelineToleranceMs);
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
    if (!server_->pactl("load-module module-null-source source_name=halvo_headset_mic")) {
        pactl(
            "load-module module-null-sink sink_name=halvo_headset_mic "
            "media.class=Audio/Source/Virtual");
    }
    const auto a2dp = server_->pactl(
        "load-module module-null-sink sink_name=halvo_headset_a2dp rate=48000 channels=2");
    ASSERT_TRUE(a2dp);
    pactl("set-default-sink halvo_headset_a2dp");
    pactl("set-default-source halvo_headset_mic");
    CaptureUnderWay capture(*server_);
    ASSERT_TRUE(capture.running());
    HelperProcess& helper = capture.helper();
    ASSERT_TRUE(helper.waitForOutput(static_cast<std::size_t>(kBytesPerSecond / 2)));
    EXPECT_EQ(recordedSources(helper.pid()), "halvo_headset_a2dp.monitor\n");
    // A null sink's first audio comes late or early, as it renders: the byte count follows it.
    const double before = capture.driftMs();

    pactl("unload-module " + a2dp->substr(0, a2dp->find('\n')));
    std::this_thread::sleep_for(300ms);  // the gap between the two profiles, as a headset has
    pactl("load-module module-null-sink sink_name=halvo_headset_hfp rate=16000 channels=1");
    // PipeWire's session manager may not know the new sink yet and keep its own choice: asked
    // again until the server reports the new default.
    ASSERT_TRUE(eventually([&] {
        server_->pactl("set-default-sink halvo_headset_hfp");
        return server_->pactl("get-default-sink").value_or("") == "halvo_headset_hfp\n";
    }));
    ASSERT_TRUE(
        helper.waitFor("Default output changed: following halvo_headset_hfp.monitor", 1, 10s))
        << ::testing::PrintToString(helper.messages());
    EXPECT_EQ(recordedSources(helper.pid()), "halvo_headset_hfp.monitor\n");

    ASSERT_TRUE(helper.waitForOutput(helper.drainedOutputSize().value_or(0) +
                                     static_cast<std::size_t>(kBytesPerSecond)));
    EXPECT_LE(std::abs(capture.driftMs() - before), kTimelineToleranceMs);
    EXPECT_EQ(helper.countStartingWith("ERROR:"), 0);
    for (const std::string& line : helper.messages()) {
        EXPECT_EQ(line.find("halvo_headset_mic"), std::string::npos) << line;
    }
    EXPECT_EQ(helper.quit(), 0);
}

// A server that stops delivering (here: stopped outright): its quiet is named, and nothing stands
// in for audio it may still hand over, so the bytes never run ahead of the clock.
TEST_F(QuietOutput, AStalledServerKeepsTheTimeline) {
    CaptureUnderWay capture(*server_);
    ASSERT_TRUE(capture.running());
    HelperProcess& helper = capture.helper();
    ASSERT_TRUE(helper.waitForOutput(static_cast<std::size_t>(kBytesPerSecond / 2)));
    server_->stall(true);
    const bool noticed =
        helper.waitFor("No audio from the server for 2 s: what it delivers late follows in order");
    server_->stall(false);
    ASSERT_TRUE(noticed);
    EXPECT_TRUE(helper.waitForText("] Audio from the server again after "));
    // PulseAudio hands over what it held back, PipeWire's null sink skips the time.
    ASSERT_TRUE(helper.waitForOutput(helper.drainedOutputSize().value_or(0) +
                                     static_cast<std::size_t>(kBytesPerSecond / 2)));
    EXPECT_LE(capture.driftMs(), kTimelineToleranceMs);
    EXPECT_EQ(helper.quit(), 0);
}

}  // namespace
}  // namespace halvo::testing
