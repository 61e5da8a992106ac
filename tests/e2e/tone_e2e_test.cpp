// The shipped helper recording a pure tone, judged against a reference recorder (parec) on the
// same monitor: what the server delivers reaches the parent, unbroken, however late it comes;
// the byte count keeps to the wall clock across changes of output; levels come out as played.
// The same cases run against PulseAudio and against PipeWire, each on a server of its own.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "tests/e2e/sound_server.h"
#include "tests/support/helper_process.h"
#include "tests/support/tone.h"

namespace halvo::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kToneHz = 997;  // prime: no harmonic of a round rate

class ToneSession : public ServerTest {
  protected:
    // A tone plays into `sink` and the reference records its monitor (in short fragments unless
    // `referenceWaits`: then as parec chooses, which leaves a null sink its long blocks); the
    // helper starts, `during` disturbs it, and then the helper's recording must break at no more
    // moments than the reference's (see kDisturbanceGap), and hold no silence unless it does.
    void expectUnbrokenLikeTheReference(const std::string& sink,
                                        const std::function<void(HelperProcess&)>& during,
                                        bool referenceWaits = false) {
        const std::string referenceFile = server_->file("reference.f32");
        auto tone = server_->play(kToneHz, sink, 0.5, 1, 12);
        auto reference = server_->record(sink + ".monitor", referenceFile, referenceWaits ? 0 : 20);
        ASSERT_TRUE(tone && reference && waitForPlayer());
        auto helper = launch();
        ASSERT_TRUE(helper);
        ASSERT_TRUE(waitForTone(*helper)) << "no tone";
        during(*helper);
        ASSERT_TRUE(helper->waitForOutput(helper->standardOutput().size() + kBytesPerSecond / 2));
        ASSERT_EQ(helper->quit(), 0);
        std::this_thread::sleep_for(1s);  // what the reference has recorded reaches its file
        reference->sendSignal(SIGINT);
        reference->waitFor(2s);

        const std::vector<float> recorded = samplesOf(helper->standardOutput());
        constexpr std::size_t kSettle = 48000 / 4;
        const Continuity mine = continuityOf(recorded, kToneHz, kSettle);
        const Continuity theirs =
            continuityOf(samplesOf(readFile(referenceFile)), kToneHz, kSettle);
        EXPECT_GT(mine.samples, 48000u) << "the helper heard too little of the tone";
        if (!referenceWaits) {
            EXPECT_GT(theirs.samples, mine.samples) << "the reference ran longer";
        }
        std::cout << "breaks (disturbances), longest zeros: the helper's " << mine.breaks.size()
                  << " (" << mine.disturbances << "), " << mine.longestZeros << "; the reference's "
                  << theirs.breaks.size() << " (" << theirs.disturbances << "), "
                  << theirs.longestZeros << "\n";
        EXPECT_LE(mine.disturbances, theirs.disturbances)
            << "breaks in the helper's tone at samples " << ::testing::PrintToString(mine.breaks)
            << ", in the reference's at " << ::testing::PrintToString(theirs.breaks);
        if (theirs.longestZeros < 2) {  // a server may put silence in (PipeWire's after a stall)
            EXPECT_LT(mine.longestZeros, 2u) << "silence inside the helper's tone";
        }
        EXPECT_EQ(mine.oddSilences, 0u) << "silence no server put in";
        EXPECT_EQ(helper->countStartingWith("ERROR:"), 0);
    }
};

TEST_F(ToneSession, AHelperHeldUpLosesNothing) {
    expectUnbrokenLikeTheReference("halvo_null_a", [](HelperProcess& helper) {
        for (int hold = 0; hold < 10; ++hold) {
            helper.kill(SIGSTOP);
            std::this_thread::sleep_for(150ms);
            helper.kill(SIGCONT);
            std::this_thread::sleep_for(150ms);
        }
    });
}

