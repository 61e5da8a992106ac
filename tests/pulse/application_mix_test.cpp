#include "services/pulse/application_mix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>

namespace halvo::pulse {
namespace {

// A stream that comes in bursts at uneven times (as PipeWire's pulse server hands over a
// player's buffer) and then ends: every frame comes out once, in order, and after the one wait
// that shows how long its bursts are, without a gap; the last ones after its end.
TEST(ApplicationMix, BurstsComeOutWholeInOrderAndUnbrokenAfterOneWait) {
    ApplicationMix mix(48000 * 10, 96000);
    const std::map<int, std::size_t> fragmentsAt{{0, 2},   {6, 12},  {23, 12}, {26, 12},
                                                 {42, 12}, {49, 12}, {66, 12}, {71, 12}};
    std::vector<float> out;
    float next = 1;
    for (int take = 0; take < 120; ++take) {
        if (const auto burst = fragmentsAt.find(take); burst != fragmentsAt.end()) {
            std::vector<float> frames(burst->second * 1024);
            std::iota(frames.begin(), frames.end(), next);
            next += static_cast<float>(frames.size());
            mix.add(7, frames.data(), frames.size());
        }
        if (take == 75) {
            mix.end(7);
        }
        const std::vector<float> block = mix.take(1024);
        out.insert(out.end(), block.begin(), block.end());
    }
    std::vector<float> heard;
    int gaps = 0;
    for (std::size_t at = 0; at < out.size(); ++at) {
        if (out[at] != 0) {
            gaps += !heard.empty() && out[at - 1] == 0 ? 1 : 0;
            heard.push_back(out[at]);
        }
    }
    ASSERT_EQ(heard.size(), static_cast<std::size_t>(next - 1));
    for (std::size_t at = 0; at < heard.size(); ++at) {
        ASSERT_EQ(heard[at], static_cast<float>(at + 1)) << "at " << at;
    }
    EXPECT_LE(gaps, 1);
}

// Bursts of 4 fragments every 4 blocks, of which four in every twenty are held back to come with
// the last of them (a player's buffer handed over in blocks, as PipeWire's pulse server does):
// the dry spell puts in only the 8 blocks of silence it lasts (not a lead's wait on top) and
// leaves that much more lead, so it is the only one.
TEST(ApplicationMix, ADryStreamGoesOnAtOnceWithItsLeadGrownByTheDrySpell) {
    ApplicationMix mix(48000 * 10, 96000);
    std::vector<float> out;
    float next = 1;
    for (int take = 0; take < 400; ++take) {
        for (int burst = 0; burst < 100; ++burst) {
            const bool heldBack = burst % 20 >= 10 && burst % 20 < 13;
            if (take == 4 * (heldBack ? burst - burst % 20 + 13 : burst)) {
                std::vector<float> frames(4 * 1024);
                std::iota(frames.begin(), frames.end(), next);
                next += static_cast<float>(frames.size());
                mix.add(1, frames.data(), frames.size());
            }
        }
        const std::vector<float> block = mix.take(1024);
        out.insert(out.end(), block.begin(), block.end());
    }
    const auto first = std::find_if(out.begin(), out.end(), [](float v) { return v != 0; });
    std::vector<std::size_t> drySpells;  // where each run of silence after the first audio ends
    for (auto at = first; at != out.end(); ++at) {
        if (*at == 0 && at + 1 != out.end() && *(at + 1) != 0) {
            drySpells.push_back(static_cast<std::size_t>(at - out.begin()));
        }
    }
    EXPECT_LE(drySpells.size(), 1u) << ::testing::PrintToString(drySpells);
    const auto last = std::find_if(out.rbegin(), out.rend(), [](float v) { return v != 0; });
    EXPECT_LE(std::count(first, last.base(), 0.0f), 8 * 1024) << "silence beyond the dry spell";
}

// At a change of output the old output's backlog plays out first, then the new one's streams
// start where it ends, in the same block: they never sound together and nothing is lost. A
// stream that then stops delivering for longer than the most lead is reported once.
TEST(ApplicationMix, ANewOutputFollowsTheOldOnesBacklogAndAStreamThatStopsIsReported) {
    ApplicationMix mix(48000, 4096);
    const std::vector<float> ones(1500, 1.0f);
    const std::vector<float> twos(1024, 2.0f);
    mix.add(1, ones.data(), ones.size());
    mix.add(1, ones.data(), ones.size());
    mix.end(1);
    mix.beginOutput();
    std::vector<float> out;
    for (int take = 0; take < 16; ++take) {
        if (take < 6) {
            mix.add(2, twos.data(), twos.size());
        }
        const std::vector<float> block = mix.take(1024);
        out.insert(out.end(), block.begin(), block.end());
    }
    EXPECT_EQ(std::count(out.begin(), out.end(), 1.0f), 3000);
    EXPECT_EQ(std::count(out.begin(), out.end(), 2.0f), 6 * 1024);
    EXPECT_EQ(std::find(out.begin(), out.end(), 2.0f) - out.begin(), 3000) << "no gap, no overlap";
    EXPECT_EQ(mix.takeStalled(), std::vector<std::uint64_t>{2});
}

// Streams add up, each from the start of the block, once it has its lead.
TEST(ApplicationMix, StreamsAddUp) {
    ApplicationMix mix(48000, 96000);
    const std::vector<float> ones(1024, 1.0f);
    const std::vector<float> twos(1024, 2.0f);
    std::vector<float> block;
    for (int round = 0; round < 2; ++round) {
        mix.add(1, ones.data(), ones.size());
        mix.add(2, twos.data(), twos.size());
        block = mix.take(1024);
    }
    EXPECT_EQ(block, std::vector<float>(1024, 3.0f));
}

}  // namespace
}  // namespace halvo::pulse
