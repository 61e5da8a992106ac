#include "capture/pulse/timeline_keeper.h"

#include <gtest/gtest.h>

namespace halvo::pulse {
namespace {

using namespace std::chrono_literals;
using Clock = TimelineKeeper::Clock;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint64_t kFragment = 1024;  // frames, about 21 ms
constexpr auto kFragmentTime = std::chrono::microseconds(kFragment * 1'000'000 / kRate);

// Drives a keeper as the record stream does: audio arrives when the server sends it, and the
// keeper's ticks run whenever they fall due before the next arrival.
class TimelineKeeperTest : public ::testing::Test {
  protected:
    Clock::time_point start_ = Clock::time_point{} + 1h;
    TimelineKeeper keeper_{kRate, start_};
    Clock::time_point now_ = start_;
    int quietBegan_ = 0;
    std::optional<Clock::duration> quietEnded_;

    void ticksUntil(Clock::time_point until) {
        while (keeper_.nextTick() <= until) {
            now_ = keeper_.nextTick();
            quietBegan_ += keeper_.tick(now_).quietBegan ? 1 : 0;
        }
        now_ = until;
    }
    std::uint64_t arrive(Clock::time_point at, std::uint64_t frames) {
        ticksUntil(at);
        const auto arrival = keeper_.audioArrived(at, frames);
        if (arrival.quietEnded) {
            quietEnded_ = arrival.quietEnded;
        }
        return arrival.dropLeadingFrames;
    }
    // The server delivers a fragment every fragment time until `until`, `lag` behind the clock.
    void streamUntil(Clock::time_point until) {
        while (now_ + kFragmentTime <= until) {
            EXPECT_EQ(arrive(now_ + kFragmentTime, kFragment), 0u);
        }
    }
    // Delivered frames minus the frames the elapsed time holds, in milliseconds.
    double driftMs() const {
        const double elapsed = std::chrono::duration<double>(now_ - start_).count();
        return (static_cast<double>(keeper_.deliveredFrames()) / kRate - elapsed) * 1000;
    }
};

TEST_F(TimelineKeeperTest, SteadyAudioIsNeitherFilledNorCut) {
    streamUntil(start_ + 600s);
    EXPECT_EQ(quietBegan_, 0);
    EXPECT_NEAR(driftMs(), 0, kFragmentTime.count() / 1000.0);
}

// A server whose clock runs 0.5% slow never leaves a gap, but falls behind by 3 s an hour.
TEST_F(TimelineKeeperTest, AServerThatFallsBehindSlowlyIsMadeUpForWithoutAGap) {
    const auto slowFragmentTime = kFragmentTime * 1005 / 1000;
    double worst = 0;
    while (now_ < start_ + 600s) {
        arrive(now_ + slowFragmentTime, kFragment);
        worst = std::max(worst, std::abs(driftMs()));
    }
    EXPECT_LE(worst, 50);
    EXPECT_EQ(quietBegan_, 0);
}

TEST_F(TimelineKeeperTest, AGapIsFilledWithinTheToleranceAndItsQuietReportedOnce) {
    streamUntil(start_ + 1s);
    ticksUntil(start_ + 4s);  // the server delivers nothing for three seconds
    EXPECT_LE(std::abs(driftMs()), 50);
    EXPECT_EQ(quietBegan_, 1);
    EXPECT_FALSE(quietEnded_);
    streamUntil(start_ + 10s);
    ASSERT_TRUE(quietEnded_);
    EXPECT_NEAR(std::chrono::duration<double>(*quietEnded_).count(), 3.0, 0.05);
    EXPECT_LE(std::abs(driftMs()), 50);
    EXPECT_EQ(quietBegan_, 1);
}

TEST_F(TimelineKeeperTest, ShortGapsAreFilledWithoutAQuietReport) {
    for (int second = 1; second <= 30; ++second) {
        streamUntil(start_ + std::chrono::seconds(second) - 500ms);
        ticksUntil(start_ + std::chrono::seconds(second));
        EXPECT_LE(std::abs(driftMs()), 50) << "after gap " << second;
    }
    EXPECT_EQ(quietBegan_, 0);
}

TEST_F(TimelineKeeperTest, HeldBackAudioIsCutOnlyByTheSilenceThatStoodInForIt) {
    streamUntil(start_ + 1s);
    const std::uint64_t beforeStall = keeper_.deliveredFrames();
    ticksUntil(start_ + 1500ms);  // a stalled server: silence stands in
    const std::uint64_t filled = keeper_.deliveredFrames() - beforeStall;
    ASSERT_GT(filled, kRate * 4 / 10);
    // It resumes and hands over the half second it held back, at once.
    const std::uint64_t dropped = arrive(now_ + 1ms, kRate / 2);
    EXPECT_GT(dropped, 0u);
    EXPECT_LE(dropped, filled);
    EXPECT_LE(driftMs(), TimelineKeeper::kAheadLimit.count());
    streamUntil(start_ + 5s);
    EXPECT_LE(std::abs(driftMs()), 50);
    // More than the filled silence is never cut, however far ahead the audio runs.
    const std::uint64_t beforeSecondStall = keeper_.deliveredFrames();
    ticksUntil(now_ + 300ms);
    const std::uint64_t filledAgain = keeper_.deliveredFrames() - beforeSecondStall;
    EXPECT_LE(arrive(now_ + 1ms, kRate * 2), filledAgain);
}

TEST_F(TimelineKeeperTest, AudioAheadWithoutFilledSilenceIsNeverCut) {
    // A server that sends a large first block straight away: nothing stood in for it.
    EXPECT_EQ(arrive(start_ + 5ms, kRate / 2), 0u);
    // Long after a filled gap, audio running ahead is no longer taken for held-back audio.
    streamUntil(start_ + 2s);
    ticksUntil(start_ + 2300ms);
    streamUntil(start_ + 5s);
    EXPECT_EQ(arrive(now_ + 1ms, kRate / 4), 0u);
}

}  // namespace
}  // namespace halvo::pulse
