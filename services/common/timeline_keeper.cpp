#include "services/common/timeline_keeper.h"

#include <algorithm>
#include <cstdlib>

namespace halvo {

TimelineKeeper::TimelineKeeper(std::uint32_t framesPerSecond, Clock::time_point start)
    : framesPerSecond_(framesPerSecond), lastAudio_(start), lastTick_(start) {}

TimelineKeeper::Clock::duration TimelineKeeper::durationOf(std::int64_t frames) const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(
        frames * 1'000'000 / static_cast<std::int64_t>(framesPerSecond_)));
}

std::uint64_t TimelineKeeper::framesIn(Clock::duration duration) const {
    if (duration <= Clock::duration::zero()) {
        return 0;
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    return static_cast<std::uint64_t>(micros) * framesPerSecond_ / 1'000'000;
}

TimelineKeeper::Clock::time_point TimelineKeeper::timeOf(std::uint64_t frames) const {
    return anchorTime_ +
           durationOf(static_cast<std::int64_t>(frames) - static_cast<std::int64_t>(anchorFrames_));
}

void TimelineKeeper::anchor(Clock::time_point at, Clock::time_point now) {
    anchored_ = true;
    anchorTime_ = at;
    anchorFrames_ = delivered_;
    settledAt_ = now + kSettling;
    joined(now);
}

void TimelineKeeper::joined(Clock::time_point now) {
    joinPending_ = false;
    joinedAt_ = now;
    windowEnds_ = now + kDriftWindow;
    windowLargest_.reset();
    reportedSteps_ = 0;
}

TimelineKeeper::Arrival TimelineKeeper::audioArrived(Clock::time_point now, std::uint64_t frames,
                                                     Clock::time_point streamSince,
                                                     bool newStream) {
    Arrival arrival;
    if (quietReported_) {
        arrival.quietEnded = now - lastAudio_;
        quietReported_ = false;
    }
    lastAudio_ = now;
    const Clock::time_point begins =
        std::max(now - durationOf(static_cast<std::int64_t>(frames)), streamSince);
    if (!anchored_) {
        anchor(begins, now);
    } else if (newStream || joinPending_) {
        const Clock::duration gap = begins - timeOf(delivered_);
        arrival.silenceBeforeFrames = framesIn(gap);
        // Only another stream's overlap goes: the same stream's audio is never cut.
        if (newStream) {
            arrival.dropLeadingFrames = std::min(frames, framesIn(-gap));
            joinSettlesAt_ = now + kJoinSettling;
            joinBegins_ = begins;
            joinOverlapFound_ = Clock::duration::zero();
        }
        joined(now);
    } else if (now < joinSettlesAt_) {
        // The stream cannot have begun before `streamSince`: no more than that is overlap.
        const Clock::duration ahead = timeOf(delivered_ + frames) - now;
        const Clock::duration room = joinBegins_ - streamSince - joinOverlapFound_;
        const Clock::duration overlap = std::min(ahead, room);
        if (ahead > kJoinTolerance && overlap > Clock::duration::zero()) {
            arrival.dropLeadingFrames = std::min(frames, framesIn(overlap));
            joinOverlapFound_ += durationOf(static_cast<std::int64_t>(arrival.dropLeadingFrames));
        }
    }
    delivered_ += arrival.silenceBeforeFrames + frames - arrival.dropLeadingFrames;

    const Clock::duration offset = timeOf(delivered_) - now;
    if (now < settledAt_) {
        if (offset > Clock::duration::zero()) {
            anchorTime_ -= offset;  // sooner than the anchor said: the anchor was late
        }
    } else {
        windowLargest_ = std::max(windowLargest_.value_or(offset), offset);
        arrival.drift = judgeDrift(now);
    }
    return arrival;
}

std::optional<TimelineKeeper::Drift> TimelineKeeper::judgeDrift(Clock::time_point now) {
    if (now < windowEnds_ || !windowLargest_) {
        return std::nullopt;
    }
    const Clock::duration offset = *windowLargest_;
    windowEnds_ = now + kDriftWindow;
    windowLargest_.reset();
    const std::int64_t steps = std::llabs(offset / kDriftStep);
    if (steps <= reportedSteps_) {
        return std::nullopt;
    }
    reportedSteps_ = steps;
    const double seconds = std::chrono::duration<double>(now - joinedAt_).count();
    const double ppm = std::chrono::duration<double>(offset).count() / seconds * 1e6;
    return Drift{offset, ppm};
}

void TimelineKeeper::setAbsent(Clock::time_point now, bool absent) {
    if (absent == absent_) {
        return;
    }
    absent_ = absent;
    if (absent) {
        absentSince_ = now;
    } else if (filledInStretch_) {
        joinPending_ = true;
    }
    filledInStretch_ = false;
}

TimelineKeeper::Tick TimelineKeeper::tick(Clock::time_point now) {
    Tick result;
    lastTick_ = now;
    if (absent_ && now - lastAudio_ >= kGapAfter) {
        if (!anchored_) {
            anchor(absentSince_, now);
            settledAt_ = now;  // silence arrives on time by construction
        }
        const std::uint64_t target = anchorFrames_ + framesIn(now - kFillLag - anchorTime_);
        if (target > delivered_) {
            result.silenceFrames = target - delivered_;
            delivered_ = target;
            filledInStretch_ = true;
        }
    }
    if (!quietReported_ && now - lastAudio_ >= kQuietAfter) {
        quietReported_ = true;
        result.quietBegan = true;
    }
    return result;
}

TimelineKeeper::Clock::time_point TimelineKeeper::nextTick() const {
    if (absent_) {
        return std::max(lastAudio_ + kGapAfter, lastTick_ + kFillEvery);
    }
    return quietReported_ ? Clock::time_point::max() : lastAudio_ + kQuietAfter;
}

}  // namespace halvo
