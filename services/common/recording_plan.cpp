#include "services/common/recording_plan.h"

#include "platform/printable_text.h"

namespace halvo {

std::string followingMessage(std::string_view monitorSource) {
    return "Default output changed: following " + platform::printableText(monitorSource);
}

bool RecordingPlan::beginStart() {
    if (phase_ != Phase::idle) {
        return false;
    }
    phase_ = Phase::starting;
    return true;
}

void RecordingPlan::started(std::string sink) {
    if (phase_ == Phase::starting) {
        phase_ = Phase::running;
        active_ = std::move(sink);
    }
}

void RecordingPlan::startFailed() {
    phase_ = Phase::stopped;
}

bool RecordingPlan::requestStop() {
    const bool wasRunning = running();
    phase_ = Phase::stopped;
    active_.reset();
    pending_.reset();
    return wasRunning;
}

RecordingPlan::Step RecordingPlan::stopWith(std::string description) {
    phase_ = Phase::stopped;
    awaitingDefault_ = false;
    active_.reset();
    pending_.reset();
    Step step;
    step.stop = std::move(description);
    return step;
}

RecordingPlan::Step RecordingPlan::follow(std::string_view sink) {
    Step step;
    step.closePending = pending_.has_value();
    step.open = std::string(sink);
    pending_ = std::string(sink);
    return step;
}

RecordingPlan::Step RecordingPlan::awaitDefault() {
    if (awaitingDefault_) {
        return {};  // one while, not one per event
    }
    awaitingDefault_ = true;
    Step step;
    step.awaitDefault = true;
    return step;
}

RecordingPlan::Step RecordingPlan::defaultSinkIs(std::string_view sink) {
    if (!running()) {
        return {};
    }
    if (sink == kDefaultSinkPlaceholder) {
        sink = {};  // no sink of its own: as good as none to follow
    }
    if (pending_ && *pending_ == sink) {
        return {};  // already on its way
    }
    if (active_) {
        if (sink.empty() || *active_ == sink) {
            // Back where it was, or nowhere to go: keep recording what is recorded.
            Step step;
            step.closePending = pending_.has_value();
            pending_.reset();
            return step;
        }
        return follow(sink);
    }
    if (sink.empty()) {
        return pending_ ? Step{} : awaitDefault();  // pendingFailed() decides if it fails
    }
    // Even the lost sink's name: an output that came back under it is followed like any other,
    // and one still gone fails its look-up while the while goes on.
    return follow(sink);
}

RecordingPlan::Step RecordingPlan::defaultAwaitEnded() {
    if (!running() || !awaitingDefault_) {
        return {};
    }
    awaitingDefault_ = false;
    if (pending_) {
        return {};  // the new default on its way has its own deadline
    }
    return stopWith(lossDescription_);
}

RecordingPlan::Step RecordingPlan::activeEnded(std::string description, bool serverLost) {
    if (!running()) {
        return {};
    }
    if (serverLost) {
        return stopWith(std::move(description));
    }
    lossDescription_ = std::move(description);
    active_.reset();
    Step step = awaitDefault();
    step.askDefaultSink = !pending_.has_value();
    return step;
}

RecordingPlan::Step RecordingPlan::pendingReady() {
    if (!running() || !pending_) {
        return {};
    }
    active_ = std::move(pending_);
    pending_.reset();
    awaitingDefault_ = false;
    Step step;
    step.promotePending = true;
    return step;
}

RecordingPlan::Step RecordingPlan::pendingFailed(std::string description, bool serverLost) {
    if (!running() || !pending_) {
        return {};
    }
    pending_.reset();
    if (serverLost) {
        return stopWith(std::move(description));
    }
    if (active_ || awaitingDefault_) {
        return {};  // keep recording the old default, or keep waiting for a new one
    }
    // The while is over: the sink that was lost decides what is reported.
    return stopWith(lossDescription_.empty() ? std::move(description) : lossDescription_);
}

RecordingPlan::Step RecordingPlan::connectionLost(std::string description) {
    if (!running()) {
        return {};
    }
    return stopWith(std::move(description));
}

}  // namespace halvo
