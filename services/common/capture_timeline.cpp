#include "services/common/capture_timeline.h"

#include <utility>
#include <vector>

#include "services/common/timeline_lines.h"

namespace halvo {

CaptureTimeline::CaptureTimeline(const PcmFormat& format, SampleFeeder& feeder,
                                 CaptureStream& owner, SetTimer setTimer, Log log)
    : format_(format),
      feeder_(feeder),
      owner_(owner),
      setTimer_(std::move(setTimer)),
      log_(std::move(log)) {}

void CaptureTimeline::begin(Clock::time_point start) {
    keeper_.emplace(format_.sampleRate, start);
    armTimer();
}

void CaptureTimeline::end() {
    keeper_.reset();
}

std::uint64_t CaptureTimeline::audioArrived(std::uint64_t frames, Clock::time_point streamSince,
                                            bool newStream) {
    if (!keeper_) {
        return 0;
    }
    const auto now = Clock::now();
    const TimelineKeeper::Arrival arrival =
        keeper_->audioArrived(now, frames, streamSince, newStream);
    report(arrival);
    pushSilence(arrival.silenceBeforeFrames);
    // Moving the timer costs the loop a wake-up or a system call, so it is moved only when it
    // would fire soon, or later than now due.
    if (keeper_->nextTick() < timerDeadline_ ||
        timerDeadline_ - now < TimelineKeeper::kGapAfter / 2) {
        armTimer();
    }
    return arrival.dropLeadingFrames;
}

void CaptureTimeline::audioLost(std::uint64_t frames, Clock::time_point streamSince) {
    if (!keeper_) {
        return;
    }
    pushSilence(frames);
    // Time the server's clock ran is the server back, even if the helper missed its audio.
    report(keeper_->audioArrived(Clock::now(), frames, streamSince));
}

void CaptureTimeline::report(const TimelineKeeper::Arrival& arrival) {
    if (arrival.quietEnded) {
        log_(quietEndedMessage(*arrival.quietEnded));
    }
    if (arrival.drift) {
        log_(driftMessage(*arrival.drift));
    }
}

bool CaptureTimeline::setAbsent(bool absent) {
    if (!keeper_ || absent == keeper_->absent()) {
        return false;
    }
    keeper_->setAbsent(Clock::now(), absent);
    armTimer();
    return true;
}

void CaptureTimeline::expired() {
    if (!keeper_) {
        return;
    }
    const auto now = Clock::now();
    if (now < keeper_->nextTick()) {
        armTimer();  // audio came since the timer was set: not a gap yet
        return;
    }
    const TimelineKeeper::Tick tick = keeper_->tick(now);
    pushSilence(tick.silenceFrames);
    if (tick.quietBegan) {
        log_(quietBeganMessage(keeper_->absent()));
    }
    armTimer();
}

void CaptureTimeline::pushSilence(std::uint64_t frames) {
    if (frames > 0) {
        feeder_.push(std::vector<std::byte>(frames * format_.bytesPerFrame()), owner_);
    }
}

void CaptureTimeline::armTimer() {
    timerDeadline_ = keeper_->nextTick();
    if (timerDeadline_ != Clock::time_point::max()) {  // else audio or absence sets it again
        setTimer_(timerDeadline_ - Clock::now());
    }
}

}  // namespace halvo
