#include "services/common/default_output_follower.h"

#include <utility>

#include "platform/printable_text.h"

namespace halvo {

std::string notFollowedMessage(std::string_view wanted, std::string_view description,
                               std::string_view recorded) {
    // The parent would otherwise not learn that the output it hears is no longer recorded.
    return "Could not follow " + platform::printableText(wanted) + " (" + std::string(description) +
           "): still recording " + platform::printableText(recorded);
}

DefaultOutputFollower::DefaultOutputFollower(RecordingPlan& plan, Recorder& recorder,
                                             std::chrono::milliseconds pendingDeadline)
    : plan_(plan), recorder_(recorder), pendingDeadline_(pendingDeadline) {}

void DefaultOutputFollower::cancel() {
    pendingTimer_.reset();
    defaultAwait_.reset();
}

void DefaultOutputFollower::take(const RecordingPlan::Step& step) {
    if (step.stop) {
        cancel();
        recorder_.stoppedBySystem(*step.stop);
        return;
    }
    if (step.closePending) {
        recorder_.closePending();
    }
    if (step.awaitDefault) {
        // Silence keeps the timeline meanwhile; a timer that cannot be set means no wait.
        defaultAwait_ = recorder_.startTimer(kNewDefaultWait, [this] {
            defaultAwait_.reset();
            take(plan_.defaultAwaitEnded());
        });
        if (!defaultAwait_) {
            take(plan_.defaultAwaitEnded());
        }
    }
    if (step.open) {
        // Before the stream opens: a recorder may answer at once. A wait for a new default goes
        // on until the stream takes over.
        pendingTimer_ = recorder_.startTimer(pendingDeadline_, [this] {
            pendingTimer_.reset();
            recorder_.pendingTimedOut();
        });
        recorder_.openPending(*step.open);
    }
    if (step.promotePending) {
        defaultAwait_.reset();
        recorder_.promotePending();
    }
    if (step.askDefaultSink) {
        recorder_.askDefaultSink();
    }
    if (!plan_.pendingSink()) {
        pendingTimer_.reset();  // the pending stream failed, took over or was given up
    }
    recorder_.stepTaken();
}

}  // namespace halvo
