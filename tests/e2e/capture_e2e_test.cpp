// The shipped helper recording a private sound server: what a parent sees on stdout and stderr.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <span>
#include <thread>

#include "tests/e2e/sound_server.h"
#include "tests/support/helper_process.h"
#include "tests/support/tone.h"

namespace halvo::testing {
namespace {

using namespace std::chrono_literals;

// STOP answers STOPPED, and its totals line counts every byte on stdout, in whole samples.
std::size_t stopAndCheckTotals(HelperProcess& helper) {
    EXPECT_TRUE(helper.send("STOP\n") && helper.waitForNext("STOPPED"));
    const std::size_t size = helper.drainedOutputSize().value_or(1);
    EXPECT_EQ(size >> 10, lastStoppedKilobytes(helper));
    EXPECT_EQ(size % 4, 0u) << "whole samples only";
    return size;
}

using SharedServer = ServerTest;
using OwnServer = ServerTest;

// The parent closes its end of stdout while audio flows: the helper ends by SIGPIPE, whichever
// thread writes (libpulse's thread, where the sample queue is made, blocks every signal).
TEST_F(SharedServer, AClosedStdoutEndsTheHelperBySigpipe) {
    auto helper = spawn({}, /*readOutput=*/false);
    ASSERT_TRUE(helper && helper->waitForNext("CAPTURE_STARTED"));
    auto tone = server_->play(440, "halvo_null_a");
    ASSERT_TRUE(helper->waitFor("Audio format: 48000.0Hz, 1ch, 32bit"));
    helper->closeOutput();
    EXPECT_EQ(helper->exitCode(), 128 + SIGPIPE);
}

TEST_F(SharedServer, CapturesTheToneFollowsTheDefaultOutputAndAccountsForEveryByte) {
    const auto process = spawn();
    ASSERT_TRUE(process);
    HelperProcess& helper = *process;
    ASSERT_TRUE(helper.waitForNext("WAITING"));
    ASSERT_TRUE(helper.waitForNext("CAPTURE_STARTED"));
    auto low = server_->play(440, "halvo_null_a");
    auto high = server_->play(660, "halvo_null_b");
    ASSERT_TRUE(low && high);
    ASSERT_TRUE(helper.waitFor("Audio format: 48000.0Hz, 1ch, 32bit"));

    const std::optional<std::size_t> onset = waitForTone(helper, 0, 24000);
    ASSERT_TRUE(onset) << "no tone in " << helper.standardOutput().size() << " bytes";
    std::vector<float> samples = samplesOf(helper.standardOutput());
    const std::span<const float> middle(samples.data() + *onset + 4800, 19200);
    EXPECT_NEAR(frequencyOf(middle), 440.0, 2.0);
    EXPECT_NEAR(amplitudeOf(middle), 0.5, 0.06);

    // The user switches the default output: the tone on the new one is what is captured. The
    // server would move the first tone along with the default, so it ends first.
    low.reset();
    ASSERT_TRUE(server_->pactl("set-default-sink halvo_null_b"));
    ASSERT_TRUE(helper.waitForNext("Default output changed: following halvo_null_b.monitor"));
    const std::size_t switchedAt = helper.standardOutput().size() / 4;
    ASSERT_TRUE(helper.waitForOutput((switchedAt + 19200) * 4));
    samples = samplesOf(helper.standardOutput());
    EXPECT_NEAR(frequencyOf({samples.data() + switchedAt + 4800, 9600}), 660.0, 3.0);
    ASSERT_TRUE(server_->pactl("set-default-sink halvo_null_a"));
    ASSERT_TRUE(helper.waitForNext("Default output changed: following halvo_null_a.monitor"));
    EXPECT_EQ(helper.countStartingWith("Default output changed"), 2) << "one line per switch";

    const std::size_t stoppedAt = stopAndCheckTotals(helper);
    EXPECT_GT(stoppedAt, 0u);
    // Nothing announces that no audio follows STOPPED: give stray audio time to show up.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(helper.standardOutput().size(), stoppedAt) << "audio after STOPPED";

    // Starts and stops reuse the one connection: the server lists the helper once.
    for (int round = 2; round <= 3; ++round) {
        ASSERT_TRUE(helper.send("START\n"));
        ASSERT_TRUE(helper.waitForNext("CAPTURE_STARTED"));
        ASSERT_TRUE(helper.waitForOutput(helper.standardOutput().size() + kBytesPerSecond / 10));
        stopAndCheckTotals(helper);
    }
    EXPECT_EQ(server_->shell("pactl list clients | grep -c 'application.process.id = \"" +
                             std::to_string(helper.pid()) + "\"'"),
              "1\n");
    helper.closeInput();  // the parent went away
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_EQ(helper.countStartingWith("Stream error"), 0);
}

// The server ended the capture: "Stream error: <reason>" (a diagnostic line), right after it
// ERROR:STREAM_STOPPED:<reason>, once per loss; STOP still answers STOPPED with the totals.
void expectStoppedByTheServer(HelperProcess& helper, int losses, const std::string& reason) {
    // A vanished output is given 5 s for a new default to appear before it counts as stopped.
    ASSERT_TRUE(helper.waitForNext("ERROR:STREAM_STOPPED:" + reason, 10s)) << helper.transcript();
    const std::vector<std::string> lines = helper.lines();
    const auto signal = std::find(lines.rbegin(), lines.rend(), "ERROR:STREAM_STOPPED:" + reason);
    ASSERT_TRUE(signal != lines.rend() && std::next(signal) != lines.rend());
    EXPECT_TRUE(isDiagnosticLine(*std::next(signal))) << *std::next(signal);
    EXPECT_EQ(messageOf(*std::next(signal)), "Stream error: " + reason);
    EXPECT_EQ(helper.countStartingWith("Stream error: "), losses);
    stopAndCheckTotals(helper);
}

TEST_F(OwnServer, ReportsTheSinkAndTheServerGoingAwayAndStartsAfresh) {
    const auto process = launch();
    ASSERT_TRUE(process);
    HelperProcess& helper = *process;
    ASSERT_TRUE(helper.waitForOutput(kBytesPerSecond / 10));

    // Every sink goes: nothing left to follow.
    ASSERT_TRUE(server_->pactl("unload-module module-null-sink"));
    expectStoppedByTheServer(helper, 1, "Entity killed");

    ASSERT_TRUE(server_->pactl("load-module module-null-sink sink_name=halvo_null_a"));
    ASSERT_TRUE(server_->pactl("set-default-sink halvo_null_a"));
    ASSERT_TRUE(helper.send("START\n"));
    ASSERT_TRUE(helper.waitForNext("CAPTURE_STARTED"));

    server_->kill();
    expectStoppedByTheServer(helper, 2, "Connection terminated");

    ASSERT_TRUE(helper.send("START\n"));
    ASSERT_TRUE(helper.waitForNext("ERROR:PERMISSION_DENIED"));
    EXPECT_GE(helper.countStartingWith("Content error: "), 1);

    ASSERT_TRUE(server_->restart());
    ASSERT_TRUE(helper.send("START\n"));
    ASSERT_TRUE(helper.waitForNext("CAPTURE_STARTED"));
    EXPECT_EQ(helper.quit(), 0);
    EXPECT_EQ(helper.countStartingWith("ERROR:STREAM_STOPPED:"), 2) << "once per loss";
}

// No server, or an address too long for libpulse (which aborts on one of about 20 KB): the
// helper says so and exits with status 1, and so does --list-apps, as the start-up probe is.
// Even with libpulse's logging asked for, only the helper's own lines reach stderr.
TEST(NoServer, TheHelperExitsWithPermissionDenied) {
    ::unsetenv("PULSE_SERVER");  // the test's own setting must not win over the ones below
    const struct {
        std::vector<std::string> environment;
        const char* description;
        std::vector<std::string> argv{HALVO_HELPER_PATH};
    } cases[] = {
        {{"PULSE_SERVER=unix:/nonexistent/halvo/native", "PULSE_LOG=4", "PULSE_LOG_META=1"},
         nullptr},
        {{"PULSE_SERVER=" + std::string(20000, 'x')}, "Invalid server"},
        {{"PULSE_SERVER=unix:/nonexistent/halvo/native"},
         nullptr,
         {HALVO_HELPER_PATH, "--list-apps"}},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(run.environment.front().substr(0, 40) + " " + run.argv.back());
        auto helper = HelperProcess::launch(run.argv, run.environment);
        ASSERT_TRUE(helper);
        EXPECT_EQ(helper->exitCode(), 1);
        EXPECT_EQ(helper->signalLines(), std::vector<std::string>{"ERROR:PERMISSION_DENIED"});
        EXPECT_EQ(helper->countStartingWith("Permission denied: "), 1);
        if (run.description != nullptr) {
            EXPECT_EQ(helper->count(std::string("Permission denied: ") + run.description), 1);
        }
        EXPECT_TRUE(helper->standardOutput().empty());
    }
}

using ListApps = ServerTest;

// --list-apps names each player on the default output once, by process id, name and binary, and
// no player of another output. Run against each kind of server.
TEST_F(ListApps, NamesThePlayersOfTheDefaultOutput) {
    const auto first = server_->play(440, "halvo_null_a", 0.5, 1, 20, "Halvo Player One");
    const auto second =
        server_->play(660, "halvo_null_a", 0.5, 1, 20, "Halvo Player Zwei \xc3\xa4");
    const auto elsewhere = server_->play(880, "halvo_null_b", 0.5, 1, 20, "Halvo Elsewhere");
    ASSERT_TRUE(first && second && elsewhere);
    const std::vector<std::string> expected{
        std::to_string(first->pid()) + "\tHalvo Player One\tpacat\n",
        std::to_string(second->pid()) + "\tHalvo Player Zwei \xc3\xa4\tpacat\n"};
    const auto listed = [&](const std::string& list) {
        return std::count(list.begin(), list.end(), '\n') == 2 &&
               std::all_of(expected.begin(), expected.end(), [&](const std::string& line) {
                   return list.find(line) != std::string::npos;
               });
    };
    std::string list;
    // The players' streams appear a moment after they start.
    for (const auto until = std::chrono::steady_clock::now() + 10s;
         !listed(list) && std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        auto helper = spawn({"--list-apps"});
        const auto status = helper->waitForExit(10s);
        ASSERT_TRUE(status && status->exited);
        ASSERT_EQ(status->code, 0) << helper->transcript();
        EXPECT_EQ(helper->signalLines(), std::vector<std::string>{});
        list = helper->standardOutput();
    }
    EXPECT_TRUE(listed(list)) << list;
}

}  // namespace
}  // namespace halvo::testing
