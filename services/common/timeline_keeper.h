#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace halvo {

// Keeps the account of a capture's frames against the wall clock, so that a parent can turn byte
// offsets into time, without ever inventing or destroying audio.
//
// Everything the server delivers is handed on, in order, however late it comes: nothing is
// inserted into continuous audio or cut from it, and the frames follow the output's own clock.
// When they drift from the wall clock, each further kDriftStep of drift is reported. Silence
// stands in only for time the server has no audio for: while the recorded output is suspended
// and while no stream records (see setAbsent()). Such a stretch is not continuous audio, so at
// its end, and where another stream takes over, the audio joins the timeline where the wall
// clock says: the missing time becomes silence, and the part of a new stream's first audio that
// overlaps what was already handed on is dropped.
//
// The wall clock's time of a frame: the first audio's beginning anchors the timeline; during
// kSettling audio that arrives sooner than the anchor predicts moves it earlier, since the
// earliest arrival is the least delayed one. Also tells when the server has delivered nothing
// for a while and when it delivers again.
//
// Pure bookkeeping: the caller brings the clock readings and does the pushing. Not thread-safe;
// one owner calls it (the record stream's owner, under the main loop's lock).
class TimelineKeeper {
  public:
    using Clock = std::chrono::steady_clock;

    // Silence stands in once a stretch without audio has lasted this long ...
    static constexpr std::chrono::milliseconds kGapAfter{100};
    // ... and is added this often, up to kFillLag behind the clock, so that the audio that ends
    // the stretch rarely overlaps it.
    static constexpr std::chrono::milliseconds kFillEvery{40};
    static constexpr std::chrono::milliseconds kFillLag{20};
    // No audio for this long is reported once; its end is reported too.
    static constexpr std::chrono::milliseconds kQuietAfter{2000};
    // After the first audio, for this long, early arrivals move the anchor.
    static constexpr std::chrono::milliseconds kSettling{1000};
    // For this long after another stream takes over, its audio that runs ahead of the clock by
    // more than kJoinTolerance shows that it began earlier than its first deliveries said (a
    // server that held them back): that earlier part overlaps what was already handed on.
    static constexpr std::chrono::milliseconds kJoinSettling{2000};
    static constexpr std::chrono::milliseconds kJoinTolerance{20};
    // Drift is judged by the least delayed arrival of each window, and reported in steps.
    static constexpr std::chrono::milliseconds kDriftWindow{1000};
    static constexpr std::chrono::milliseconds kDriftStep{100};

    TimelineKeeper(std::uint32_t framesPerSecond, Clock::time_point start);

    struct Drift {
        Clock::duration offset;  // of the frames from the wall clock; positive: ahead
        double ppm;              // the rate since the last join
    };
    struct Arrival {
        std::uint64_t silenceBeforeFrames = 0;  // to deliver before the audio
        std::uint64_t dropLeadingFrames = 0;    // of the audio that arrived
        // Set when a reported quiet ends here: how long the server delivered nothing.
        std::optional<Clock::duration> quietEnded;
        std::optional<Drift> drift;  // set when the drift reached a further step
    };
    // `frames` frames of audio can be read at `now`: they ended about now, unless that would put
    // their beginning before `streamSince`, when their stream began recording (a null sink hands
    // a new reader a block it renders ahead). `newStream`: the first audio of a stream that takes
    // over (from another stream, or from no stream).
    Arrival audioArrived(Clock::time_point now, std::uint64_t frames, Clock::time_point streamSince,
                         bool newStream = false);

    // From `now` on the server has no audio to give (the output is suspended, no stream records)
    // or has some again.
    void setAbsent(Clock::time_point now, bool absent);

    struct Tick {
        std::uint64_t silenceFrames = 0;  // to deliver now
        bool quietBegan = false;          // the quiet has just become long enough to report
    };
    // The time nextTick() named has come, or gone, with no audio since.
    Tick tick(Clock::time_point now);

    // When tick() is due if no audio arrives first; Clock::time_point::max() when never.
    Clock::time_point nextTick() const;

    std::uint64_t deliveredFrames() const { return delivered_; }
    bool absent() const { return absent_; }

  private:
    Clock::duration durationOf(std::int64_t frames) const;
    std::uint64_t framesIn(Clock::duration duration) const;  // 0 when not positive
    // The wall clock's time at which the first `frames` frames end.
    Clock::time_point timeOf(std::uint64_t frames) const;
    void anchor(Clock::time_point at, Clock::time_point now);
    void joined(Clock::time_point now);
    std::optional<Drift> judgeDrift(Clock::time_point now);

    const std::uint32_t framesPerSecond_;
    Clock::time_point lastAudio_;
    Clock::time_point lastTick_;
    std::uint64_t delivered_ = 0;  // frames of audio and silence handed on
    bool anchored_ = false;
    Clock::time_point anchorTime_;  // when the frames up to anchorFrames_ end
    std::uint64_t anchorFrames_ = 0;
    Clock::time_point settledAt_;
    bool absent_ = false;
    Clock::time_point absentSince_;
    bool filledInStretch_ = false;  // silence stood in since absent_ was last set
    bool joinPending_ = false;      // the next audio ends a stretch that silence filled
    bool quietReported_ = false;
    // The last join of another stream: where its audio was put, and how much of it has been found
    // to overlap since.
    Clock::time_point joinSettlesAt_;
    Clock::time_point joinBegins_;
    Clock::duration joinOverlapFound_{};
    // Drift since the last join.
    Clock::time_point joinedAt_;
    Clock::time_point windowEnds_;
    std::optional<Clock::duration> windowLargest_;  // the least delayed arrival's offset
    std::int64_t reportedSteps_ = 0;
};

}  // namespace halvo
