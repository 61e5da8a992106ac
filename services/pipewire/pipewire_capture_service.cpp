#include "services/pipewire/pipewire_capture_service.h"

#include <stdlib.h>

#include "services/common/drm_displays.h"
#include "services/pipewire/pipewire_capture_stream.h"

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

}  // namespace

void PipeWireCaptureService::removeLibraryLogSettings() {
    ::unsetenv("PIPEWIRE_DEBUG");
}

PipeWireCaptureService::PipeWireCaptureService() : backend_(makeBackendWithoutLibraryLog()) {}

PipeWireCaptureService::~PipeWireCaptureService() = default;

void PipeWireCaptureService::getShareableContent(bool, bool, ContentCompletion completion) {
    backend_->queue().async([backend = backend_, completion = std::move(completion)] {
        Expected<std::shared_ptr<PipeWireGraph>> graph = backend->connection();
        if (!graph) {
            completion(std::nullopt, graph.error());
            return;
        }
        ShareableContent content = [&] {
            LoopLock lock(backend->loop());
            ShareableContent made =
                makeShareableContent((*graph)->snapshot(), connectedDisplays(kDrmClassDirectory));
            made.soundServer = "PipeWire " + (*graph)->daemonVersion() + " (native)";
            return made;
        }();
        completion(std::move(content), std::nullopt);
    });
}

void PipeWireCaptureService::listPlayingApplications(PlayingCompletion completion) {
    backend_->queue().async([backend = backend_, completion = std::move(completion)] {
        Expected<std::shared_ptr<PipeWireGraph>> graph = backend->connection();
        if (!graph) {
            completion(std::nullopt, graph.error());
            return;
        }
        LoopLock lock(backend->loop());
        std::vector<PlayingApplication> playing = (*graph)->playing();
        completion(std::move(playing), std::nullopt);
    });
}

std::shared_ptr<CaptureStream> PipeWireCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    std::weak_ptr<StreamDelegate> delegate) {
    return std::make_shared<PipeWireCaptureStream>(backend_, pcmFormatOf(configuration),
                                                   std::move(delegate), filter.applicationRule);
}

}  // namespace halvo::pipewire