// The native graph keeps nothing for a held-up helper: each cycle it missed, one or many, becomes
// silence of its length where it was missed, so the tone after it is where the clock says.
TEST_F(ToneSession, AHeldUpHelpersMissedCyclesBecomeSilenceOfTheirLength) {
    auto tone = server_->play(kToneHz, "halvo_null_a", 0.5, 1, 12);
    auto reference = server_->record("halvo_null_a.monitor", server_->file("reference.f32"), 20);
    ASSERT_TRUE(tone && reference && waitForPlayer());
    auto helper = launch();
    ASSERT_TRUE(helper);
    const std::optional<std::size_t> onset = waitForTone(*helper);
    ASSERT_TRUE(onset) << "no tone";
    for (const auto hold : {30ms, 150ms, 30ms, 15ms, 30ms, 150ms, 30ms, 15ms}) {
        helper->kill(SIGSTOP);
        std::this_thread::sleep_for(hold);
        helper->kill(SIGCONT);
        std::this_thread::sleep_for(300ms);
    }
    ASSERT_TRUE(helper->waitForOutput(helper->standardOutput().size() + kBytesPerSecond / 2));
    ASSERT_EQ(helper->quit(), 0);
    reference->sendSignal(SIGINT);
    reference->waitFor(2s);

    const std::vector<float> theirs = samplesOf(readFile(server_->file("reference.f32")));
    const std::optional<std::size_t> theirOnset = firstLoud(theirs);
    ASSERT_TRUE(theirOnset);
    const double mySlip =
        largestPhaseSlip(samplesOf(helper->standardOutput()), kToneHz, *onset + 48000 / 4);
    const double theirSlip = largestPhaseSlip(theirs, kToneHz, *theirOnset + 48000 / 4);
    std::cout << "largest phase slip (rad): the helper's " << mySlip << ", the reference's "
              << theirSlip << "\n";
    EXPECT_LT(mySlip, theirSlip + 0.3) << helper->transcript();
    EXPECT_EQ(helper->countStartingWith("ERROR:"), 0);
}

TEST_F(ToneSession, AServerHeldUpLosesNothing) {
    expectUnbrokenLikeTheReference("halvo_null_a", [this](HelperProcess&) {
        std::this_thread::sleep_for(300ms);  // past the helper's first quarter second, not judged
        for (const auto hold : {50ms, 400ms}) {
            server_->stall(true);
            std::this_thread::sleep_for(hold);
            server_->stall(false);
            std::this_thread::sleep_for(500ms);
        }
    });
}

// A null sink with no other low-latency reader renders in long blocks: the first audio comes
// late, and must not be replaced by silence.
TEST_F(ToneSession, APlainNullSinksLateFirstBlockIsKept) {
    ASSERT_TRUE(loadModule("module-null-sink sink_name=halvo_plain"));
    pactl("set-default-sink halvo_plain");
    expectUnbrokenLikeTheReference(
        "halvo_plain", [](HelperProcess&) { std::this_thread::sleep_for(2s); }, true);
}

// A device unplugged and plugged in again: the same name comes back, and is followed.
TEST_F(ToneSession, AnOutputThatComesBackUnderItsNameIsFollowed) {
    const std::string sink = "module-null-sink sink_name=halvo_replug";
    const auto module = loadModule(sink);
    ASSERT_TRUE(module && makeDefault("halvo_replug"));
    auto helper = launch();
    ASSERT_TRUE(helper);
    ASSERT_TRUE(helper->waitForOutput(kBytesPerSecond / 2));
    pactl("unload-module " + *module);
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(loadModule(sink));
    // The server may name it as the default again by itself (PipeWire), or be told to.
    server_->pactl("set-default-sink halvo_replug");
    EXPECT_TRUE(helper->waitFor("Default output changed: following halvo_replug.monitor", 1, 8s))
        << helper->transcript();
    EXPECT_EQ(helper->countStartingWith("ERROR:"), 0);
    EXPECT_EQ(helper->quit(), 0);
}

