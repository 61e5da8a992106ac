// What the helper does with each kind of input on stdin, what it writes on stdout, and how it
// ends: the shipped helper on a private PulseAudio server (HALVO_SOUND_DIR), or on none.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/e2e/sound_server.h"
#include "tests/support/helper_process.h"
#include "tests/support/waiting.h"

namespace halvo::testing {
namespace {

using Lines = std::vector<std::string>;
using Commands = ServerTest;
using CommandOrder = ServerTest;
using Lifetime = ServerTest;
using Options = ServerTest;

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
TEST_F(Commands, RunOnceWholeHoweverTheWritesAreCut) {
    auto helper = spawn();
    ASSERT_TRUE(helper->waitForNext("CAPTURE_STARTED"));
    helper->send(" start \n\nST\xffOP\n\xc0\xafSTART\n\t\u00a0STOP\r\n");
    ASSERT_TRUE(helper->waitForNext("STOPPED"));
    EXPECT_EQ(helper->countStartingWith("Stopped. Total: "), 1);
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
TEST_F(Commands, QuitEndOfInputAndStopSignalsStopAndExitZero) {
    for (const std::string how : {"QUIT", "end of input", "SIGTERM", "SIGINT"}) {
        SCOPED_TRACE(how);
        auto helper = spawn();
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
        EXPECT_EQ(messages.back(), "STOPPED");
        EXPECT_TRUE(messages.end()[-2].starts_with("Stopped. Total: ")) << messages.end()[-2];
        EXPECT_EQ(helper->countStartingWith("stdin closed \xe2\x80\x94 parent exited"),
                  how == "end of input" ? 1 : 0);
        EXPECT_EQ(commandLines(*helper), how == "QUIT" ? Lines{"CMD: QUIT"} : Lines{});
    }
}

// Commands take effect in the order sent, however they meet a start or a stop still under way
// (a held-up server keeps the first start waiting): each is answered in turn, and the state after
// the last one is the one it asks for. The totals count every byte on stdout, none come later,
// and the format is announced once.
TEST_F(CommandOrder, EveryCommandIsAnsweredInOrderAndTheLastOneHolds) {
    auto helper = spawn();
    ASSERT_TRUE(helper->waitForNext("WAITING"));
    // The automatic start is under way: a START gets its answer, a STOP comes after it.
    server_->stall(true);
    atTheEnd([this] { server_->stall(false); });
    ASSERT_TRUE(helper->send("START\nSTOP\n"));
    ASSERT_TRUE(helper->waitUntilInputRead());
    server_->stall(false);
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

    const auto written = helper->drainedOutputSize();
    ASSERT_TRUE(written);
    EXPECT_EQ(*written >> 10, lastStoppedKilobytes(*helper));
    ASSERT_TRUE(helper->send("STOP\n"));
    ASSERT_TRUE(helper->waitFor("STOPPED", 4));
    EXPECT_EQ(helper->drainedOutputSize(), written);
    EXPECT_EQ(helper->countStartingWith("Audio format: "), 1);
}

// A parent may hand over a non-blocking stdin: no command waiting is not the end of input.
TEST_F(Lifetime, ANonBlockingStdinIsWaitedOn) {
    auto helper = HelperProcess::launch(
        {"perl", "-e",
         "use Fcntl; fcntl(STDIN, F_SETFL, fcntl(STDIN, F_GETFL, 0) | O_NONBLOCK) or die; "
         "exec @ARGV or die",
         HALVO_HELPER_PATH},
        {server_->environmentEntry()});
    ASSERT_TRUE(helper->waitFor("CAPTURE_STARTED"));
    ASSERT_TRUE(helper->send("STOP\n"));
    ASSERT_TRUE(helper->waitFor("STOPPED"));
    EXPECT_EQ(helper->countStartingWith("stdin closed"), 0);
    EXPECT_FALSE(helper->waitForExit(0ms));
}

// The exit must not wait for, or trip over, a write stuck on a pipe nobody reads.
TEST_F(Lifetime, AParentThatStopsReadingCanStillEndTheHelper) {
    auto helper = spawn({}, false, false);
    ASSERT_TRUE(helper->waitUntilOutputPipeFull());
    helper->closeInput();
    EXPECT_EQ(helper->exitCode(3s), 0);
}

// A usage error is one line and status 2 before anything else, with no server needed;
// --list-apps prints one escaped line per application on stdout and no signal.
TEST_F(Options, AreCheckedFirstAndListAppsPrintsOnlyTheList) {
    for (const auto& [options, usage] : std::vector<std::pair<Lines, std::string>>{
             {{"--only"}, "--only needs an application"},
             {{"--backend=alsa"}, "--backend needs pulse or pipewire, not alsa"},
             {{"--list-apps", "--exclude=1"},
              "--list-apps captures nothing and takes no --only or --exclude"},
             {{"--x\nWAITING"}, "unknown option --x\\nWAITING"},
             {{"--on=firefox"}, "unknown option --on=firefox"},
             {{"--exclude", "a", "b"}, "unknown option b"}}) {
        Lines argv{HALVO_HELPER_PATH};
        argv.insert(argv.end(), options.begin(), options.end());
        auto helper = HelperProcess::launch(argv, {"PULSE_SERVER=unix:/nonexistent"});
        EXPECT_EQ(helper->exitCode(), 2) << usage;
        EXPECT_EQ(helper->lines(), Lines{"halvo-audio-helper: " + usage + " (see --help)"});
        EXPECT_EQ(helper->standardOutput(), "");
    }
    const auto player =
        server_->play(440, "halvo_null_a", 0.5, 1, 20, "a\tb\nERROR:PERMISSION_DENIED");
    ASSERT_TRUE(player && waitForPlayer());
    auto list = spawn({"--list-apps"});
    EXPECT_EQ(list->exitCode(), 0);
    EXPECT_EQ(list->standardOutput(),
              std::to_string(player->pid()) + "\ta\\tb\\nERROR:PERMISSION_DENIED\tpacat\n");
    EXPECT_EQ(list->signalLines(), Lines{});
}

}  // namespace
}  // namespace halvo::testing
