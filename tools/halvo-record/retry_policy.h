#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>

#include "halvo/client/helper_client.h"
#include "tools/halvo-record/recording.h"

namespace halvo::record {

// A signal from the helper, with the reason the helper last gave for a refusal, or its end.
struct HelperEvent {
    std::variant<client::Signal, client::ExitStatus> what;
    std::string refusalReason;
};

// "2.5 s": a duration in halvo-record's lines.
std::string durationText(double seconds);

// The failure an event means, if it means one.
std::optional<Failure> judge(const HelperEvent& event);

// What a take does about the helper's signals, the user's pause key and the passing of time,
// with no helper, file or clock in sight: each method takes an event and answers with the steps
// the caller takes, in the order of Step's fields.
//
// A stop by the system ends the take, unless retrying is allowed: then START is sent again after
// 0.5 s, then 1 s, 2 s and every 4 s after a refusal, until a capture starts or the time allowed
// since the stop is spent (the last attempt comes at that moment). An answer not in within 10 s
// counts as a refusal. A stop while the user has paused is only reported: the user's START
// resumes. The pause key does nothing while retrying.
class RetryPolicy {
  public:
    using Clock = std::chrono::steady_clock;

    struct Step {
        // A line for the user, without "halvo-record: ".
        std::optional<std::string> complain = std::nullopt;
        bool beginGap = false;                       // the recording's gap starts now
        bool stop = false;                           // send STOP
        bool start = false;                          // the next audio starts a capture; send START
        std::optional<Failure> fail = std::nullopt;  // the take ends with this

        bool operator==(const Step&) const = default;
    };

    // `retryFor`: how long after a stop by the system to keep trying; nothing: never retry.
    explicit RetryPolicy(std::optional<Clock::duration> retryFor) : retryFor_(retryFor) {}

    Step take(const HelperEvent& event, Clock::time_point now);
    // Time passes: call at `startDue()` at the latest, and after each batch of events.
    Step tick(Clock::time_point now);
    Step pauseKey();

    // When tick() sends the next START, while one is waited for.
    std::optional<Clock::time_point> startDue() const;
    bool retrying() const { return recovery_.has_value(); }
    bool paused() const { return paused_; }

  private:
    // A capture the system stopped, while the take tries to resume it.
    struct Recovery {
        std::string cause;  // the description of the stop
        Clock::time_point stoppedAt;
        Clock::duration delay;  // before the attempt after this one
        // When to send START; once sent, when to stop waiting for its answer.
        Clock::time_point due;
        bool awaitingAnswer = false;
    };

    Step attemptFailed(Clock::time_point now, const std::string& reason);

    const std::optional<Clock::duration> retryFor_;
    std::optional<Recovery> recovery_;
    bool paused_ = false;
};

}  // namespace halvo::record
