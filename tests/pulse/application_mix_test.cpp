#include "services/pulse/application_mix.h"

#include <gtest/gtest.h>

#include <map>
#include <numeric>

namespace halvo::pulse {
namespace {

// A stream that comes in bursts at uneven times (as PipeWire's pulse server hands over a
// player's buffer) and then ends: every frame comes out once, in order, and after the one wait
// that shows how long its bursts are, without a gap; the last ones after its end.
TEST(ApplicationMix, BurstsComeOutWholeInOrderAndUnbrokenAfterOneWait) {
    ApplicationMix mix(48000 * 10);
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

// Streams add up, each from the start of the block, once it has its lead.
TEST(ApplicationMix, StreamsAddUp) {
    ApplicationMix mix(48000);
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
