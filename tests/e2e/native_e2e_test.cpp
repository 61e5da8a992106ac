// The shipped helper on a PipeWire that has no pulse server at all: only the native service can
// record it.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/sound_server.h"
#include "tests/support/helper_process.h"

namespace halvo::testing {
namespace {

using namespace std::chrono_literals;

using NativeServer = ServerTest;

// It records; held up, it misses the graph's cycles, and silence of their length keeps the bytes
// on the clock; a storm of STOP and START is answered command by command, in order, and leaves it
// recording; the daemon killed stops the capture once, a START meanwhile is denied, and a START
// once the daemon is back records again.
TEST_F(NativeServer, RecordsAnswersAStormInOrderAndOutlivesTheDaemon) {
    const auto process = launch();
    ASSERT_TRUE(process);
    HelperProcess& helper = *process;
    EXPECT_TRUE(std::ranges::any_of(helper.messages(), [](const std::string& message) {
        return message.starts_with("Sound server: PipeWire ") && message.ends_with(" (native)");
    }));
    ASSERT_TRUE(helper.waitForOutput(kBytesPerSecond / 2));

    const double before = driftMs(helper);
    helper.kill(SIGSTOP);
    std::this_thread::sleep_for(300ms);
    helper.kill(SIGCONT);
    ASSERT_TRUE(helper.waitForText("The graph ran 0.")) << helper.transcript();
    ASSERT_TRUE(helper.waitForOutput(helper.drainedOutputSize().value_or(0) + kBytesPerSecond / 4));
    EXPECT_NEAR(driftMs(helper), before, 60);

    constexpr int kStorm = 25;
    std::string storm;
    for (int round = 0; round < kStorm; ++round) {
        storm += "STOP\nSTART\n";
    }
    ASSERT_TRUE(helper.send(storm));
    for (int round = 0; round < kStorm; ++round) {
        ASSERT_TRUE(helper.waitForNext("STOPPED")) << "round " << round << helper.transcript();
        ASSERT_TRUE(helper.waitForNext("CAPTURE_STARTED")) << "round " << round;
    }
    const std::size_t recorded = helper.drainedOutputSize().value_or(0);
    ASSERT_TRUE(helper.waitForOutput(recorded + kBytesPerSecond / 10));

    server_->kill();
    ASSERT_TRUE(helper.waitForNext("ERROR:STREAM_STOPPED:Connection terminated", 10s))
        << helper.transcript();
    ASSERT_TRUE(helper.send("STOP\nSTART\n"));
    ASSERT_TRUE(helper.waitForNext("STOPPED"));
    ASSERT_TRUE(helper.waitForNext("ERROR:PERMISSION_DENIED"));
    ASSERT_TRUE(server_->restart());
    ASSERT_TRUE(helper.send("START\n"));
    ASSERT_TRUE(helper.waitForNext("CAPTURE_STARTED")) << helper.transcript();
    EXPECT_EQ(helper.quit(), 0);
    EXPECT_EQ(helper.countStartingWith("ERROR:STREAM_STOPPED:"), 1);
}

}  // namespace
}  // namespace halvo::testing
