#include "capture/pulse/timeline_keeper.h"

#include <algorithm>

namespace halvo::pulse {

TimelineKeeper::TimelineKeeper(std::uint32_t framesPerSecond, Clock::time_point start)
    : framesPerSecond_(framesPerSecond), start_(start), lastAudio_(start) {}

std::uint64_t TimelineKeeper::framesAt(Clock::time_point now, Clock::duration lag) const {
    const auto elapsed = now - start_ - lag;
    if (elapsed <= Clock::duration::zero()) {
        return 0;
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
    return static_cast<std::uint64_t>(micros) * framesPerSecond_ / 1'000'000;
}

TimelineKeeper::Arrival TimelineKeeper::audioArrived(Clock::time_point now, std::uint64_t frames) {
    Arrival arrival;
    if (quietReported_) {
        arrival.quietEnded = now - lastAudio_;
        quietReported_ = false;
    }
    if (filling_) {
        debtExpires_ = now + kBurstWithin;
    }
    lastAudio_ = now;
    filling_ = false;
    if (now >= debtExpires_) {
        filledDebt_ = 0;
    }

    const std::uint64_t limit = framesAt(now, -kAheadLimit);
    if (filledDebt_ > 0 && delivered_ + frames > limit) {
        // Back to the clock, not just under the limit: the rest of the held-back audio follows.
        const std::uint64_t onTime = std::max(framesAt(now, Clock::duration::zero()), delivered_);
        const std::uint64_t ahead = delivered_ + frames - onTime;
        arrival.dropLeadingFrames = std::min({ahead, filledDebt_, frames});
        filledDebt_ -= arrival.dropLeadingFrames;
    }
    delivered_ += frames - arrival.dropLeadingFrames;
    if (delivered_ < framesAt(now, kBehindLimit)) {
        // Behind without a gap: made up with silence before this audio, like a gap's.
        arrival.silenceBeforeFrames = framesAt(now, kFillLag) - delivered_;
        delivered_ += arrival.silenceBeforeFrames;
        filledDebt_ += arrival.silenceBeforeFrames;
        debtExpires_ = now + kBurstWithin;
    }
    return arrival;
}

TimelineKeeper::Tick TimelineKeeper::tick(Clock::time_point now) {
    Tick result;
    filling_ = true;
    lastTick_ = now;
    const std::uint64_t target = framesAt(now, kFillLag);
    if (target > delivered_) {
        result.silenceFrames = target - delivered_;
        delivered_ = target;
        filledDebt_ += result.silenceFrames;
    }
    if (!quietReported_ && now - lastAudio_ >= kQuietAfter) {
        quietReported_ = true;
        result.quietBegan = true;
    }
    return result;
}

TimelineKeeper::Clock::time_point TimelineKeeper::nextTick() const {
    return filling_ ? lastTick_ + kFillEvery : lastAudio_ + kGapAfter;
}

}  // namespace halvo::pulse
