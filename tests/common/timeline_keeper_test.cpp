#include "services/common/timeline_keeper.h"

#include <gtest/gtest.h>

#include <random>

namespace halvo {
namespace {

using namespace std::chrono_literals;
using Clock = TimelineKeeper::Clock;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint64_t kFragment = 1024;  // frames, about 21 ms
constexpr auto kFragmentTime = std::chrono::microseconds(kFragment * 1'000'000 / kRate);

// Late audio (a helper or a server held up, a null sink's late first block) is handed on whole,
// neither padded nor cut: the tone e2e tests judge that against a reference recorder.
//
// Drives a keeper as the record stream does: audio arrives when the server sends it, and the
// keeper's ticks run whenever they fall due before the next arrival.
class TimelineKeeperTest : public ::testing::Test {
  protected:
    Clock::time_point start_ = Clock::time_point{} + 1h;
    TimelineKeeper keeper_{kRate, start_};
    Clock::time_point now_ = start_;
    Clock::time_point sent_ = start_;  // when the server sent the last fragment
    std::uint64_t audio_ = 0;          // frames of audio that arrived
    std::uint64_t silence_ = 0;
    std::uint64_t dropped_ = 0;
    int quietBegan_ = 0;
    std::optional<Clock::duration> quietEnded_;
    std::vector<TimelineKeeper::Drift> drifts_;

