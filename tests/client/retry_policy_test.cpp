// halvo-record's retry policy, event by event: what each signal, tick and key makes it do.
#include "tools/halvo-record/retry_policy.h"

#include <gtest/gtest.h>

namespace halvo::record {
namespace {

using Clock = RetryPolicy::Clock;
using client::Signal;
using client::SignalKind;

// An input at `ms` after the take began: "tick", "pause", "started", "exit", or a signal
// "<stop|denied|failed>:<detail>" (for denied, the reason the helper gave before it).
struct Input {
    int ms;
    std::string what;
    std::string expected;  // the step, as summary() writes it; empty: nothing to do
};

struct Story {
    const char* name;
    std::optional<double> retryFor;  // seconds; nothing: no retries
    std::vector<Input> inputs;
};

std::string summary(const RetryPolicy::Step& step) {
    std::string text = step.complain ? "say " + *step.complain : "";
    for (const auto& [flag, word] :
         {std::pair{step.beginGap, " gap"}, {step.stop, " STOP"}, {step.start, " START"}}) {
        text += flag ? word : "";
    }
    return step.fail
               ? text + " fail " + std::to_string(step.fail->exitStatus) + " " + step.fail->message
               : text;
}

RetryPolicy::Step feed(RetryPolicy& policy, const std::string& what, Clock::time_point at) {
    if (what == "tick") {
        return policy.tick(at);
    }
    if (what == "pause") {
        return policy.pauseKey();
    }
    if (what == "exit") {
        return policy.take({client::ExitStatus{true, 0, 0}, {}}, at);
    }
    const std::string detail = what.substr(what.find(':') + 1);
    const SignalKind kind = what == "started"          ? SignalKind::captureStarted
                            : what.starts_with("stop") ? SignalKind::streamStopped
                            : what.starts_with("deni") ? SignalKind::permissionDenied
                                                       : SignalKind::captureFailed;
    if (kind == SignalKind::permissionDenied) {
        return policy.take({Signal{kind, {}}, detail}, at);
    }
    return policy.take({Signal{kind, kind == SignalKind::captureStarted ? "" : detail}, {}}, at);
}

class RetryPolicyStories : public ::testing::TestWithParam<Story> {};

TEST_P(RetryPolicyStories, AnswerEachEventWithItsStep) {
    const Story& story = GetParam();
    RetryPolicy policy(story.retryFor ? std::optional(std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(*story.retryFor)))
                                      : std::nullopt);
    const Clock::time_point begin{};
    for (const Input& input : story.inputs) {
        const auto at = begin + std::chrono::milliseconds(input.ms);
        EXPECT_EQ(summary(feed(policy, input.what, at)), input.expected)
            << input.what << " at " << input.ms << " ms";
    }
}

constexpr const char* kGiveUp = " fail 6 the system stopped the audio stream: Connection lost";

INSTANTIATE_TEST_SUITE_P(
    HalvoRecord, RetryPolicyStories,
    ::testing::Values(
        // Refusals double the delay up to the limit; a stop while a START is out is a refusal
        // too, and so is an answer that never comes. The last attempt comes at the limit.
        Story{"RetriesUntilTheLimit",
              2.0,
              {{0, "stop:Connection lost",
                "say capture stopped: Connection lost; retrying in "
                "0.5 s gap"},
               {10, "stop:again", ""},
               {499, "tick", ""},
               {500, "tick", " START"},
               {600, "denied:Connection refused",
                "say capture did not resume: no sound server reachable or access refused "
                "(Connection refused); retrying in 1.0 s"},
               {1600, "tick", " START"},
               {1700, "stop:", "say capture did not resume: (no description); retrying in 0.3 s"},
               {2000, "tick", " START"},
               {11999, "tick", ""},
               {12000, "tick",
                std::string("say giving up after 12.0 s without capture: no answer from the "
                            "helper") +
                    kGiveUp}}},
        // A capture that starts again ends the recovery; the next stop starts over at 0.5 s.
        Story{"StartsOverAfterAResume",
              30.0,
              {{0, "stop:Connection lost",
                "say capture stopped: Connection lost; retrying in "
                "0.5 s gap"},
               {500, "tick", " START"},
               {600, "failed:Device busy",
                "say capture did not resume: Device busy; retrying in 1.0 s"},
               {1600, "tick", " START"},
               {1700, "started", ""},
               {5000, "tick", ""},
               {6000, "stop:Gone", "say capture stopped: Gone; retrying in 0.5 s gap"}}},
        Story{"ALimitShorterThanTheFirstDelay",
              0.2,
              {{0, "stop:Connection lost",
                "say capture stopped: Connection lost; retrying in "
                "0.2 s gap"},
               {200, "tick", " START"},
               {300, "denied:",
                std::string("say giving up after 0.3 s without capture: no sound "
                            "server reachable or access refused") +
                    kGiveUp}}},
        // A stop that crosses the user's pause is reported; the user's key resumes. The key
        // does nothing while retrying.
        Story{"PausesAndRetriesDoNotMix",
              5.0,
              {{0, "pause", " STOP"},
               {10, "stop:Unplugged", "say capture stopped while pausing: Unplugged"},
               {20, "pause", " START"},
               {30, "stop:Unplugged", "say capture stopped: Unplugged; retrying in 0.5 s gap"},
               {40, "pause", ""},
               {530, "tick", " START"},
               {540, "exit", " fail 8 the audio helper ended unexpectedly (exit status 0)"}}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace halvo::record
