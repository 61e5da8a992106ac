// Every signal line of the helper, as a parent sees it, over the simulated capture service.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/helper_process.h"

namespace halvo::testing {
namespace {

using Lines = std::vector<std::string>;

// The lines from the first occurrence of `first` on, to compare a sequence without what other
// threads wrote before it. "Run loop started" comes from the main thread and may fall anywhere
// after the banner, so it is left out.
Lines from(Lines all, const std::string& first, std::size_t count) {
    std::erase(all, "Run loop started");
    auto begin = std::find(all.begin(), all.end(), first);
    Lines tail(begin, all.end());
    tail.resize(std::min(tail.size(), count));
    return tail;
}

TEST(Signals, GrantedProbeAnnouncesItselfThenWaitsAndStartsCapture) {
    auto helper = HelperProcess::launchScenario("granted.scn");
    ASSERT_TRUE(helper->waitFor("CAPTURE_STARTED"));
    helper->closeInput();
    ASSERT_TRUE(helper->waitForExit());

    const Lines lines = helper->lines();
    const Lines messages = helper->messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0], "Halvo Audio Helper v1.1");
    EXPECT_EQ(messages[1].rfind("Linux ", 0), 0u);
    EXPECT_EQ(messages[2], "PID: " + std::to_string(helper->pid()));
    for (const std::string& line : lines) {
        EXPECT_TRUE(isDiagnosticLine(line) || std::isupper(line[0])) << line;
    }
    EXPECT_EQ(from(messages, "Permission OK. Displays: 2", 6),
              (Lines{"Permission OK. Displays: 2", "WAITING", "Starting system audio capture...",
                     "Display: 1920x1080", "System audio capture STARTED", "CAPTURE_STARTED"}));
    EXPECT_EQ(helper->count("Run loop started"), 1);
}

TEST(Signals, DeniedProbeEndsTheProcessWithStatusOne) {
    auto helper = HelperProcess::launchScenario("denied.scn");
    const auto status = helper->waitForExit();
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 1);

    Lines lines = helper->lines();
    std::erase_if(lines, [](const std::string& line) {
        return messageOf(line) == "Run loop started";  // the main thread's, written at any time
    });
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(messageOf(lines[lines.size() - 3]), "Permission denied: Recording is not permitted.");
    EXPECT_EQ(lines[lines.size() - 2], "Ask the administrator.");
    EXPECT_EQ(lines.back(), "ERROR:PERMISSION_DENIED");
    EXPECT_EQ(helper->count("WAITING"), 0);
    EXPECT_EQ(helper->standardOutput(), "");
}

TEST(Signals, NoDisplayIsReportedButThePermissionStillCounts) {
    for (const char* scenario : {"no_content.scn", "zero_displays.scn"}) {
        auto helper = HelperProcess::launchScenario(scenario);
        ASSERT_TRUE(helper->waitFor("ERROR:NO_DISPLAY")) << scenario;
        EXPECT_EQ(
            from(helper->messages(), "Permission OK. Displays: 0", 5),
            (Lines{"Permission OK. Displays: 0", "WAITING", "Starting system audio capture...",
                   "No display found", "ERROR:NO_DISPLAY"}));
        helper->send("STOP\n");
        ASSERT_TRUE(helper->waitFor("STOPPED"));
        EXPECT_EQ(helper->count("CAPTURE_STARTED"), 0);
    }
}

TEST(Signals, FailedContentQueryAtStartKeepsTheHelperRunning) {
    auto helper = HelperProcess::launchScenario("content_error_then_ok.scn");
    ASSERT_TRUE(helper->waitFor("ERROR:PERMISSION_DENIED"));
    EXPECT_EQ(from(helper->messages(), "Content error: Access was revoked", 2),
              (Lines{"Content error: Access was revoked", "ERROR:PERMISSION_DENIED"}));
    helper->send("START\n");
    ASSERT_TRUE(helper->waitFor("CAPTURE_STARTED"));
    EXPECT_EQ(helper->count("Display: 800x600"), 1);
    EXPECT_FALSE(helper->waitForExit(std::chrono::milliseconds(0)));
}

