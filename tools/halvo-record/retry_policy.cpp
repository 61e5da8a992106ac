#include "tools/halvo-record/retry_policy.h"

#include <algorithm>

#include "halvo/protocol.h"
#include "tools/halvo-record/exit_status.h"

namespace halvo::record {

namespace {

using Clock = RetryPolicy::Clock;
using namespace std::chrono_literals;

// Soon enough for a sound server that restarts within a second, sparing for one that takes its
// time.
constexpr Clock::duration kFirstRetryDelay = 500ms;
constexpr Clock::duration kLongestRetryDelay = 4s;
// The helper answers every START within its 5 s deadline; past this one the attempt counts as
// refused, so a lost answer cannot stall the recovery.
constexpr Clock::duration kStartAnswerDeadline = 10s;

std::string describe(const client::ExitStatus& status) {
    return status.exited ? "exit status " + std::to_string(status.code)
                         : "killed by signal " + std::to_string(status.signal);
}

std::string orNoDescription(const std::string& detail) {
    return detail.empty() ? "(no description)" : detail;
}

std::string inParentheses(const std::string& reason) {
    return reason.empty() ? "" : " (" + reason + ")";
}

std::string spanText(Clock::duration span) {
    return durationText(std::chrono::duration<double>(span).count());
}

// Why the helper refused a START, for the line that says a retry failed.
std::string refusalOf(const HelperEvent& event) {
    const auto& signal = std::get<client::Signal>(event.what);
    switch (signal.kind) {
        case client::SignalKind::permissionDenied:
            return "no sound server reachable or access refused" +
                   inParentheses(event.refusalReason);
        case client::SignalKind::noDisplay:
            return "no display found";
        default:
            return orNoDescription(signal.detail);
    }
}

}  // namespace

std::string durationText(double seconds) {
    return protocol::secondsText(seconds, 1) + " s";
}

std::optional<Failure> judge(const HelperEvent& event) {
    if (const auto* status = std::get_if<client::ExitStatus>(&event.what)) {
        return Failure{kExitHelperDied,
                       "the audio helper ended unexpectedly (" + describe(*status) + ")"};
    }
    const auto& signal = std::get<client::Signal>(event.what);
    switch (signal.kind) {
        case client::SignalKind::permissionDenied:
            return Failure{kExitPermissionDenied,
                           "cannot capture system audio: permission denied or no sound server" +
                               inParentheses(event.refusalReason)};
        case client::SignalKind::noDisplay:
            return Failure{kExitNoDisplay, "cannot capture system audio: no display found"};
        case client::SignalKind::captureFailed:
            return Failure{kExitCaptureFailed, "system audio capture failed to start: " +
                                                   orNoDescription(signal.detail)};
        case client::SignalKind::streamStopped:
            return Failure{kExitStreamStopped, "the system stopped the audio stream: " +
                                                   orNoDescription(signal.detail)};
        case client::SignalKind::waiting:
        case client::SignalKind::captureStarted:
        case client::SignalKind::stopped:
            break;
    }
    return std::nullopt;
}

RetryPolicy::Step RetryPolicy::take(const HelperEvent& event, Clock::time_point now) {
    const auto* signal = std::get_if<client::Signal>(&event.what);
    if (signal == nullptr) {
        return Step{.fail = judge(event)};
    }
    const bool attempting = recovery_ && recovery_->awaitingAnswer;
    switch (signal->kind) {
        case client::SignalKind::streamStopped:
            if (paused_) {
                return Step{.complain = "capture stopped while pausing: " +
                                        orNoDescription(signal->detail)};
            }
            if (attempting) {
                return attemptFailed(now, orNoDescription(signal->detail));
            }
            if (!retryFor_) {
                return Step{.fail = judge(event)};
            }
            if (recovery_) {
                return {};
            }
            recovery_ = Recovery{orNoDescription(signal->detail), now, kFirstRetryDelay,
                                 now + std::min(kFirstRetryDelay, *retryFor_)};
            return Step{.complain = "capture stopped: " + recovery_->cause + "; retrying in " +
                                    spanText(recovery_->due - now),
                        .beginGap = true};
        case client::SignalKind::captureStarted:
            recovery_.reset();  // the first audio closes the gap and reports it
            return {};
        case client::SignalKind::permissionDenied:
        case client::SignalKind::noDisplay:
        case client::SignalKind::captureFailed:
            return attempting ? attemptFailed(now, refusalOf(event)) : Step{.fail = judge(event)};
        case client::SignalKind::waiting:
        case client::SignalKind::stopped:
            break;
    }
    return {};
}

RetryPolicy::Step RetryPolicy::tick(Clock::time_point now) {
    if (!recovery_ || now < recovery_->due) {
        return {};
    }
    if (recovery_->awaitingAnswer) {
        return attemptFailed(now, "no answer from the helper");
    }
    recovery_->awaitingAnswer = true;
    recovery_->due = now + kStartAnswerDeadline;
    return Step{.start = true};
}

RetryPolicy::Step RetryPolicy::pauseKey() {
    if (recovery_) {
        return {};
    }
    paused_ = !paused_;
    return paused_ ? Step{.stop = true} : Step{.start = true};
}

std::optional<Clock::time_point> RetryPolicy::startDue() const {
    if (recovery_ && !recovery_->awaitingAnswer) {
        return recovery_->due;
    }
    return std::nullopt;
}

RetryPolicy::Step RetryPolicy::attemptFailed(Clock::time_point now, const std::string& reason) {
    const Clock::time_point last = recovery_->stoppedAt + *retryFor_;
    if (now >= last) {
        return Step{.complain = "giving up after " + spanText(now - recovery_->stoppedAt) +
                                " without capture: " + reason,
                    .fail = Failure{kExitStreamStopped,
                                    "the system stopped the audio stream: " + recovery_->cause}};
    }
    recovery_->delay = std::min(recovery_->delay * 2, kLongestRetryDelay);
    recovery_->due = std::min(now + recovery_->delay, last);
    recovery_->awaitingAnswer = false;
    return Step{.complain = "capture did not resume: " + reason + "; retrying in " +
                            spanText(recovery_->due - now)};
}

}  // namespace halvo::record
