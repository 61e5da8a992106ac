#include "services/pipewire/pipewire_backend.h"

#include "platform/thread_check.h"

namespace halvo::pipewire {

PipeWireBackend::PipeWireBackend()
    : loop_(std::make_shared<PipeWireLoop>()),
      queue_("halvo.pipewire", platform::QualityOfService::userInitiated) {}

PipeWireBackend::~PipeWireBackend() = default;

Expected<std::shared_ptr<PipeWireGraph>> PipeWireBackend::connection() {
    HALVO_CHECK_THREAD(queue_.isCurrent(), "connections are made on the service thread");
    if (connection_) {
        LoopLock lock(*loop_);
        if (connection_->isReady()) {
            return connection_;
        }
    }
    connection_.reset();
    Expected<std::shared_ptr<PipeWireGraph>> made = PipeWireGraph::connect(loop_);
    if (made) {
        connection_ = *made;
    }
    return made;
}

}  // namespace halvo::pipewire
