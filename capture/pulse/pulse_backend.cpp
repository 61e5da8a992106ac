#include "capture/pulse/pulse_backend.h"

namespace halvo::pulse {

PulseBackend::PulseBackend()
    : loop_(std::make_shared<PulseMainLoop>()),
      queue_("capture.pulse", platform::QualityOfService::userInitiated) {}

PulseBackend::~PulseBackend() = default;

std::shared_ptr<PulseContext> PulseBackend::connection(std::string* error) {
    MainLoopLock lock(*loop_);
    if (connection_ && connection_->isReady()) {
        return connection_;
    }
    // A failed connection stays with the streams that used it until they are released.
    connection_ = PulseContext::connect(loop_, error);
    return connection_;
}

std::optional<ServerSnapshot> PulseBackend::readSnapshot(std::string* error) {
    // A server that went away since the connection was last used is only noticed on use: then
    // one fresh connection gets a try.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::shared_ptr<PulseContext> current = connection(error);
        if (!current) {
            return std::nullopt;
        }
        MainLoopLock lock(*loop_);
        ServerSnapshot snapshot;
        if (current->readSnapshot(&snapshot, error)) {
            return snapshot;
        }
        if (current->isReady()) {
            return std::nullopt;  // the server refused the request itself
        }
    }
    return std::nullopt;
}

}  // namespace halvo::pulse
