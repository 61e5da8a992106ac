// What the helper does with each kind of input on stdin, what it writes on stdout, and how it
// ends.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/support/helper_process.h"
#include "tests/support/waiting.h"

namespace halvo::testing {
namespace {

using Lines = std::vector<std::string>;

Lines commandLines(const HelperProcess& helper) {
    Lines result = helper.messages();
    std::erase_if(result, [](const std::string& message) {
        return !message.starts_with("CMD: ") && !message.starts_with("Unknown: ");
    });
    return result;
}

// Case matters, whitespace does not, invalid UTF-8 is ignored, and a command runs once it is
// whole however the parent's writes are cut into reads: ended by a line feed, a command word
// before its line feed (which then adds nothing), or any text when input ends.
TEST(Commands, RunOnceWholeHoweverTheWritesAreCut) {
    auto helper = HelperProcess::launchScenario("idle.scn");
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    helper->send(" start \n\nST\xffOP\n\xc0\xafSTART\n\t\u00a0STOP\r\n");
    ASSERT_TRUE(helper->waitForNext("STOPPED"));
    EXPECT_EQ(helper->count("Stopped. Total: 0 KB, 0 samples"), 1);
    Lines expected{"CMD: start", "Unknown: start", "CMD: ", "Unknown: ", "CMD: STOP"};
    const std::string script = "START\nbogus\n STOP \r\n";
    for (std::size_t cut = 1; cut < script.size(); ++cut) {
        helper->send(script.substr(0, cut));
        ASSERT_TRUE(helper->waitUntilInputRead());
        helper->send(script.substr(cut));
        ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED")) << "cut at " << cut;
        ASSERT_TRUE(helper->waitForNext("STOPPED")) << "cut at " << cut;
        expected.insert(expected.end(),
                        {"CMD: START", "CMD: bogus", "Unknown: bogus", "CMD: STOP"});
    }
    EXPECT_EQ(commandLines(*helper), expected);

    // Writes larger than a pipe moves at once reach the reader in pieces cut anywhere.
    for (int write = 0; write < 50; ++write) {
        helper->send(repeated("STOP\n", 1000));
    }
    helper->send("bogus");
    helper->closeInput();
    EXPECT_EQ(helper->exitCode(), 0);
    EXPECT_EQ(helper->count("STOPPED"), static_cast<int>(script.size()) + 50001);
    Lines messages = helper->messages();
    std::erase(messages, "STOPPED");  // the last one, after end of input
    EXPECT_EQ(Lines(messages.end() - 3, messages.end()),
              (Lines{"CMD: bogus", "Unknown: bogus", "stdin closed \xe2\x80\x94 parent exited"}));
}

// QUIT runs nothing after it and exits quietly; the end of input means the parent is gone;
// SIGTERM and SIGINT act as QUIT. Each stops the capture with its totals and exits 0.
TEST(Commands, QuitEndOfInputAndStopSignalsStopAndExitZero) {
    for (const std::string how : {"QUIT", "end of input", "SIGTERM", "SIGINT"}) {
        SCOPED_TRACE(how);
        auto helper = HelperProcess::launchScenario("idle.scn");
        ASSERT_TRUE(helper->waitFor("CAPTURE_STARTED"));
        if (how == "QUIT") {
            helper->send("QUIT\nSTART\n");
        } else if (how == "end of input") {
            helper->closeInput();
        } else {
            helper->kill(how == "SIGTERM" ? SIGTERM : SIGINT);
        }
        EXPECT_EQ(helper->exitCode(), 0);
        Lines messages = helper->messages();
        std::erase(messages, "Run loop started");  // the main thread's, written at any time
        const Lines last{"Stopped. Total: 0 KB, 0 samples", "STOPPED"};
        EXPECT_EQ(Lines(messages.end() - 2, messages.end()), last);
        EXPECT_EQ(helper->countStartingWith("stdin closed \xe2\x80\x94 parent exited"),
                  how == "end of input" ? 1 : 0);
        EXPECT_EQ(commandLines(*helper), how == "QUIT" ? Lines{"CMD: QUIT"} : Lines{});
    }
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

// The exit must not wait for, or trip over, a write stuck on a pipe nobody reads.
TEST(Lifetime, AParentThatStopsReadingCanStillEndTheHelper) {
    auto helper = HelperProcess::launchScenario("flood.scn", false, false);
    ASSERT_TRUE(helper->waitUntilOutputPipeFull());
    helper->closeInput();
    EXPECT_EQ(helper->exitCode(3s), 0);
}

// Stdout holds exactly the bytes delivered while capture ran, across a stop and a start, and
// the format, progress and totals lines account for them.
TEST(AudioStream, StdoutIsExactlyTheDeliveredBytesAndTheTotalsAgree) {
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

TEST(AudioStream, BuffersBeforeTheStartIsConfirmedAreDropped) {
    auto helper = HelperProcess::launchScenario("early.scn");
    ASSERT_TRUE(helper->waitForOutput(20));
    helper->send("STOP\n");
    ASSERT_TRUE(helper->waitFor("STOPPED"));
    EXPECT_EQ(helper->standardOutput(), patternBytes(30, 20));
}

// Options come after the scenario, as the helper gets them. A usage error is one line and status 2
// before anything else; --list-apps prints one escaped line per application on stdout and no
// signal, or is denied as the probe is.
TEST(Options, AreCheckedFirstAndListAppsPrintsOnlyTheList) {
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
             {{"--backend=alsa"}, "--backend needs pulse or pipewire, not alsa"},
             {{"--list-apps", "--exclude=1"},
              "--list-apps captures nothing and takes no --only or --exclude"},
             {{"--x\nWAITING"}, "unknown option --x\\nWAITING"},
             {{"--on=firefox"}, "unknown option --on=firefox"},
             {{"--exclude", "a", "b"}, "unknown option b"}}) {
        const auto [code, helper] = run("idle.scn", options);
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