// Each new default joins where the old one ended: twenty switches leave the byte count where
// the wall clock says. (Where the first audio put it is the server's doing: a null sink may hand
// over its first block late, or early.)
TEST_F(ToneSession, TwentyChangesOfOutputKeepTheByteCountOnTheClock) {
    auto helper = launch();
    ASSERT_TRUE(helper);
    ASSERT_TRUE(helper->waitForOutput(kBytesPerSecond));
    const double before = driftMs(*helper);
    std::string joins;
    for (int change = 1; change <= 20; ++change) {
        const std::string sink = change % 2 == 1 ? "halvo_null_b" : "halvo_null_a";
        ASSERT_TRUE(makeDefault(sink)) << "change " << change;
        helper->waitFor("Default output changed: following " + sink + ".monitor", (change + 1) / 2,
                        8s);
        ASSERT_EQ(helper->count("Default output changed: following " + sink + ".monitor"),
                  (change + 1) / 2)
            << "change " << change << ", the helper said:\n"
            << helper->transcript();
        std::this_thread::sleep_for(150ms);
        // Appended in two steps: g++ 12 at -O3 takes `" " + std::to_string(…)` for an
        // overlapping copy (a false -Wrestrict).
        joins += ' ';
        joins += std::to_string(std::lround(driftMs(*helper) - before));
    }
    std::this_thread::sleep_for(500ms);
    const double after = driftMs(*helper);
    std::cout << "bytes minus wall clock after each change, from before them (ms):" << joins
              << "\nbytes minus wall clock: " << before << " ms before the changes, " << after
              << " ms after\n";
    EXPECT_LE(std::abs(after - before), 60) << "the helper said:\n" << helper->transcript();
    EXPECT_EQ(helper->countStartingWith("ERROR:"), 0);
    EXPECT_EQ(helper->quit(), 0);
}

// The same sound, the same level on both servers: channels are averaged, never mixed hotter.
TEST_F(ToneSession, ATonesLevelComesOutAsPlayed) {
    auto helper = launch();
    ASSERT_TRUE(helper);
    for (const auto& [amplitude, channels] : {std::pair{0.9, 2}, std::pair{0.4, 1}}) {
        const std::size_t from = helper->drainedOutputSize().value_or(0) / 4;
        auto tone = server_->play(kToneHz, "halvo_null_a", amplitude, channels, 3);
        ASSERT_TRUE(tone);
        const std::optional<std::size_t> onset = waitForTone(*helper, from, 72000);
        ASSERT_TRUE(onset);
        // The median of 100 ms windows: a busy machine's PipeWire drops the odd quantum.
        const std::vector<float> samples = samplesOf(helper->standardOutput());
        std::vector<double> levels;
        for (std::size_t at = *onset + 4800; at + 4800 <= *onset + 72000; at += 4800) {
            levels.push_back(amplitudeOf(std::span(samples).subspan(at, 4800)));
        }
        std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
        const double level = levels[levels.size() / 2];
        const double error = 20 * std::log10(level / amplitude);
        std::cout << channels << " channels at " << amplitude << " came out at " << level << ", "
                  << error << " dB off\n";
        EXPECT_NEAR(error, 0, 0.1);
        tone.reset();
        std::this_thread::sleep_for(500ms);  // the tone's last audio is through
    }
    EXPECT_EQ(helper->quit(), 0);
}

