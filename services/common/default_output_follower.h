#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "services/common/recording_plan.h"
#include "services/common/service_timer.h"

namespace halvo {

// The line a running capture logs when it could not follow the default output to the monitor
// `wanted` and goes on recording `recorded`. The server's names are escaped.
std::string notFollowedMessage(std::string_view wanted, std::string_view description,
                               std::string_view recorded);

// Follows the default output for a running capture, alike in both services: takes each step of
// the capture's RecordingPlan, and keeps the two deadlines of following (the wait for a new
// default once the recorded output went, and the pending record stream's). What touches the
// server is the Recorder's: the stream that owns the record streams.
//
// Threads: every call with the service loop's lock held, on the loop's thread or in a start on
// the service's thread. The plan is the stream's; the follower borrows it and its recorder.
class DefaultOutputFollower {
  public:
    // How long a capture whose output vanished waits for a new default (a headset switching
    // profile takes a moment) before the service counts it as stopped.
    static constexpr std::chrono::milliseconds kNewDefaultWait{5000};

    // What the follower asks of the stream that records. Every call with the lock held; each may
    // call the follower back (an answer that is there at once), and must not block.
    class Recorder {
      public:
        virtual ~Recorder() = default;
        // Open a record stream on `sink`'s monitor beside the active one: the pending stream.
        // Answer with pendingReady() once it delivers (or is linked), else pendingFailed().
        virtual void openPending(const std::string& sink) = 0;
        // Close the pending stream and whatever leads up to it.
        virtual void closePending() = 0;
        // The pending stream becomes the active one (the plan already says so).
        virtual void promotePending() = 0;
        // The pending stream's deadline passed: fail it, as pendingFailed() does.
        virtual void pendingTimedOut() = 0;
        // Ask the server for its default sink; answer with defaultSinkIs(), within a deadline.
        virtual void askDefaultSink() = 0;
        // The service stopped the capture: close every record stream and tell the delegate.
        virtual void stoppedBySystem(const std::string& description) = 0;
        // A step was taken: whether the server has audio to give may have changed.
        virtual void stepTaken() = 0;
        // A timer on the service's loop that calls `expired` (lock held, on the loop's thread;
        // the call may destroy the timer) once `timeout` has passed; null when none can be set.
        virtual std::unique_ptr<ServiceTimer> startTimer(std::chrono::milliseconds timeout,
                                                         std::function<void()> expired) = 0;
    };

    // `pendingDeadline`: how long a pending stream gets to open and deliver.
    DefaultOutputFollower(RecordingPlan& plan, Recorder& recorder,
                          std::chrono::milliseconds pendingDeadline);

    // Takes a step the plan answered an event of the running capture with. The pending stream's
    // deadline lasts as long as the plan has a pending sink.
    void take(const RecordingPlan::Step& step);

    // The recording ends: both deadlines are cancelled.
    void cancel();

  private:
    RecordingPlan& plan_;
    Recorder& recorder_;
    const std::chrono::milliseconds pendingDeadline_;
    std::unique_ptr<ServiceTimer> pendingTimer_;  // until the pending stream delivers
    std::unique_ptr<ServiceTimer> defaultAwait_;  // while no stream records, for a new default
};

}  // namespace halvo
