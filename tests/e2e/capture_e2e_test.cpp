// The shipped helper recording a private sound server: what a parent sees on stdout and stderr.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <thread>

#include "tests/e2e/sound_server.h"
#include "tests/e2e/tone.h"
#include "tests/support/helper_process.h"

namespace halvo::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBytesPerSecond = 48000 * 4;

// The bytes and samples of the helper's last totals line.
struct Totals {
    std::uint64_t kilobytes = 0;
    std::uint64_t samples = 0;
};

std::optional<Totals> lastTotals(const HelperProcess& helper) {
    static const std::regex form(R"(^Stopped\. Total: (\d+) KB, (\d+) samples$)");
    std::optional<Totals> totals;
    for (const std::string& message : helper.messages()) {
        std::smatch match;
        if (std::regex_match(message, match, form)) {
            totals = Totals{std::stoull(match[1]), std::stoull(match[2])};
        }
    }
    return totals;
}

// Polls the helper's stdout until `ready` holds for its samples.
bool eventuallyHeard(const HelperProcess& helper,
                     const std::function<bool(const std::vector<float>&)>& ready,
                     std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready(samplesOf(helper.standardOutput()))) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The size of the helper's stdout once nothing more arrives: the two streams are read by
// separate threads, so a line on stderr may be seen before the bytes written before it.
std::size_t settledOutputSize(const HelperProcess& helper) {
    std::size_t size = helper.standardOutput().size();
    for (;;) {
        std::this_thread::sleep_for(100ms);
        const std::size_t now = helper.standardOutput().size();
        if (now == size) {
            return size;
        }
        size = now;
    }
}

// The helper clients the server lists for process `pid`.
int clientsOf(const SoundServer& server, pid_t pid) {
    const std::string listing = server.pactl("list clients").value_or("");
    const std::string property = "application.process.id = \"" + std::to_string(pid) + "\"";
    int count = 0;
    for (std::size_t at = listing.find(property); at != std::string::npos;
         at = listing.find(property, at + 1)) {
        ++count;
    }
    return count;
}

class SoundServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = SoundServer::fromEnvironment();
        ASSERT_TRUE(server_) << "run through ctest: HALVO_SOUND_DIR names the sound server";
    }
    HelperProcess* launchHelper() {
        helper_ = HelperProcess::launch({HALVO_HELPER_PATH}, {server_->environmentEntry()});
        EXPECT_TRUE(helper_);
        return helper_.get();
    }
    std::unique_ptr<SoundServer> server_;
    std::unique_ptr<HelperProcess> helper_;
};

using SharedServer = SoundServerTest;
using OwnServer = SoundServerTest;

TEST_F(SharedServer, CapturesTheToneAndAccountsForEveryByte) {
    HelperProcess* helper = launchHelper();
    ASSERT_TRUE(helper);
    ASSERT_TRUE(helper->waitForNext("WAITING"));
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    auto tone = server_->play(sine(440, 0.5, 1.5), "halvo_null_a");
    ASSERT_TRUE(tone);
    ASSERT_TRUE(helper->waitFor("Audio format: 48000.0Hz, 1ch, 32bit"));

    ASSERT_TRUE(eventuallyHeard(
        *helper, [](const std::vector<float>& s) { return loudStretch(s).seconds() > 0.6; }))
        << "no tone in " << helper->standardOutput().size() << " bytes";
    const std::vector<float> samples = samplesOf(helper->standardOutput());
    const Stretch loud = loudStretch(samples);
    const std::span<const float> middle(samples.data() + loud.begin + 4800, 19200);
    EXPECT_NEAR(frequencyOf(middle), 440.0, 2.0);
    EXPECT_NEAR(rmsOf(middle), 0.5 / std::sqrt(2.0), 0.04);

    ASSERT_TRUE(helper->send("STOP\n"));
    ASSERT_TRUE(helper->waitForNext("STOPPED"));
    const std::size_t stoppedAt = settledOutputSize(*helper);
    auto totals = lastTotals(*helper);
    ASSERT_TRUE(totals);
    EXPECT_EQ(stoppedAt >> 10, totals->kilobytes);
    EXPECT_EQ(stoppedAt % 4, 0u) << "whole samples only";
    EXPECT_GT(totals->samples, 0u);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(helper->standardOutput().size(), stoppedAt) << "audio after STOPPED";

    // Starts and stops reuse the one connection: the server lists the helper once.
    for (int round = 2; round <= 3; ++round) {
        ASSERT_TRUE(helper->send("START\n"));
        ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
        ASSERT_TRUE(helper->waitForOutput(helper->standardOutput().size() + kBytesPerSecond / 10));
        ASSERT_TRUE(helper->send("STOP\n"));
        ASSERT_TRUE(helper->waitForNext("STOPPED"));
        totals = lastTotals(*helper);
        ASSERT_TRUE(totals);
        EXPECT_EQ(settledOutputSize(*helper) >> 10, totals->kilobytes) << "round " << round;
    }
    EXPECT_EQ(clientsOf(*server_, helper->pid()), 1);

    ASSERT_TRUE(helper->send("QUIT\n"));
    const auto status = helper->waitForExit(5s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0);
}

