// What the helper does with each kind of input on stdin, and how it ends.
#include <gtest/gtest.h>

#include "tests/support/helper_process.h"
#include "tests/support/waiting.h"

namespace halvo::testing {
namespace {

using Lines = std::vector<std::string>;

Lines commandLines(const HelperProcess& helper) {
    Lines result;
    for (const std::string& message : helper.messages()) {
        if (message.rfind("CMD: ", 0) == 0 || message.rfind("Unknown: ", 0) == 0) {
            result.push_back(message);
        }
    }
    return result;
}

class Commands : public ::testing::Test {
  protected:
    void SetUp() override {
        helper_ = HelperProcess::launchScenario("idle.scn");
        ASSERT_TRUE(helper_->waitFor("CAPTURE_STARTED"));
    }
    std::unique_ptr<HelperProcess> helper_;
};

TEST_F(Commands, CaseMattersWhitespaceDoesNotAndInvalidUtf8IsIgnored) {
    helper_->send(" start \n");
    helper_->send("\n");
    helper_->send("ST\xffOP\n");
    helper_->send("\xc0\xafSTART\n");
    helper_->send("\t\u00a0STOP\r\n");
    ASSERT_TRUE(helper_->waitFor("STOPPED"));
    EXPECT_EQ(commandLines(*helper_),
              (Lines{"CMD: start", "Unknown: start", "CMD: ", "Unknown: ", "CMD: STOP"}));
    EXPECT_EQ(helper_->count("Stopped. Total: 0 KB, 0 samples"), 1);
}

TEST_F(Commands, CommandsArrivingInOneReadAreEachRun) {
    helper_->send("STOP\nSTART\nbogus\nSTO");
    ASSERT_TRUE(helper_->waitFor("CAPTURE_STARTED", 2));
    EXPECT_EQ(commandLines(*helper_), (Lines{"CMD: STOP", "CMD: START", "CMD: bogus",
                                             "Unknown: bogus", "CMD: STO", "Unknown: STO"}));
    helper_->send("QUIT");  // no line feed: still a command
    const auto status = helper_->waitForExit();
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 0);
}

TEST_F(Commands, QuitStopsAndExitsZeroWithoutTheClosedLine) {
    helper_->send("QUIT\nSTART\n");
    const auto status = helper_->waitForExit();
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(commandLines(*helper_), (Lines{"CMD: QUIT"}));
    EXPECT_EQ(helper_->count("STOPPED"), 1);
    EXPECT_EQ(helper_->countStartingWith("stdin closed"), 0);
}

TEST_F(Commands, EndOfInputMeansTheParentIsGone) {
    helper_->closeInput();
    const auto status = helper_->waitForExit();
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 0);
    // The main thread's run-loop line may come at any point: it is not part of the order.
    Lines messages = helper_->messages();
    std::erase(messages, "Run loop started");
    const auto closed =
        std::find(messages.begin(), messages.end(), "stdin closed \xe2\x80\x94 parent exited");
    ASSERT_NE(closed, messages.end());
    EXPECT_EQ(Lines(closed + 1, messages.end()),
              (Lines{"Stopped. Total: 0 KB, 0 samples", "STOPPED"}));
    EXPECT_EQ(helper_->standardOutput(), "");
}

// Commands take effect in the order sent, however they meet a start or a stop still under way:
// each is answered in turn, and the state after the last one is the one it asks for.
TEST(CommandOrder, EveryCommandIsAnsweredInOrderAndTheLastOneHolds) {
    auto helper = HelperProcess::launchScenario("slow_start.scn");
    ASSERT_TRUE(helper->waitForNext("WAITING"));
    // The automatic start is under way: a START gets its answer, a STOP comes after it.
    ASSERT_TRUE(helper->send("START\nSTOP\n"));
    ASSERT_TRUE(helper->waitForNext("STOPPED"));
    // Two STARTs while stopped share one start; a START while capture runs answers at once.
    ASSERT_TRUE(helper->send("START\nSTART\n"));
    ASSERT_TRUE(helper->waitFor("CAPTURE_STARTED", 4));
    ASSERT_TRUE(helper->send("START\n"));
    ASSERT_TRUE(helper->waitFor("CAPTURE_STARTED", 5));
    ASSERT_TRUE(helper->waitForOutput(1));
    ASSERT_TRUE(helper->send("STOP\nSTART\nSTOP\n"));
    ASSERT_TRUE(helper->waitFor("STOPPED", 3));
    EXPECT_EQ(
        helper->signalLines(),
        (Lines{"WAITING", "CAPTURE_STARTED", "CAPTURE_STARTED", "STOPPED", "CAPTURE_STARTED",
               "CAPTURE_STARTED", "CAPTURE_STARTED", "STOPPED", "CAPTURE_STARTED", "STOPPED"}));
    EXPECT_EQ(helper->count("Starting system audio capture..."), 3);

    // No audio byte after the last STOPPED: its totals count them all, and none come later.
    const auto written = helper->drainedOutputSize();
    ASSERT_TRUE(written);
    EXPECT_EQ(*written >> 10, lastStoppedKilobytes(*helper));
    ASSERT_TRUE(helper->send("STOP\n"));
    ASSERT_TRUE(helper->waitFor("STOPPED", 4));
    EXPECT_EQ(helper->drainedOutputSize(), written);
}

// The exit must not wait for, or trip over, threads that are still busy with audio.
TEST(Lifetime, EndOfInputEndsTheHelperWhileAudioFloods) {
    auto helper = HelperProcess::launchScenario("flood.scn");
    ASSERT_TRUE(helper->waitForOutput(8 << 20));
    helper->closeInput();
    const auto status = helper->waitForExit(std::chrono::seconds(3));
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 0);
}

// A parent may hand over a non-blocking stdin: no command waiting is not the end of input.
TEST(Lifetime, ANonBlockingStdinIsWaitedOn) {
    auto helper = HelperProcess::launch(
        {"perl", "-e",
         "use Fcntl; fcntl(STDIN, F_SETFL, fcntl(STDIN, F_GETFL, 0) | O_NONBLOCK) or die; "
         "exec @ARGV or die",
         HALVO_SIM_HELPER_PATH, HelperProcess::scenarioPath("idle.scn")});
    ASSERT_TRUE(helper->waitFor("CAPTURE_STARTED"));
    ASSERT_TRUE(helper->send("STOP\n"));
    ASSERT_TRUE(helper->waitFor("STOPPED"));
    EXPECT_EQ(helper->countStartingWith("stdin closed"), 0);
    EXPECT_FALSE(helper->waitForExit(0ms));
}

TEST(Lifetime, AParentThatStopsReadingCanStillEndTheHelper) {
    std::string error;
    auto child = client::Subprocess::spawn(
        {HALVO_SIM_HELPER_PATH, std::string(HALVO_SCENARIO_DIR) + "/flood.scn"}, &error);
    ASSERT_TRUE(child) << error;
    // Nobody reads stdout or stderr: the pipe fills and the sink's write blocks.
    ASSERT_TRUE(waitUntilPipeFull(child->standardOutput()));
    child->closeStandardInput();
    const auto status = child->waitFor(std::chrono::seconds(3));
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 0);
}

}  // namespace
}  // namespace halvo::testing
