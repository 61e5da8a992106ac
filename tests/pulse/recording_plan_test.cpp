// How a capture follows the default sink and when it counts as stopped by the service.
#include "capture/pulse/recording_plan.h"

#include <gtest/gtest.h>

namespace halvo::pulse {
namespace {

using Step = RecordingPlan::Step;

Step opening(const std::string& sink, bool closePending = false) {
    Step step;
    step.closePending = closePending;
    step.open = sink;
    return step;
}

Step promoting() {
    Step step;
    step.promotePending = true;
    return step;
}

Step asking() {
    Step step;
    step.askDefaultSink = true;
    return step;
}

Step closingPending() {
    Step step;
    step.closePending = true;
    return step;
}

Step stopping(const std::string& description) {
    Step step;
    step.stop = description;
    return step;
}

class RunningPlan : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plan_.beginStart());
        plan_.started("a");
    }
    // Every later event is ignored once the service has stopped the capture.
    void expectSilenceAfterStop() {
        EXPECT_EQ(plan_.phase(), RecordingPlan::Phase::stopped);
        EXPECT_EQ(plan_.defaultSinkIs("b"), Step{});
        EXPECT_EQ(plan_.activeEnded("again", false), Step{});
        EXPECT_EQ(plan_.pendingFailed("again", false), Step{});
        EXPECT_EQ(plan_.connectionLost("again"), Step{});
        EXPECT_FALSE(plan_.requestStop()) << "a stream the service stopped is not running";
    }
    RecordingPlan plan_;
};

TEST(RecordingPlanLifecycle, StartsOnceAndStopsWhatRuns) {
    RecordingPlan plan;
    EXPECT_FALSE(plan.requestStop()) << "never started";
    EXPECT_FALSE(plan.beginStart()) << "a stopped capture does not start again";

    RecordingPlan other;
    ASSERT_TRUE(other.beginStart());
    EXPECT_FALSE(other.beginStart());
    EXPECT_EQ(other.defaultSinkIs("b"), Step{}) << "the start is still waiting";
    EXPECT_EQ(other.connectionLost("gone"), Step{}) << "the start reports that itself";
    other.started("a");
    EXPECT_TRUE(other.running());
    EXPECT_TRUE(other.requestStop());
    EXPECT_FALSE(other.requestStop());

    RecordingPlan failing;
    ASSERT_TRUE(failing.beginStart());
    failing.startFailed();
    EXPECT_FALSE(failing.requestStop());
}

TEST_F(RunningPlan, FollowsANewDefaultOnceItsRecordingIsReady) {
    EXPECT_EQ(plan_.defaultSinkIs("a"), Step{}) << "a server change that is not about the sink";
    EXPECT_EQ(plan_.defaultSinkIs("b"), opening("b"));
    EXPECT_EQ(plan_.defaultSinkIs("b"), Step{}) << "already on its way";
    EXPECT_EQ(plan_.activeSink(), "a") << "the old one records until the new one is ready";
    EXPECT_EQ(plan_.pendingReady(), promoting());
    EXPECT_EQ(plan_.activeSink(), "b");
    EXPECT_FALSE(plan_.pendingSink());
    EXPECT_EQ(plan_.pendingReady(), Step{});
}

TEST_F(RunningPlan, QuickSwitchesReplaceTheRecordingOnItsWay) {
    EXPECT_EQ(plan_.defaultSinkIs("b"), opening("b"));
    EXPECT_EQ(plan_.defaultSinkIs("c"), opening("c", true));
    EXPECT_EQ(plan_.defaultSinkIs("a"), closingPending()) << "back to where it records";
    EXPECT_FALSE(plan_.pendingSink());
    EXPECT_EQ(plan_.pendingReady(), Step{}) << "a late ready from the closed one";
    EXPECT_EQ(plan_.activeSink(), "a");
}

TEST_F(RunningPlan, KeepsRecordingWhenThereIsNoDefaultOrTheNewOneFails) {
    EXPECT_EQ(plan_.defaultSinkIs(""), Step{});
    EXPECT_EQ(plan_.defaultSinkIs("b"), opening("b"));
    EXPECT_EQ(plan_.pendingFailed("No such entity", false), Step{});
    EXPECT_EQ(plan_.activeSink(), "a");
    EXPECT_TRUE(plan_.running());
}

TEST_F(RunningPlan, AVanishedSinkHandsOverToTheNewDefault) {
    EXPECT_EQ(plan_.activeEnded("Entity killed", false), asking());
    EXPECT_FALSE(plan_.activeSink());
    EXPECT_EQ(plan_.defaultSinkIs("b"), opening("b"));
    EXPECT_EQ(plan_.pendingReady(), promoting());
    EXPECT_EQ(plan_.activeSink(), "b");
    EXPECT_TRUE(plan_.running());
}

TEST_F(RunningPlan, AVanishedSinkWithNothingToFollowStopsTheCaptureOnce) {
    EXPECT_EQ(plan_.activeEnded("Entity killed", false), asking());
    EXPECT_EQ(plan_.defaultSinkIs(""), stopping("Entity killed"));
    expectSilenceAfterStop();
}

TEST_F(RunningPlan, AKilledRecordingOfTheStillDefaultSinkIsNotReopened) {
    EXPECT_EQ(plan_.activeEnded("Entity killed", false), asking());
    EXPECT_EQ(plan_.defaultSinkIs("a"), stopping("Entity killed"));
    expectSilenceAfterStop();
}

TEST_F(RunningPlan, WhenTheFollowedSinkVanishesTooTheFirstLossIsReported) {
    // Both sinks unloaded at once: the default moves to b, which is gone before it records.
    EXPECT_EQ(plan_.activeEnded("Entity killed", false), asking());
    EXPECT_EQ(plan_.defaultSinkIs("b"), opening("b"));
    EXPECT_EQ(plan_.pendingFailed("No such entity", false), stopping("Entity killed"));
    expectSilenceAfterStop();
}

TEST_F(RunningPlan, ALossWhileANewDefaultIsOnItsWayWaitsForIt) {
    EXPECT_EQ(plan_.defaultSinkIs("b"), opening("b"));
    EXPECT_EQ(plan_.activeEnded("Entity killed", false), Step{});
    EXPECT_EQ(plan_.pendingReady(), promoting());
    EXPECT_EQ(plan_.activeSink(), "b");
}

TEST_F(RunningPlan, LosingTheServerStopsTheCaptureOnceWhicheverNewsComesFirst) {
    EXPECT_EQ(plan_.defaultSinkIs("b"), opening("b"));
    EXPECT_EQ(plan_.connectionLost("Connection terminated"), stopping("Connection terminated"));
    expectSilenceAfterStop();

    RecordingPlan other;
    ASSERT_TRUE(other.beginStart());
    other.started("a");
    EXPECT_EQ(other.activeEnded("Connection terminated", true), stopping("Connection terminated"));
    EXPECT_EQ(other.connectionLost("Connection terminated"), Step{});
}

}  // namespace
}  // namespace halvo::pulse