// Two applications with the players' default buffers (2 s), which PipeWire's pulse server hands
// over in bursts of up to 0.6 s: from the third second on, each 100 ms beep of one comes out whole
// and a second after the last (±25 ms), and the steady tone of the other at the level played (each
// stream records on a connection of its own: the server starves a second stream of a busy one).
// Natively the graph mixes them sample for sample: every beep from the second second on, ±10 ms.
TEST_F(ToneSession, ApplicationsWithLongBuffersComeOutWholeAndOnTime) {
    auto beeper = server_->play(2000, "halvo_null_a", 0.5, 1, 12, "halvo-beeper", false, 0.1);
    auto steady = server_->play(200, "halvo_null_a", 0.3, 1, 12, "halvo-steady");
    ASSERT_TRUE(beeper && steady && waitForPlayer());
    auto helper = launch({"--only", "halvo-beeper", "--only", "halvo-steady"});
    ASSERT_TRUE(helper && helper->waitForOutput(9 * kBytesPerSecond, 15s));
    const char* backend = std::getenv("HALVO_BACKEND");
    const bool native = backend != nullptr && std::string(backend) == "pipewire";
    const double tolerance = native ? 0.010 : 0.025;
    const std::vector<float> samples = samplesOf(helper->standardOutput());
    // The beeps, told from the steady tone by their slope: where each begins and how long it is.
    std::vector<std::pair<std::size_t, std::size_t>> beeps;
    for (std::size_t at = 1, last = 0; at < samples.size(); ++at) {
        if (std::fabs(samples[at] - samples[at - 1]) > 0.05f) {
            if (beeps.empty() || at - last > 240) {
                if (!beeps.empty() && beeps.back().second < 240) {
                    beeps.pop_back();  // a click: a busy machine's PipeWire drops the odd quantum
                }
                beeps.emplace_back(at, 0);
            }
            beeps.back().second = at - beeps.back().first + 1;
            last = at;
        }
    }
    std::vector<double> levels;
    for (std::size_t at = 2 * 48000; at + 4800 <= samples.size(); at += 4800) {
        levels.push_back(amplitudeAt(std::span(samples).subspan(at, 4800), 200));
    }
    std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
    EXPECT_NEAR(20 * std::log10(levels[levels.size() / 2] / 0.3), 0, 1) << "the steady tone";
    // A busy machine's PipeWire drops the odd quantum (21 ms) of a stream: through its pulse
    // server one beep may show it; natively none may.
    int judged = 0;
    std::vector<std::pair<double, double>> off;  // a beep's distance from the last and length
    for (std::size_t beep = 1; beep + 1 < beeps.size(); ++beep) {
        if (beeps[beep - 1].first < (native ? 1 : 2) * 48000) {
            continue;
        }
        ++judged;
        const double interval =
            static_cast<double>(beeps[beep].first - beeps[beep - 1].first) / 48000;
        const double length = static_cast<double>(beeps[beep].second) / 48000;
        if (std::abs(interval - 1) > tolerance || std::abs(length - 0.1) > 0.003) {
            off.emplace_back(interval, length);
        }
    }
    std::cout << judged << " beeps judged, off: " << ::testing::PrintToString(off) << "\n";
    EXPECT_LE(off.size(), native ? 0u : 1u)
        << ::testing::PrintToString(off) << helper->transcript();
    EXPECT_GE(judged, 4);
    EXPECT_EQ(helper->quit(), 0);
}

// A player that is an application of its own, ended with its shell.
struct Player {
    std::unique_ptr<client::Subprocess> process;
    Player& operator=(Player&& other) {
        std::swap(process, other.process);
        return *this;
    }
    ~Player() {
        if (process) {
            ::kill(-process->pid(), SIGKILL);
        }
    }
};

