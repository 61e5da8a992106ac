#include <gtest/gtest.h>

#include <chrono>

#include "output/audio_format_text.h"
#include "platform/process.h"

namespace halvo {
namespace {

TEST(SampleRateText, ShortestRoundTripDigitsInPlainNotation) {
    EXPECT_EQ(formatSampleRate(48000), "48000.0");
    EXPECT_EQ(formatSampleRate(44100), "44100.0");
    EXPECT_EQ(formatSampleRate(22050.5), "22050.5");
    EXPECT_EQ(formatSampleRate(0.1), "0.1");
    EXPECT_EQ(formatSampleRate(1e22), "10000000000000000000000.0");
    EXPECT_EQ(formatSampleRate(123456789.125), "123456789.125");
    EXPECT_EQ(formatSampleRate(5e-7), "0.0000005");
    EXPECT_EQ(formatSampleRate(0), "0.0");
}

// Milliseconds are cut, never rounded up into the next second.
TEST(Timestamp, IsUtcToTheSecond) {
    using namespace std::chrono;
    const sys_seconds when = sys_days{year{2026} / 12 / 6} + hours{8} + minutes{4} + seconds{9};
    EXPECT_EQ(platform::iso8601(when + milliseconds{999}), "2026-12-06T08:04:09Z");
}

}  // namespace
}  // namespace halvo