TEST(Signals, SetupAndStartFailuresCarryTheDescription) {
    auto registration = HelperProcess::launchScenario("register_fails.scn");
    ASSERT_TRUE(registration->waitFor("ERROR:Output rejected"));
    EXPECT_EQ(from(registration->messages(), "Stream setup error: Output rejected", 2),
              (Lines{"Stream setup error: Output rejected", "ERROR:Output rejected"}));
    // Nothing was started, so a stop answers at once without totals.
    registration->send("STOP\n");
    ASSERT_TRUE(registration->waitFor("STOPPED"));
    EXPECT_EQ(registration->countStartingWith("Stopped. Total"), 0);

    auto start = HelperProcess::launchScenario("start_fails.scn");
    ASSERT_TRUE(start->waitFor("device busy", 2));  // the diagnostic line's, then the signal's
    EXPECT_EQ(from(start->messages(), "startCapture failed: Start refused:", 4),
              (Lines{"startCapture failed: Start refused:", "device busy",
                     "ERROR:Start refused:", "device busy"}));
    EXPECT_EQ(start->count("CAPTURE_STARTED"), 0);
}

TEST(Signals, StreamStoppedBySystemThenStopThenStart) {
    auto helper = HelperProcess::launchScenario("system_stop.scn");
    ASSERT_TRUE(helper->waitFor("retry later", 2));
    EXPECT_EQ(from(helper->messages(), "Stream error: Display disconnected", 4),
              (Lines{"Stream error: Display disconnected", "retry later",
                     "ERROR:STREAM_STOPPED:Display disconnected", "retry later"}));
    EXPECT_EQ(helper->count("STOPPED"), 0);

    helper->send("STOP\n");
    ASSERT_TRUE(helper->waitFor("STOPPED"));
    EXPECT_EQ(helper->count("Stopped. Total: 4 KB, 5 samples"), 1);

    helper->send("START\n");
    ASSERT_TRUE(helper->waitFor("CAPTURE_STARTED", 2));
    ASSERT_TRUE(helper->waitForOutput(7000));
    helper->send("QUIT\n");
    ASSERT_TRUE(helper->waitForExit());
    EXPECT_EQ(helper->standardOutput(), patternBytes(0, 7000));
}

TEST(Signals, EmptyStreamErrorDescription) {
    auto helper = HelperProcess::launchScenario("system_stop_empty.scn");
    ASSERT_TRUE(helper->waitFor("ERROR:STREAM_STOPPED:"));
    EXPECT_EQ(from(helper->lines(), "ERROR:STREAM_STOPPED:", 1).size(), 1u);
    EXPECT_TRUE(helper->waitForLine([](const std::string& line) {
        return isDiagnosticLine(line) && messageOf(line) == "Stream error: ";
    }));
}

// Options come after the scenario, as the helper gets them. A usage error is one line and status 2
// before anything else; --list-apps prints one escaped line per application on stdout and no
// signal, or is denied as the probe is.
TEST(Signals, OptionsAreCheckedFirstAndListAppsPrintsOnlyTheList) {
    const auto run = [](const std::string& scenario, std::vector<std::string> options) {
        options.insert(options.begin(),
                       {HALVO_SIM_HELPER_PATH, HelperProcess::scenarioPath(scenario)});
        auto helper = HelperProcess::launch(options);
        const auto status = helper->waitForExit();
        EXPECT_TRUE(status && status->exited);
        return std::pair(status ? status->code : -1, std::move(helper));
    };
    for (const auto& [options, usage] : std::vector<std::pair<Lines, std::string>>{
             {{"--only"}, "--only needs an application"},
             {{"--list-apps", "--exclude=1"},
              "--list-apps captures nothing and takes no --only or --exclude"},
             {{"--x\nWAITING"}, "unknown option --x\\nWAITING"}}) {
        const auto [code, helper] = run("granted.scn", options);
        EXPECT_EQ(code, 2) << usage;
        EXPECT_EQ(helper->lines(), Lines{"halvo-audio-helper: " + usage + " (see --help)"});
        EXPECT_EQ(helper->standardOutput(), "");
    }
    const auto [listed, list] = run("playing.scn", {"--list-apps"});
    EXPECT_EQ(listed, 0);
    EXPECT_EQ(list->standardOutput(),
              "4242\tFirefox\tfirefox\n77\ta\\tb\\nERROR:PERMISSION_DENIED\tsh\n0\tSandboxed\t\n");
    EXPECT_EQ(list->signalLines(), Lines{});
    const auto [denied, denial] = run("denied.scn", {"--list-apps"});
    EXPECT_EQ(denied, 1);
    EXPECT_EQ(denial->signalLines().back(), "ERROR:PERMISSION_DENIED");
    EXPECT_EQ(denial->standardOutput(), "");
}

}  // namespace
}  // namespace halvo::testing