// --exclude by name and --only by process id: the admitted players' tones come out at the level
// played, the others' not at all, also for applications that start, or restart, after the
// capture did.
TEST_F(ToneSession, ApplicationsAreChosenByRule) {
    constexpr double kAmplitude = 0.3;
    const std::map<std::string, double> hz{
        {"halvo-alpha", 401}, {"halvo-beta", 619}, {"halvo-gamma", 827}};
    const auto play = [&](const std::string& name) {
        return Player{server_->play(hz.at(name), "halvo_null_a", kAmplitude, 2, 30, name, true)};
    };
    // In 100 ms windows of the last half second of another second and a half of the helper's
    // audio, the median window (a busy machine's PipeWire drops the odd quantum) holds the tones
    // of `admitted` as played, times `gain` (the output's volume), and no other tone.
    const auto expectTones = [&](HelperProcess& helper, const std::set<std::string>& admitted,
                                 double gain = 1) {
        ASSERT_TRUE(helper.waitForOutput(helper.standardOutput().size() + kBytesPerSecond * 3 / 2));
        const std::vector<float> samples = samplesOf(helper.standardOutput());
        for (const auto& [name, frequency] : hz) {
            std::vector<double> levels;
            for (std::size_t at = samples.size() - 24000; at < samples.size(); at += 4800) {
                levels.push_back(amplitudeAt(std::span(samples).subspan(at, 4800), frequency));
            }
            std::sort(levels.begin(), levels.end());
            if (admitted.count(name) != 0) {
                EXPECT_NEAR(20 * std::log10(levels[2] / kAmplitude / gain), 0, 0.5)
                    << name << ": " << ::testing::PrintToString(levels);
            } else {
                EXPECT_LT(levels[2], kAmplitude * gain / 1000) << name << " was not to be heard";
            }
        }
    };
    const auto hears = [](HelperProcess& helper, const std::string& prefix) {
        return helper.waitForLine(
            [&](const std::string& line) { return messageOf(line).rfind(prefix, 0) == 0; }, 2s);
    };
    pactl("set-sink-volume halvo_null_a 50%");  // levels as in the whole output's capture
    Player alpha = play("halvo-alpha");
    Player beta = play("halvo-beta");
    // Both in the server's list before the helper looks, or it says that nothing matches yet.
    ASSERT_TRUE(alpha.process && beta.process && waitForPlayer(2));
    {
        auto helper = launch({"--exclude", "HALVO-Beta", "--exclude", "halvo-nobody\tplays"});
        ASSERT_TRUE(helper);
        expectTones(*helper, {"halvo-alpha"}, 0.125);  // 50 % is 0.125, as in the whole output
        pactl("set-sink-volume halvo_null_a 100%");
        expectTones(*helper, {"halvo-alpha"});
        beta = play("halvo-beta");  // restarts, and stays out
        const auto started = Clock::now();
        Player gamma = play("halvo-gamma");
        EXPECT_TRUE(hears(*helper, "Application in the capture: halvo-gamma (process"));
        std::cout << "a new application joined after "
                  << std::chrono::duration<double, std::milli>(Clock::now() - started).count()
                  << " ms\n";
        expectTones(*helper, {"halvo-alpha", "halvo-gamma"});
        gamma = Player{};
        EXPECT_TRUE(hears(*helper, "Application out of the capture: halvo-gamma (process"));
        EXPECT_EQ(helper->countStartingWith("Application in the capture: halvo-alpha"), 1);
        EXPECT_EQ(helper->countStartingWith("Application in the capture: halvo-beta"), 0);
        // Said once in a run, escaped, of what matched nothing as the capture started.
        ASSERT_TRUE(helper->send("STOP\nSTART\n") && helper->waitForNext("CAPTURE_STARTED"));
        EXPECT_EQ(helper->count("No application matches halvo-nobody\\tplays yet"), 1);
        EXPECT_EQ(helper->countStartingWith("No application matches"), 1);
        EXPECT_EQ(helper->quit(), 0);
    }
    // The shell's process id takes in its child, the player.
    auto helper = launch({"--only", std::to_string(alpha.process->pid())});
    ASSERT_TRUE(helper);
    expectTones(*helper, {"halvo-alpha"});
    // At 150 % (3.375 times) an output of integer samples clips each channel at 1.0, and so does
    // its applications' capture; a float output clips nothing.
    pactl("set-sink-volume halvo_null_a 150%");
    ASSERT_TRUE(helper->waitForOutput(helper->standardOutput().size() + kBytesPerSecond * 3 / 2));
    const std::vector<float> loud = samplesOf(helper->standardOutput());
    const float peak =
        std::abs(*std::max_element(loud.end() - 24000, loud.end(),
                                   [](float a, float b) { return std::abs(a) < std::abs(b); }));
    const std::string sinks = server_->pactl("list short sinks").value_or("");
    const std::string sink = sinks.substr(sinks.find("\thalvo_null_a\t"));
    const bool clips = sink.substr(0, sink.find('\n')).find("float32") == std::string::npos;
    EXPECT_NEAR(peak, clips ? 1.0 : kAmplitude * 3.375, 0.01);
    EXPECT_EQ(helper->countStartingWith("ERROR:"), 0);
    EXPECT_EQ(helper->quit(), 0);
}

}  // namespace
}  // namespace halvo::testing
