// A parent that misbehaves (stops reading, hands over a broken stdout, leaves stderr unread,
// quits at once, writes commands in big lumps) still gets prompt answers, exact accounting and
// a helper that ends when told.
#include <gtest/gtest.h>

#include "tests/e2e/sound_server.h"
#include "tests/support/helper_process.h"
#include "tests/support/waiting.h"

namespace halvo::testing {
namespace {

using Lines = std::vector<std::string>;
using ParentFaults = ServerTest;

TEST_F(ParentFaults, StopAnswersAtOnceWhileStdoutIsNotReadAndSignalsFollowTheCommands) {
    auto helper = spawn({}, /*readOutput=*/false);
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
    EXPECT_EQ(size >> 10, lastStoppedKilobytes(*helper)) << "no byte after STOPPED, none uncounted";
    EXPECT_GE(helper->countStartingWith("Audio not yet written at the stop: dropped "), 1);
}

// A stdout that refuses audio is reported once and stops capture cleanly; nothing is counted.
TEST_F(ParentFaults, AFailingStdoutIsReportedOnceAndStopsCapture) {
    const struct {
        const char* redirection;
        const char* reason;
    } cases[] = {{">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}};
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.redirection);
        auto helper = HelperProcess::launch(
            {"/bin/sh", "-c", std::string("exec \"$0\" ") + broken.redirection, HALVO_HELPER_PATH},
            {server_->environmentEntry()});
        ASSERT_TRUE(helper->waitFor(std::string("Audio output failed: ") + broken.reason));
        ASSERT_TRUE(helper->waitFor("STOPPED"));
        EXPECT_EQ(lastStoppedKilobytes(*helper), 0u);
        EXPECT_EQ(helper->countStartingWith("Audio output failed: "), 1);
        // That STOPPED came unasked: the parent's own STOP still gets its own.
        ASSERT_TRUE(helper->send("STOP\n"));
        ASSERT_TRUE(helper->waitFor("STOPPED", 2));
        helper->closeInput();
        EXPECT_EQ(helper->exitCode(3s), 0);
    }
}

// Nobody reads stderr: audio keeps flowing, commands are still read, and of the lines that
// cannot wait for the parent only diagnostic ones are lost.
TEST_F(ParentFaults, AnUnreadStderrHoldsUpNeitherAudioNorCommandsAndLosesNoSignal) {
    auto helper = spawn({}, true, /*readErrors=*/false);
    ASSERT_TRUE(helper->waitForOutput(1));
    // Each unknown command brings two diagnostic lines: together more than may wait for stderr.
    ASSERT_TRUE(helper->send(repeated("nonsense\n", 20000)));
    ASSERT_TRUE(helper->waitUntilInputRead());
    const std::size_t before = helper->standardOutput().size();
    EXPECT_TRUE(helper->waitForOutput(before + kBytesPerSecond))
        << "audio stalled behind stderr: " << helper->standardOutput().size() - before;
    // The queue of lines is full now, and stays so while stderr is not read: whatever room is
    // left at its end, some of twenty STOPPED would not have fit.
    ASSERT_TRUE(helper->send(repeated("STOP\n", 20) + "START\n"));

    helper->readErrors();
    ASSERT_TRUE(helper->waitFor("CAPTURE_STARTED", 2));
    Lines expected{"WAITING", "CAPTURE_STARTED"};
    expected.insert(expected.end(), 20, "STOPPED");
    expected.push_back("CAPTURE_STARTED");
    EXPECT_EQ(helper->signalLines(), expected);
    EXPECT_TRUE(helper->waitForText(" lines dropped: standard error was not read"));
    EXPECT_EQ(helper->quit(3s), 0);
}

// While a parent leaves signal lines unread, each command waits for room for its answer, so
// that the lines waiting in the helper stay few enough to go out before it exits: a QUIT behind
// many commands is not reached until the parent reads again, and then every answer reaches it.
// Answers owed behind a start the held-up server has not answered count too: they all come at
// once when it does.
TEST_F(ParentFaults, UnreadSignalsHoldBackFurtherCommandsAndAreNeverLost) {
    auto helper = spawn({}, true, /*readErrors=*/false);
    ASSERT_TRUE(helper->waitForOutput(1));  // capture runs
    server_->stall(true);
    atTheEnd([this] { server_->stall(false); });
    ASSERT_TRUE(helper->send("STOP\nSTART\n" + repeated("STOP\n", 15000) + "QUIT\n"));
    EXPECT_FALSE(helper->waitForExit(2s)) << "commands ran on while their answers piled up";
    server_->stall(false);
    helper->readErrors();
    EXPECT_EQ(helper->exitCode(), 0);
    EXPECT_EQ(helper->count("STOPPED"), 15002);
}

// Quitting, or going, before the probe has answered (the server is held up): no capture starts,
// no audio on the way out, and nothing but the answer to the parent's last word.
TEST_F(ParentFaults, QuitBeforeTheProbeAnswersStartsNothing) {
    server_->stall(true);
    atTheEnd([this] { server_->stall(false); });
    for (const bool quit : {true, false}) {
        auto helper = spawn();
        quit ? (void)helper->send("QUIT\n") : helper->closeInput();
        EXPECT_EQ(helper->exitCode(3s), 0);
        EXPECT_EQ(helper->standardOutput(), "");
        EXPECT_EQ(helper->signalLines(), Lines{"STOPPED"}) << "quit: " << quit;
    }
}

// A line longer than any line may be is run as it stands, once: the rest of it is dropped. Its
// two lines are too long to reach the parent, and the note says so, not that stderr went unread.
TEST_F(ParentFaults, AnOverlongLineRunsOnceAndItsLinesAreDroppedWithANote) {
    auto helper = spawn();
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    ASSERT_TRUE(
        helper->send(std::string(1 << 20, 'x') + std::string(512 << 10, 'y') + "\nSTART\n"));
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    EXPECT_TRUE(helper->waitForText(" lines dropped: each longer than "));
    EXPECT_FALSE(helper->waitForText("standard error was not read", 0ms));
    EXPECT_EQ(helper->countStartingWith("CMD: "), 1) << "only START";
}

}  // namespace
}  // namespace halvo::testing
