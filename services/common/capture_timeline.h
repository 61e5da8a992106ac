#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "capture/capture_service.h"
#include "services/common/sample_feeder.h"
#include "services/common/timeline_keeper.h"

namespace halvo {

// A running capture's timeline, kept alike by both services: a TimelineKeeper from the start's
// success to the recording's end, the silence it asks for pushed to the stream's feeder, the
// lines it finds logged, and one timer of the service's loop kept set for its next tick.
//
// Threads: every call with the service loop's lock held (from the loop's callbacks, or from a
// start or stop); not thread-safe otherwise. Owned by the stream it times, whose feeder it
// borrows.
class CaptureTimeline {
  public:
    using Clock = TimelineKeeper::Clock;
    // Sets the owner's one timer to call expired() once `timeout` has passed (at once when not
    // positive), in place of its setting before. Lock held; must not call the timeline back.
    using SetTimer = std::function<void(Clock::duration timeout)>;
    // Hands a diagnostic line to the service's thread; must not block.
    using Log = std::function<void(std::string message)>;

    CaptureTimeline(const PcmFormat& format, SampleFeeder& feeder, CaptureStream& owner,
                    SetTimer setTimer, Log log);

    // Keeps time from `start` on, and sets the timer.
    void begin(Clock::time_point start);
    // Keeps time no longer; the owner cancels its timer.
    void end();
    bool running() const { return keeper_.has_value(); }

    // `frames` frames of a stream that began recording at `streamSince` can be read now (see
    // TimelineKeeper::audioArrived): the silence that goes before them is pushed first. Returns
    // how many frames at their start to drop, since they overlap what was handed on. Nothing
    // while not running.
    std::uint64_t audioArrived(std::uint64_t frames, Clock::time_point streamSince,
                               bool newStream = false);
    // `frames` frames were lost before they reached the helper: silence of that length is
    // pushed, counted as audio that arrived now.
    void audioLost(std::uint64_t frames, Clock::time_point streamSince);
    // Whether the server has audio to give from now on; a change sets the timer. True when it
    // changed.
    bool setAbsent(bool absent);
    // The timer set through SetTimer expired.
    void expired();

  private:
    void report(const TimelineKeeper::Arrival& arrival);  // the lines an arrival calls for
    void pushSilence(std::uint64_t frames);
    void armTimer();

    const PcmFormat format_;
    SampleFeeder& feeder_;
    CaptureStream& owner_;
    const SetTimer setTimer_;
    const Log log_;
    std::optional<TimelineKeeper> keeper_;
    Clock::time_point timerDeadline_;  // when the timer fires
};

}  // namespace halvo
