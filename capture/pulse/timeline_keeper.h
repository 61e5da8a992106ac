#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace halvo::pulse {

// Keeps the frames a recording delivers in step with the time it has run, so that a parent can
// turn byte offsets into time. When the server delivers nothing (a suspended output, a stalled
// server) silence stands in for the gap; when audio the server held back arrives afterwards and
// would put the recording ahead of the clock, it is cut by at most the silence that stood in for
// it, so audio that was never replaced by silence is never cut. Also tells when the server has
// delivered nothing for a while and when it delivers again.
//
// Pure bookkeeping: the caller brings the clock readings and does the pushing. Not thread-safe;
// one owner calls it (the record stream's owner, under the main loop's lock).
class TimelineKeeper {
  public:
    using Clock = std::chrono::steady_clock;

    // Audio missing for this long after the last arrival counts as a gap to fill.
    static constexpr std::chrono::milliseconds kGapAfter{100};
    // While a gap lasts, silence is added this often, up to kFillLag behind the clock.
    static constexpr std::chrono::milliseconds kFillEvery{40};
    static constexpr std::chrono::milliseconds kFillLag{10};
    // Audio that arrives this far behind the clock (a server whose clock runs slow, a long run
    // of late chunks) has silence put before it, up to kFillLag behind.
    static constexpr std::chrono::milliseconds kBehindLimit{40};
    // Audio this far ahead of the clock is cut back, as far as filled silence allows.
    static constexpr std::chrono::milliseconds kAheadLimit{40};
    // Held-back audio arrives in a burst as the server resumes: after this long, filled silence
    // no longer excuses cutting audio.
    static constexpr std::chrono::milliseconds kBurstWithin{1000};
    // No audio for this long is reported once; its end is reported too.
    static constexpr std::chrono::milliseconds kQuietAfter{2000};

    TimelineKeeper(std::uint32_t framesPerSecond, Clock::time_point start);

    struct Arrival {
        std::uint64_t dropLeadingFrames = 0;    // of the audio that arrived
        std::uint64_t silenceBeforeFrames = 0;  // to deliver before the audio
        // Set when a reported quiet ends here: how long the server delivered nothing.
        std::optional<Clock::duration> quietEnded;
    };
    // `frames` frames of audio arrived at `now`.
    Arrival audioArrived(Clock::time_point now, std::uint64_t frames);

    struct Tick {
        std::uint64_t silenceFrames = 0;  // to deliver now
        bool quietBegan = false;          // the quiet has just become long enough to report
    };
    // The time nextTick() named has come, or gone, with no audio since.
    Tick tick(Clock::time_point now);

    // When tick() is due if no audio arrives first.
    Clock::time_point nextTick() const;

    std::uint64_t deliveredFrames() const { return delivered_; }

  private:
    std::uint64_t framesAt(Clock::time_point now, Clock::duration lag) const;

    const std::uint32_t framesPerSecond_;
    const Clock::time_point start_;
    Clock::time_point lastAudio_;
    Clock::time_point lastTick_;
    Clock::time_point debtExpires_;
    std::uint64_t delivered_ = 0;   // frames of audio and silence handed on
    std::uint64_t filledDebt_ = 0;  // silence that late audio may still stand in for
    bool filling_ = false;          // at least one tick since the last audio
    bool quietReported_ = false;
};

}  // namespace halvo::pulse
