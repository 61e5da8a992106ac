#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include "client/helper_client.h"
#include "tests/client/client_test_support.h"

namespace halvo::client_test {
namespace {

using client::HelperClient;
using client::HelperOptions;
using client::Signal;
using client::SignalKind;

std::vector<SignalKind> kindsOf(const std::vector<Signal>& signals) {
    std::vector<SignalKind> kinds;
    for (const Signal& signal : signals) {
        kinds.push_back(signal.kind);
    }
    return kinds;
}

std::unique_ptr<HelperClient> launch(std::vector<std::string> command, RecordingListener& listener,
                                     std::chrono::milliseconds exitTimeout = 3s) {
    HelperOptions options;
    options.command = std::move(command);
    options.exitTimeout = exitTimeout;
    std::string error;
    auto client = HelperClient::launch(options, listener, &error);
    EXPECT_TRUE(client) << error;
    return client;
}

std::unique_ptr<HelperClient> launchScenario(const std::string& name, RecordingListener& listener) {
    return launch({CLIENT_TEST_SIM_HELPER, scenario(name)}, listener);
}

// True once `pid` is neither running nor a zombie waiting for this process.
bool isGone(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD && ::kill(pid, 0) != 0;
}

TEST(HelperClient, DeliversSignalsFormatAndEveryAudioByteThenEndsCleanly) {
    RecordingListener listener;
    auto client = launchScenario("flow.scn", listener);
    ASSERT_TRUE(client);
    ASSERT_TRUE(listener.waitForAudio(6 * 4000));
    ASSERT_TRUE(listener.waitForSignal(SignalKind::captureStarted));

    const client::ExitStatus status = client->shutdown();
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);  // QUIT, not a kill
    EXPECT_EQ(listener.heard().audio, patternBytes(6 * 4000));
    EXPECT_FALSE(listener.heard().audioBeforeFormat);
    EXPECT_EQ(listener.heard().format, (client::AudioFormat{48000, 1, 32}));
    EXPECT_EQ(client->format(), listener.heard().format);
    // The helper stops the capture as it quits.
    EXPECT_EQ(kindsOf(listener.heard().signals),
              (std::vector{SignalKind::waiting, SignalKind::captureStarted, SignalKind::stopped}));
    EXPECT_EQ(listener.heard().exitCalls, 1);
    EXPECT_FALSE(listener.heard().callbackAfterExit);
    EXPECT_TRUE(isGone(client->pid()));
    bool sawQuitCommand = false;
    for (const client::Diagnostic& line : listener.heard().diagnostics) {
        EXPECT_FALSE(line.timestamp.empty()) << "stray text: " << line.message;
        sawQuitCommand = sawQuitCommand || line.message == "CMD: QUIT";
    }
    EXPECT_TRUE(sawQuitCommand);
}

TEST(HelperClient, StopAndStartCommandsPauseAndResumeTheAudio) {
    RecordingListener listener;
    auto client = launchScenario("thirty_seconds.scn", listener);
    ASSERT_TRUE(client);
    ASSERT_TRUE(listener.waitForAudio(1920 * 3));
    ASSERT_TRUE(client->stop());
    ASSERT_TRUE(listener.waitForSignal(SignalKind::stopped));
    const std::size_t stoppedAt = listener.heard().audio.size();
    ASSERT_TRUE(client->start());
    ASSERT_TRUE(listener.waitForSignal(SignalKind::captureStarted, 2));
    EXPECT_TRUE(listener.waitForAudio(stoppedAt + 1920 * 3));
    // Audio up to the stop is the unbroken pattern.
    EXPECT_EQ(listener.heard().audio.substr(0, stoppedAt), patternBytes(stoppedAt));
    client.reset();
    EXPECT_EQ(listener.heard().exitCalls, 1);
}

TEST(HelperClient, CommandsMayBeSentFromTheListenersThread) {
    RecordingListener listener;
    std::unique_ptr<HelperClient> client;
    std::mutex clientMutex;  // guards `client` itself, which the reader thread reads
    listener.onEachSignal = [&](const Signal& signal) {
        std::lock_guard lock(clientMutex);
        if (signal.kind == SignalKind::captureStarted && client) {
            client->stop();
        }
    };
    {
        std::lock_guard lock(clientMutex);
        client = launchScenario("thirty_seconds.scn", listener);
        ASSERT_TRUE(client);
    }
    EXPECT_TRUE(listener.waitForSignal(SignalKind::stopped));
    std::unique_ptr<HelperClient> ending;
    {
        std::lock_guard lock(clientMutex);
        ending = std::move(client);
    }
    ending.reset();
}

struct ErrorCase {
    const char* scenario;
    Signal expected;
    bool helperExitsByItself;  // with status 1
};

void PrintTo(const ErrorCase& errorCase, std::ostream* out) {
    *out << errorCase.scenario;
}

class HelperErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(HelperErrors, BecomeSignalsWithTheirWholeDescription) {
    RecordingListener listener;
    auto client = launchScenario(GetParam().scenario, listener);
    ASSERT_TRUE(client);
    ASSERT_TRUE(listener.waitForSignal(GetParam().expected.kind));
    if (GetParam().helperExitsByItself) {
        ASSERT_TRUE(listener.waitForExit());
        EXPECT_EQ(listener.heard().exit->code, 1);
    }
    client->shutdown();
    for (const Signal& signal : listener.heard().signals) {
        if (signal.kind == GetParam().expected.kind) {
            EXPECT_EQ(signal, GetParam().expected);
        }
    }
    // Continuation lines belong to the signal or diagnostic before them, never stray text.
    for (const client::Diagnostic& line : listener.heard().diagnostics) {
        EXPECT_FALSE(line.timestamp.empty()) << "stray text: " << line.message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, HelperErrors,
    ::testing::Values(
        ErrorCase{"denied.scn", {SignalKind::permissionDenied, ""}, true},
        ErrorCase{"no_display.scn", {SignalKind::noDisplay, ""}, false},
        ErrorCase{"start_fails.scn",
                  {SignalKind::captureFailed, "Device busy\nsecond line of the reason"},
                  false},
        ErrorCase{"setup_fails_empty.scn", {SignalKind::captureFailed, ""}, false},
        ErrorCase{
            "system_stop.scn", {SignalKind::streamStopped, "Audio device\nwas unplugged"}, false}));

TEST(HelperClient, ReadsGarbageAndReportsAHelperThatDiesByItself) {
    RecordingListener listener;
    auto client = launch({"/bin/sh", fakeHelper("garbage.sh")}, listener);
    ASSERT_TRUE(client);
    ASSERT_TRUE(listener.waitForExit());
    EXPECT_EQ(listener.heard().exit->code, 3);
    EXPECT_EQ(listener.heard().audio, "abcdefgh");
    EXPECT_EQ(listener.heard().format, (client::AudioFormat{44100, 2, 32}));
    EXPECT_EQ(listener.heard().signals,
              (std::vector<Signal>{{SignalKind::waiting, ""},
                                   {SignalKind::streamStopped, "first\nsecond"},
                                   {SignalKind::captureStarted, ""}}));
    const auto diagnostics = listener.heard().diagnostics;
    ASSERT_EQ(diagnostics.size(), 4u);
    EXPECT_EQ(diagnostics[0], (client::Diagnostic{"", "\001\002 binary garbage \377"}));
    EXPECT_EQ(diagnostics[2].message, "Stream error: first\nsecond");
    EXPECT_EQ(diagnostics[3], (client::Diagnostic{"", "a last line without a line feed"}));
    // Commands to a dead helper fail instead of raising SIGPIPE; shutdown reports the same end.
    EXPECT_FALSE(client->stop());
    EXPECT_EQ(client->shutdown().code, 3);
    EXPECT_EQ(listener.heard().exitCalls, 1);
}

TEST(HelperClient, ReportsAHelperKilledUnderIt) {
    RecordingListener listener;
    auto client = launchScenario("thirty_seconds.scn", listener);
    ASSERT_TRUE(client);
    ASSERT_TRUE(listener.waitForAudio(1920));
    ::kill(client->pid(), SIGKILL);
    ASSERT_TRUE(listener.waitForExit());
    EXPECT_FALSE(listener.heard().exit->exited);
    EXPECT_EQ(listener.heard().exit->signal, SIGKILL);
    EXPECT_EQ(client->shutdown().signal, SIGKILL);
    EXPECT_TRUE(isGone(client->pid()));
}

TEST(HelperClient, KillsAHelperThatWillNotQuit) {
    RecordingListener listener;
    auto client = launch({"/bin/sh", fakeHelper("deaf.sh")}, listener, 300ms);
    ASSERT_TRUE(client);
    ASSERT_TRUE(listener.waitForSignal(SignalKind::waiting));
    const client::ExitStatus status = client->shutdown();
    EXPECT_EQ(status.signal, SIGKILL);
    EXPECT_TRUE(isGone(client->pid()));
    EXPECT_EQ(listener.heard().exitCalls, 1);
    ::kill(-client->pid(), SIGKILL);  // the script's sleep, in the helper's own process group
}

TEST(HelperClient, ShutdownReturnsWhileADescendantStillHoldsThePipes) {
    RecordingListener listener;
    auto client = launch({"/bin/sh", fakeHelper("leaves_child.sh")}, listener);
    ASSERT_TRUE(client);
    ASSERT_TRUE(listener.waitForSignal(SignalKind::waiting));
    const pid_t group = client->pid();
    EXPECT_EQ(client->shutdown().code, 0);
    EXPECT_EQ(listener.heard().exitCalls, 1);
    ::kill(-group, SIGKILL);
}

TEST(HelperClient, ReportsAMissingHelper) {
    RecordingListener listener;
    HelperOptions options;
    options.command = {"/nonexistent/halvo-audio-helper"};
    std::string error;
    EXPECT_FALSE(HelperClient::launch(options, listener, &error));
    EXPECT_NE(error.find("/nonexistent/halvo-audio-helper"), std::string::npos) << error;
}

}  // namespace
}  // namespace halvo::client_test
