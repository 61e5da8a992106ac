#include "services/pulse/pulse_backend.h"

#include "platform/thread_check.h"

namespace halvo::pulse {

PulseBackend::PulseBackend()
    : loop_(std::make_shared<PulseMainLoop>()),
      queue_("capture.pulse", platform::QualityOfService::userInitiated) {}

PulseBackend::~PulseBackend() = default;

Expected<std::shared_ptr<PulseContext>> PulseBackend::connection() {
    HALVO_CHECK_THREAD(queue_.isCurrent(), "connections are made on the service thread");
    MainLoopLock lock(*loop_);
    if (connection_ && connection_->isReady()) {
        return connection_;
    }
    // A failed connection stays with the streams that used it until they are released.
    Expected<std::shared_ptr<PulseContext>> made = PulseContext::connect(loop_);
    connection_ = made ? *made : nullptr;
    return made;
}

Expected<std::shared_ptr<PulseContext>> PulseBackend::streamConnection() {
    HALVO_CHECK_THREAD(queue_.isCurrent(), "connections are made on the service thread");
    MainLoopLock lock(*loop_);
    return PulseContext::connect(loop_, false);
}

Expected<ServerSnapshot> PulseBackend::readSnapshot() {
    HALVO_CHECK_THREAD(queue_.isCurrent(), "content is read on the service thread");
    // A server that went away since the connection was last used is only noticed on use: then
    // one fresh connection gets a try.
    for (int attempt = 0;; ++attempt) {
        Expected<std::shared_ptr<PulseContext>> current = connection();
        if (!current) {
            return current.error();
        }
        MainLoopLock lock(*loop_);
        Expected<ServerSnapshot> snapshot = (*current)->readSnapshot();
        // Given up when the server refused the request itself, or on the fresh connection too.
        if (snapshot || (*current)->isReady() || attempt > 0) {
            return snapshot;
        }
    }
}

}  // namespace halvo::pulse
