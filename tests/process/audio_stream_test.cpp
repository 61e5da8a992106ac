// The PCM on stdout: exactly the bytes delivered while the gate was open, and the lines that
// account for them.
#include <gtest/gtest.h>

#include "tests/support/helper_process.h"

namespace halvo::testing {
namespace {

TEST(AudioStream, StdoutIsExactlyTheDeliveredBytesAndTheTotalsAgree) {
    auto helper = HelperProcess::launchScenario("flow.scn");
    ASSERT_TRUE(helper->waitForOutput(450000));
    helper->send("STOP\n");
    ASSERT_TRUE(helper->waitFor("STOPPED"));

    EXPECT_EQ(helper->standardOutput(), patternBytes(0, 450000));
    EXPECT_EQ(helper->count("Audio format: 48000.0Hz, 1ch, 32bit"), 1);
    EXPECT_EQ(helper->count("Audio: 200 samples, 195 KB total"), 1);
    EXPECT_EQ(helper->count("Audio: 400 samples, 390 KB total"), 1);
    EXPECT_EQ(helper->count("Stopped. Total: 439 KB, 450 samples"), 1);
}

TEST(AudioStream, MalformedBuffersAreDroppedAndScatteredOnesKept) {
    auto helper = HelperProcess::launchScenario("malformed.scn");
    // Buffers at pattern positions 0-40 are dropped, 40-83 are written (one of them in runs).
    ASSERT_TRUE(helper->waitForOutput(43));
    helper->send("STOP\n");
    ASSERT_TRUE(helper->waitFor("STOPPED"));

    EXPECT_EQ(helper->standardOutput(), patternBytes(40, 43));
    EXPECT_EQ(helper->count("Audio format: 48000.0Hz, 1ch, 32bit"), 2);
    EXPECT_EQ(helper->countStartingWith("Audio format: 44100"), 0);
    EXPECT_EQ(helper->count("Stopped. Total: 0 KB, 3 samples"), 1);
}

TEST(AudioStream, BuffersBeforeTheStartIsConfirmedAreDropped) {
    auto helper = HelperProcess::launchScenario("early.scn");
    ASSERT_TRUE(helper->waitForOutput(20));
    helper->send("STOP\n");
    ASSERT_TRUE(helper->waitFor("STOPPED"));
    EXPECT_EQ(helper->standardOutput(), patternBytes(30, 20));
}

TEST(AudioStream, CountersAndFormatLineSpanStopAndStart) {
    auto helper = HelperProcess::launchScenario("restart.scn");
    ASSERT_TRUE(helper->waitForOutput(15000));
    helper->send("STOP\n");
    ASSERT_TRUE(helper->waitFor("STOPPED"));
    EXPECT_EQ(helper->count("Stopped. Total: 14 KB, 150 samples"), 1);
    helper->send("START\n");
    ASSERT_TRUE(helper->waitForOutput(30000));
    helper->closeInput();
    ASSERT_TRUE(helper->waitForExit());

    EXPECT_EQ(helper->standardOutput(), patternBytes(0, 30000));
    EXPECT_EQ(helper->countStartingWith("Audio format: "), 1);
    EXPECT_EQ(helper->countStartingWith("Audio: "), 1);
    EXPECT_EQ(helper->count("Audio: 200 samples, 19 KB total"), 1);
    EXPECT_EQ(helper->count("Stopped. Total: 29 KB, 300 samples"), 1);
}

}  // namespace
}  // namespace halvo::testing
