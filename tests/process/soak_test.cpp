// Thousands of stop/start cycles while audio flows: nothing may be lost, duplicated or left
// running, and the accounting must match stdout to the byte.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/helper_process.h"

namespace halvo::testing {
namespace {

TEST(Soak, StopStartCyclesKeepTheStreamWholeAndTheAccountingExact) {
    constexpr int kCycles = 2000;
    auto helper = HelperProcess::launchScenario("soak.scn");
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        // Every other cycle sends both commands in one write, so the start races the stop.
        if (cycle % 2 == 0) {
            helper->send("STOP\n");
            ASSERT_TRUE(helper->waitForNext("STOPPED")) << "cycle " << cycle;
            helper->send("START\n");
        } else {
            helper->send("STOP\nSTART\n");
        }
        ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED")) << "cycle " << cycle;
    }
    helper->send("STOP\n");
    helper->closeInput();
    const auto status = helper->waitForExit(std::chrono::seconds(10));
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 0);

    // The last totals line is written after the last buffer: it accounts for all of stdout.
    const auto messages = helper->messages();
    const std::regex totals(R"(Stopped\. Total: (\d+) KB, (\d+) samples)");
    std::smatch last;
    for (const std::string& message : messages) {
        std::smatch match;
        if (std::regex_match(message, match, totals))
            last = match;
    }
    ASSERT_FALSE(last.empty());
    const std::string output = helper->standardOutput();
    EXPECT_EQ(std::stoull(last[2]) * 1920, output.size());
    EXPECT_EQ(std::stoull(last[1]), output.size() >> 10);
    EXPECT_EQ(helper->count("CAPTURE_STARTED"), kCycles + 1);
    EXPECT_EQ(helper->countStartingWith("Capture is already"), 0);
    // Whole buffers in delivery order: every byte follows the pattern from where its buffer began.
    for (std::size_t at = 0; at + 1920 <= output.size(); at += 1920) {
        const auto first = static_cast<std::uint8_t>(output[at]);
        const std::string expected = patternBytes(first, 1920);
        ASSERT_EQ(output.compare(at, 1920, expected), 0) << "buffer at byte " << at;
    }
}

}  // namespace
}  // namespace halvo::testing