TEST_F(SharedServer, FollowsTheDefaultOutputWhenTheUserSwitchesIt) {
    HelperProcess* helper = launchHelper();
    ASSERT_TRUE(helper);
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    auto low = server_->play(sine(440, 0.5, 4), "halvo_null_a");
    auto high = server_->play(sine(660, 0.5, 4), "halvo_null_b");
    ASSERT_TRUE(low && high);
    ASSERT_TRUE(eventuallyHeard(
        *helper, [](const std::vector<float>& s) { return loudStretch(s).seconds() > 0.3; }));
    {
        const std::vector<float> samples = samplesOf(helper->standardOutput());
        const Stretch loud = loudStretch(samples);
        EXPECT_NEAR(frequencyOf({samples.data() + loud.begin + 2400, 9600}), 440.0, 3.0);
    }

    ASSERT_TRUE(server_->pactl("set-default-sink halvo_null_b"));
    struct RestoreDefault {
        const SoundServer& server;
        ~RestoreDefault() { server.pactl("set-default-sink halvo_null_a"); }
    } restore{*server_};
    ASSERT_TRUE(helper->waitForNext("Default output changed: following halvo_null_b.monitor"));
    const std::size_t switchedAt = helper->standardOutput().size() / 4;
    ASSERT_TRUE(helper->waitForOutput((switchedAt + 48000 * 4 / 10) * 4));
    const std::vector<float> samples = samplesOf(helper->standardOutput());
    EXPECT_NEAR(frequencyOf({samples.data() + switchedAt + 4800, 9600}), 660.0, 3.0);

    ASSERT_TRUE(server_->pactl("set-default-sink halvo_null_a"));
    ASSERT_TRUE(helper->waitForNext("Default output changed: following halvo_null_a.monitor"));
    EXPECT_EQ(helper->countStartingWith("Default output changed"), 2) << "one line per switch";

    helper->closeInput();  // the parent went away
    const auto status = helper->waitForExit(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(helper->countStartingWith("Stream error"), 0);
}

// Both stream errors end the same way: two lines, then STOP answers STOPPED. Sets `reason`
// to the description the lines carry.
void expectStoppedByTheServer(HelperProcess& helper, int occurrence, std::string* reason) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (helper.countStartingWith("ERROR:STREAM_STOPPED:") < occurrence) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no stream error";
        std::this_thread::sleep_for(10ms);
    }
    const std::vector<std::string> messages = helper.messages();
    std::vector<std::size_t> errors;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].rfind("Stream error: ", 0) == 0) {
            errors.push_back(i);
        }
    }
    ASSERT_EQ(errors.size(), static_cast<std::size_t>(occurrence));
    const std::size_t at = errors.back();
    ASSERT_LT(at + 1, messages.size());
    *reason = messages[at].substr(14);
    EXPECT_EQ(messages[at + 1], "ERROR:STREAM_STOPPED:" + *reason);
    EXPECT_TRUE(isDiagnosticLine(helper.lines()[at]));

    ASSERT_TRUE(helper.send("STOP\n"));
    ASSERT_TRUE(helper.waitForNext("STOPPED"));
    const auto totals = lastTotals(helper);
    ASSERT_TRUE(totals);
    EXPECT_EQ(settledOutputSize(helper) >> 10, totals->kilobytes);
}

TEST_F(OwnServer, ReportsTheSinkAndTheServerGoingAwayAndStartsAfresh) {
    HelperProcess* helper = launchHelper();
    ASSERT_TRUE(helper);
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    ASSERT_TRUE(helper->waitForOutput(kBytesPerSecond / 10));

    // Every sink goes: nothing left to follow.
    ASSERT_TRUE(server_->pactl("unload-module module-null-sink"));
    std::string reason;
    expectStoppedByTheServer(*helper, 1, &reason);
    EXPECT_EQ(reason, "Entity killed");

    ASSERT_TRUE(server_->pactl("load-module module-null-sink sink_name=halvo_null_a"));
    ASSERT_TRUE(server_->pactl("set-default-sink halvo_null_a"));
    ASSERT_TRUE(helper->send("START\n"));
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));

    server_->kill();
    expectStoppedByTheServer(*helper, 2, &reason);
    EXPECT_EQ(reason, "Connection terminated");

    ASSERT_TRUE(helper->send("START\n"));
    ASSERT_TRUE(helper->waitForNext("ERROR:PERMISSION_DENIED"));
    EXPECT_GE(helper->countStartingWith("Content error: "), 1);

    ASSERT_TRUE(server_->restart());
    ASSERT_TRUE(helper->send("START\n"));
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    ASSERT_TRUE(helper->send("QUIT\n"));
    const auto status = helper->waitForExit(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(helper->countStartingWith("ERROR:STREAM_STOPPED:"), 2) << "once per loss";
}

TEST(NoServer, TheHelperExitsWithPermissionDenied) {
    ::unsetenv("PULSE_SERVER");  // the test's own setting must not win over the one below
    auto helper =
        HelperProcess::launch({HALVO_HELPER_PATH}, {"PULSE_SERVER=unix:/nonexistent/halvo/native"});
    ASSERT_TRUE(helper);
    const auto status = helper->waitForExit(5s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 1);
    EXPECT_EQ(helper->count("ERROR:PERMISSION_DENIED"), 1);
    EXPECT_EQ(helper->countStartingWith("Permission denied: "), 1);
    EXPECT_EQ(helper->count("WAITING"), 0);
    EXPECT_TRUE(helper->standardOutput().empty());
}

}  // namespace
}  // namespace halvo::testing
