// A parent that misbehaves (stops reading, hands over a broken stdout, leaves stderr unread,
// quits at once, writes commands in big lumps) still gets prompt answers, exact accounting and
// a helper that ends when told.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/support/helper_process.h"
#include "tests/support/waiting.h"

namespace halvo::testing {
namespace {

using Lines = std::vector<std::string>;

TEST(ParentFaults, StopAnswersAtOnceWhileStdoutIsNotReadAndSignalsFollowTheCommands) {
    auto helper = HelperProcess::launchScenario("flood.scn", /*readOutput=*/false);
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    ASSERT_TRUE(helper->waitUntilOutputPipeFull()) << "the write must be waiting on the reader";
    ASSERT_TRUE(helper->send("STOP\n"));
    ASSERT_TRUE(helper->send("START\n"));
    ASSERT_TRUE(helper->waitForNext("STOPPED", 2s)) << "STOP must not wait for the reader";
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED", 2s));
    ASSERT_TRUE(helper->send("STOP\n"));
    ASSERT_TRUE(helper->waitForNext("STOPPED", 2s));

    helper->readOutput();
    const auto drained = helper->drainedOutputSize();
    ASSERT_TRUE(drained);
    const std::size_t size = *drained;
    EXPECT_EQ(size % 4, 0u) << "whole samples only";
    EXPECT_EQ(helper->standardOutput().substr(0, 4096), patternBytes(0, 4096));
    EXPECT_EQ(size >> 10, lastStoppedKilobytes(*helper)) << "no byte after STOPPED, none uncounted";
    EXPECT_GE(helper->countStartingWith("Audio not yet written at the stop: dropped "), 1);
}

// A stdout that refuses audio is reported once and stops capture cleanly; nothing is counted.
TEST(ParentFaults, AFailingStdoutIsReportedOnceAndStopsCapture) {
    const struct {
        const char* redirection;
        const char* reason;
    } cases[] = {{">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}};
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.redirection);
        auto helper = HelperProcess::launch(
            {"/bin/sh", "-c", std::string("exec \"$0\" \"$1\" ") + broken.redirection,
             HALVO_SIM_HELPER_PATH, HelperProcess::scenarioPath("flow.scn")});
        ASSERT_TRUE(helper->waitFor(std::string("Audio output failed: ") + broken.reason));
        ASSERT_TRUE(helper->waitFor("STOPPED"));
        EXPECT_EQ(lastStoppedKilobytes(*helper), 0u);
        EXPECT_EQ(helper->countStartingWith("Audio output failed: "), 1);
        // That STOPPED came unasked: the parent's own STOP still gets its own.
        ASSERT_TRUE(helper->send("STOP\n"));
        ASSERT_TRUE(helper->waitFor("STOPPED", 2));
        helper->closeInput();
        const auto status = helper->waitForExit(3s);
        ASSERT_TRUE(status && status->exited);
        EXPECT_EQ(status->code, 0);
    }
}

// Nobody reads stderr: audio keeps flowing and QUIT is still read.
TEST(ParentFaults, AnUnreadStderrHoldsUpNeitherAudioNorCommands) {
    std::string error;
    auto child = client::Subprocess::spawn(
        {HALVO_SIM_HELPER_PATH, HelperProcess::scenarioPath("flood.scn")}, &error);
    ASSERT_TRUE(child) << error;
    std::atomic<std::size_t> received{0};
    std::thread reader([&] {
        char buffer[65536];
        ssize_t got;
        while ((got = ::read(child->standardOutput(), buffer, sizeof buffer)) > 0) {
            received += static_cast<std::size_t>(got);
        }
    });
    ASSERT_TRUE(eventually([&] { return received > 0; }));
    // Each unknown command brings two lines: far more than the stderr pipe holds.
    std::string noise;
    for (int i = 0; i < 3000; ++i) {
        noise += "nonsense\n";
    }
    ASSERT_TRUE(child->write(noise));
    ASSERT_TRUE(waitUntilPipeFull(child->standardError()));
    const std::size_t before = received;
    EXPECT_TRUE(eventually([&] { return received > before + (4 << 20); }))
        << "audio stalled behind stderr";
    ASSERT_TRUE(child->write("QUIT\n"));
    const auto status = child->waitFor(3s);
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 0);
    reader.join();
}

// Quitting, or going, before the probe has answered: no capture starts, no audio on the way out,
// and nothing but the answer to the parent's last word.
TEST(ParentFaults, QuitBeforeTheProbeAnswersStartsNothing) {
    for (const bool quit : {true, false}) {
        auto helper = HelperProcess::launchScenario("slow_probe.scn");
        if (quit) {
            ASSERT_TRUE(helper->send("QUIT\n"));
        } else {
            helper->closeInput();
        }
        const auto status = helper->waitForExit(3s);
        ASSERT_TRUE(status && status->exited);
        EXPECT_EQ(status->code, 0);
        EXPECT_EQ(helper->standardOutput(), "");
        EXPECT_EQ(helper->signalLines(), Lines{"STOPPED"}) << "quit: " << quit;
    }
}

// The first read fills the whole read buffer and ends inside a command.
TEST(ParentFaults, ACommandCutByTheReadSizeIsRunWhole) {
    auto helper = HelperProcess::launchScenario("idle.scn");
    ASSERT_TRUE(helper->send(std::string(65533, ' ') + "\nST"));  // before the first read
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    ASSERT_TRUE(helper->send("OP\n"));
    ASSERT_TRUE(helper->waitForNext("STOPPED"));
    EXPECT_EQ(helper->count("CMD: STOP"), 1);
    EXPECT_EQ(helper->countStartingWith("Unknown: ST"), 0);
    EXPECT_EQ(helper->countStartingWith("Unknown: OP"), 0);
}

}  // namespace
}  // namespace halvo::testing