    void ticksUntil(Clock::time_point until) {
        while (keeper_.nextTick() <= until) {
            now_ = std::max(now_, keeper_.nextTick());
            const auto tick = keeper_.tick(now_);
            silence_ += tick.silenceFrames;
            quietBegan_ += tick.quietBegan ? 1 : 0;
        }
        now_ = until;
    }
    void arrive(Clock::time_point at, std::uint64_t frames, Clock::time_point streamSince,
                bool newStream = false) {
        ticksUntil(at);
        const auto arrival = keeper_.audioArrived(at, frames, streamSince, newStream);
        audio_ += frames;
        silence_ += arrival.silenceBeforeFrames;
        dropped_ += arrival.dropLeadingFrames;
        quietEnded_ = arrival.quietEnded ? arrival.quietEnded : quietEnded_;
        if (arrival.drift) {
            drifts_.push_back(*arrival.drift);
        }
    }
    // The server sends a fragment every `period` until `until`; each arrives at once, unless the
    // last arrival was later still.
    void streamUntil(Clock::time_point until, Clock::duration period = kFragmentTime) {
        while (sent_ + period <= until) {
            sent_ += period;
            arrive(std::max(now_, sent_), kFragment, start_);
        }
    }
    // Frames handed on minus the frames the time since the first audio holds, in milliseconds.
    double driftMs(Clock::time_point since) const {
        const double elapsed = std::chrono::duration<double>(now_ - since).count();
        return (static_cast<double>(keeper_.deliveredFrames()) / kRate - elapsed) * 1000;
    }
};

TEST_F(TimelineKeeperTest, AnOutputClockThatRunsSlowIsFollowedAndReportedStepByStep) {
    const auto slowFragmentTime = kFragmentTime * 1005 / 1000;  // 0.5 % slow
    streamUntil(start_ + 60s, slowFragmentTime);
    EXPECT_EQ(silence_, 0u);
    EXPECT_EQ(keeper_.deliveredFrames(), audio_);
    ASSERT_EQ(drifts_.size(), 2u) << "at 100 ms and at 200 ms behind";
    EXPECT_LE(drifts_[0].offset, -100ms);
    EXPECT_GT(drifts_[0].offset, -130ms);
    EXPECT_NEAR(drifts_[1].ppm, -5000, 300);
}

// A suspended output: silence keeps the timeline, its quiet is reported, and the audio that comes
// back joins where the clock says.
TEST_F(TimelineKeeperTest, SilenceStandsInOnlyWhileTheServerHasNoAudio) {
    streamUntil(start_ + 1s);
    const auto first = start_;
    keeper_.setAbsent(now_, true);
    ticksUntil(start_ + 4s);
    // The parent sees the silence up to a fill's lag and period behind the clock.
    EXPECT_LE(driftMs(first), 0);
    EXPECT_GE(driftMs(first), -(TimelineKeeper::kFillLag + TimelineKeeper::kFillEvery).count() - 1);
    EXPECT_EQ(quietBegan_, 1);
    keeper_.setAbsent(now_, false);
    ticksUntil(now_ + 300ms);  // the output wakes up slowly: no silence once it is back
    const auto silenceBefore = silence_;
    sent_ = now_;
    streamUntil(now_ + kFragmentTime);
    EXPECT_GT(silence_, silenceBefore) << "the wake-up time is made up at the join";
    streamUntil(start_ + 6s);
    EXPECT_NEAR(driftMs(first), 0, 25);
    ASSERT_TRUE(quietEnded_);
    EXPECT_NEAR(std::chrono::duration<double>(*quietEnded_).count(), 3.3, 0.05);
    EXPECT_EQ(dropped_, 0u);
    EXPECT_EQ(quietBegan_, 1);
}

// Following new outputs: each new stream joins where the clock says, whether it overlaps what was
// handed on (its overlap is dropped) or begins after a gap (silence stands in), so neither the
// outputs' clocks nor the new streams' late first arrivals add up over the switches.
TEST_F(TimelineKeeperTest, NewStreamsJoinWhereTheClockSays) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> overlapMs(-20, 30);
    std::uniform_int_distribution<int> errorMs(0, 8);
    streamUntil(start_ + 1s);
    for (int follow = 0; follow < 40; ++follow) {
        streamUntil(now_ + 500ms, kFragmentTime * 995 / 1000);  // each output's clock is fast
        // The new stream began a little before the old one's last audio, or a little after; the
        // helper's estimate of when is a few milliseconds late.
        const auto began = now_ - std::chrono::milliseconds(overlapMs(random));
        sent_ = now_ + 40ms;
        const auto frames = static_cast<std::uint64_t>((sent_ - began) / 1us) * kRate / 1'000'000;
        arrive(sent_, frames, began + std::chrono::milliseconds(errorMs(random)), true);
        EXPECT_NEAR(driftMs(start_), 0, 25) << "after follow " << follow;
    }
    EXPECT_GT(dropped_, 0u);
    EXPECT_GT(silence_, 0u);
    EXPECT_TRUE(drifts_.empty());
}

// A server that holds a new stream's audio back and then sends it in one burst: the part that
// turns out to have begun before the join overlaps the old stream and goes, no more, so the bytes
// stay on the clock and the stream's own later audio is whole.
TEST_F(TimelineKeeperTest, ANewStreamsHeldBackAudioIsPlacedWhenItComes) {
    streamUntil(start_ + 1s);
    const auto ready = now_;
    streamUntil(ready + 1s);  // the old stream goes on while the new one's audio is held back
    arrive(now_, 3 * kFragment, ready, true);  // its first deliveries: 64 ms at most, it says
    sent_ = now_ + 100ms;
    const auto burst = static_cast<std::uint64_t>((sent_ - ready) / 1us) * kRate / 1'000'000;
    arrive(sent_, burst - 3 * kFragment, ready);
    EXPECT_NEAR(driftMs(start_), 0, 25);
    const auto droppedAtBurst = dropped_;
    streamUntil(now_ + 1s);
    EXPECT_EQ(dropped_, droppedAtBurst) << "the stream's own audio is never cut";
    arrive(now_ + 50ms, 10 * kRate, ready);  // more than the stream's whole life: not overlap
    EXPECT_LE(dropped_ - droppedAtBurst, 0u + kRate / 1000) << "no more than since it was ready";
}

}  // namespace
}  // namespace halvo
