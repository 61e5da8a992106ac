// How a capture follows the default sink and when it counts as stopped by the service.
#include "services/common/recording_plan.h"

#include <gtest/gtest.h>

// Steps are written with designated initializers: the fields left out are empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace halvo {
namespace {

using Step = RecordingPlan::Step;

const Step kNothing{};
const Step kPromote{.promotePending = true};

RecordingPlan runningOn(const std::string& sink) {
    RecordingPlan plan;
    EXPECT_TRUE(plan.beginStart());
    plan.started(sink);
    return plan;
}

// Every later event is ignored once the service has stopped the capture.
void expectSilenceAfterStop(RecordingPlan& plan) {
    EXPECT_EQ(plan.phase(), RecordingPlan::Phase::stopped);
    EXPECT_EQ(plan.defaultSinkIs("b"), kNothing);
    EXPECT_EQ(plan.activeEnded("again", false), kNothing);
    EXPECT_EQ(plan.pendingFailed("again", false), kNothing);
    EXPECT_EQ(plan.connectionLost("again"), kNothing);
    EXPECT_EQ(plan.defaultAwaitEnded(), kNothing);
    EXPECT_FALSE(plan.requestStop()) << "a stream the service stopped is not running";
}

TEST(RecordingPlan, StartsOnceAndStopsWhatRuns) {
    RecordingPlan plan;
    EXPECT_FALSE(plan.requestStop()) << "never started";
    EXPECT_FALSE(plan.beginStart()) << "a stopped capture does not start again";

    RecordingPlan other;
    ASSERT_TRUE(other.beginStart());
    EXPECT_FALSE(other.beginStart());
    EXPECT_EQ(other.defaultSinkIs("b"), kNothing) << "the start is still waiting";
    EXPECT_EQ(other.connectionLost("gone"), kNothing) << "the start reports that itself";
    other.started("a");
    EXPECT_TRUE(other.running());
    EXPECT_TRUE(other.requestStop());
    EXPECT_FALSE(other.requestStop());
}

TEST(RecordingPlan, FollowsANewDefaultOnceItsRecordingIsReadyAndKeepsTheOldOneMeanwhile) {
    RecordingPlan plan = runningOn("a");
    EXPECT_EQ(plan.defaultSinkIs("a"), kNothing) << "a server change that is not about the sink";
    EXPECT_EQ(plan.defaultSinkIs(""), kNothing) << "no default: keep recording";
    EXPECT_EQ(plan.defaultSinkIs("b"), Step{.open = "b"});
    EXPECT_EQ(plan.defaultSinkIs("b"), kNothing) << "already on its way";
    EXPECT_EQ(plan.pendingFailed("No such entity", false), kNothing);
    EXPECT_EQ(plan.activeSink(), "a") << "a new default that fails leaves the old one recording";

    // Quick switches replace the recording on its way.
    EXPECT_EQ(plan.defaultSinkIs("b"), Step{.open = "b"});
    EXPECT_EQ(plan.defaultSinkIs("c"), (Step{.closePending = true, .open = "c"}));
    EXPECT_EQ(plan.defaultSinkIs("a"), Step{.closePending = true}) << "back to where it records";
    EXPECT_FALSE(plan.pendingSink());
    EXPECT_EQ(plan.pendingReady(), kNothing) << "a late ready from the closed one";

    EXPECT_EQ(plan.defaultSinkIs("b"), Step{.open = "b"});
    EXPECT_EQ(plan.activeSink(), "a") << "the old one records until the new one is ready";
    EXPECT_EQ(plan.pendingReady(), kPromote);
    EXPECT_EQ(plan.activeSink(), "b");
    EXPECT_FALSE(plan.pendingSink());
    EXPECT_EQ(plan.pendingReady(), kNothing);
}

// A vanished sink starts a while for a new default: whatever the server names is followed, the
// vanished sink's name too (a device plugged in again), and what fails to come up is waited past;
// when nothing took over, the capture stops once, for the reason the sink went.
TEST(RecordingPlan, AVanishedSinkHandsOverToTheNewDefaultOrStopsTheCaptureOnce) {
    const Step kAwaitAndAsk{.askDefaultSink = true, .awaitDefault = true};
    RecordingPlan handedOver = runningOn("a");
    EXPECT_EQ(handedOver.activeEnded("Entity killed", false), kAwaitAndAsk);
    EXPECT_FALSE(handedOver.activeSink());
    EXPECT_EQ(handedOver.defaultSinkIs("b"), Step{.open = "b"});
    EXPECT_EQ(handedOver.pendingReady(), kPromote);
    EXPECT_EQ(handedOver.activeSink(), "b");
    EXPECT_EQ(handedOver.defaultAwaitEnded(), kNothing) << "the while ended when b took over";
    EXPECT_TRUE(handedOver.running());

    RecordingPlan waiting = runningOn("a");  // the loss comes while a new default is on its way
    EXPECT_EQ(waiting.defaultSinkIs("b"), Step{.open = "b"});
    EXPECT_EQ(waiting.activeEnded("Entity killed", false), Step{.awaitDefault = true});
    EXPECT_EQ(waiting.pendingReady(), kPromote);
    EXPECT_EQ(waiting.activeSink(), "b");

    // The server still names the vanished sink, then nothing, then the same name again.
    RecordingPlan replugged = runningOn("a");
    EXPECT_EQ(replugged.activeEnded("Entity killed", false), kAwaitAndAsk);
    EXPECT_EQ(replugged.defaultSinkIs("a"), Step{.open = "a"});
    EXPECT_EQ(replugged.pendingFailed("No such entity", false), kNothing);
    EXPECT_EQ(replugged.defaultSinkIs("@DEFAULT_SINK@"), kNothing)
        << "one while, not one per event";
    EXPECT_EQ(replugged.defaultSinkIs("a"), Step{.open = "a"});
    EXPECT_EQ(replugged.pendingReady(), kPromote);
    EXPECT_EQ(replugged.activeSink(), "a");

    for (const char* answer : {"", "a"}) {
        RecordingPlan plan = runningOn("a");
        EXPECT_EQ(plan.activeEnded("Entity killed", false), kAwaitAndAsk);
        plan.defaultSinkIs(answer);
        plan.pendingFailed("No such entity", false);
        EXPECT_TRUE(plan.running()) << answer;
        EXPECT_EQ(plan.defaultAwaitEnded(), Step{.stop = "Entity killed"}) << answer;
        expectSilenceAfterStop(plan);
    }
    // A new default still on its way when the while ends has its own deadline.
    RecordingPlan late = runningOn("a");
    late.activeEnded("Entity killed", false);
    EXPECT_EQ(late.defaultSinkIs("b"), Step{.open = "b"});
    EXPECT_EQ(late.defaultAwaitEnded(), kNothing);
    EXPECT_EQ(late.pendingFailed("Timeout", false), Step{.stop = "Entity killed"});
    expectSilenceAfterStop(late);
}

TEST(RecordingPlan, LosingTheServerStopsTheCaptureOnceWhicheverNewsComesFirst) {
    RecordingPlan plan = runningOn("a");
    EXPECT_EQ(plan.defaultSinkIs("b"), Step{.open = "b"});
    EXPECT_EQ(plan.connectionLost("Connection terminated"), Step{.stop = "Connection terminated"});
    expectSilenceAfterStop(plan);

    RecordingPlan other = runningOn("a");
    EXPECT_EQ(other.activeEnded("Connection terminated", true),
              Step{.stop = "Connection terminated"});
    EXPECT_EQ(other.connectionLost("Connection terminated"), kNothing);
}

}  // namespace
}  // namespace halvo
