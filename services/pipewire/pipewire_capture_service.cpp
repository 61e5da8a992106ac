#include "services/pipewire/pipewire_capture_service.h"

#include <stdlib.h>

#include "services/common/drm_displays.h"

namespace halvo::pipewire {

namespace {

constexpr const char* kDrmClassDirectory = "/sys/class/drm";

// PIPEWIRE_DEBUG would have the library write its log to standard error, where the parent reads
// the helper's lines; unset before the library's first call and before the service's threads.
std::shared_ptr<PipeWireBackend> makeBackendWithoutLibraryLog() {
    PipeWireCaptureService::removeLibraryLogSettings();
    auto backend = std::make_shared<PipeWireBackend>();
    pw_log_set_level(SPA_LOG_LEVEL_NONE);
    return backend;
}

Expected<ShareableContent> readContent(PipeWireBackend& backend) {
    Expected<std::shared_ptr<PipeWireGraph>> graph = backend.connection();
    if (!graph) {
        return graph.error();
    }
    LoopLock lock(backend.loop());
    ShareableContent content =
        makeShareableContent((*graph)->snapshot(), connectedDisplays(kDrmClassDirectory));
    content.soundServer = "PipeWire " + (*graph)->daemonVersion() + " (native)";
    return content;
}

Expected<std::vector<PlayingApplication>> readPlaying(PipeWireBackend& backend) {
    Expected<std::shared_ptr<PipeWireGraph>> graph = backend.connection();
    if (!graph) {
        return graph.error();
    }
    LoopLock lock(backend.loop());
    return (*graph)->playing();
}

}  // namespace

void PipeWireCaptureService::removeLibraryLogSettings() {
    ::unsetenv("PIPEWIRE_DEBUG");
}

PipeWireCaptureService::PipeWireCaptureService()
    : QueuedCaptureService(makeBackendWithoutLibraryLog(), readContent, readPlaying) {}

}  // namespace halvo::pipewire
