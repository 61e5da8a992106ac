// The audio a slow output has not taken yet: kept in order up to the bound, oldest dropped
// beyond it, each episode of drops reported once.
#include "capture/pulse/pending_audio.h"

#include <gtest/gtest.h>

namespace halvo::pulse {
namespace {

PendingAudio::Chunk chunk(std::size_t size, int tag) {
    return PendingAudio::Chunk(size, static_cast<std::byte>(tag));
}

int tagOf(const PendingAudio::Chunk& c) {
    return static_cast<int>(c.front());
}

TEST(PendingAudio, DropsTheOldestBeyondTheBoundAndReportsOnceTheReaderCaughtUp) {
    PendingAudio pending(10);
    pending.push(chunk(4, 1));
    pending.push(chunk(4, 2));
    pending.push(chunk(4, 3));  // 12 > 10: chunk 1 goes
    pending.push(chunk(4, 4));  // chunk 2 goes
    EXPECT_EQ(pending.pendingBytes(), 8u);

    EXPECT_EQ(tagOf(*pending.pop()), 3);
    EXPECT_FALSE(pending.takeEndedEpisode()) << "the reader has not caught up yet";
    pending.push(chunk(4, 5));
    pending.push(chunk(4, 6));  // chunk 4 goes: the same episode
    EXPECT_EQ(tagOf(*pending.pop()), 5);
    EXPECT_EQ(tagOf(*pending.pop()), 6);

    EXPECT_EQ(pending.takeEndedEpisode(), 12u);
    EXPECT_FALSE(pending.takeEndedEpisode()) << "reported once";

    pending.push(chunk(8, 7));
    pending.push(chunk(8, 8));  // a new episode
    EXPECT_EQ(tagOf(*pending.pop()), 8);
    EXPECT_EQ(pending.takeEndedEpisode(), 8u);
}

TEST(PendingAudio, StaysWithinItsBoundWhateverArrives) {
    PendingAudio pending(1000);
    std::uint64_t pushed = 0;
    for (int i = 0; i < 5000; ++i) {
        const std::size_t size = 1 + static_cast<std::size_t>(i * 37 % 300);
        pending.push(chunk(size, i % 256));
        pushed += size;
        ASSERT_LE(pending.pendingBytes(), 1000u);
    }
    pending.push(chunk(1500, 1));  // larger than the bound on its own: dropped too
    pushed += 1500;
    EXPECT_EQ(pending.pendingBytes(), 0u);
    EXPECT_EQ(pending.endEpisode(), pushed) << "the reader never took anything";
}

TEST(PendingAudio, ClearingForgetsThePendingAudioButNotTheEpisode) {
    PendingAudio pending(4);
    pending.push(chunk(4, 1));
    pending.push(chunk(4, 2));
    pending.clear();
    EXPECT_TRUE(pending.empty());
    EXPECT_EQ(pending.pendingBytes(), 0u);
    EXPECT_EQ(pending.endEpisode(), 4u) << "only what the bound dropped counts";
    EXPECT_FALSE(pending.endEpisode());
}

}  // namespace
}  // namespace halvo::pulse
