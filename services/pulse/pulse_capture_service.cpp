#include "services/pulse/pulse_capture_service.h"

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "services/common/drm_displays.h"
#include "services/pulse/playing_applications.h"
#include "services/pulse/pulse_capture_stream.h"

namespace halvo::pulse {

namespace {

constexpr const char* kDrmClassDirectory = "/sys/class/drm";

// libpulse writes its own log to standard error when PULSE_LOG (or one of its relatives) asks
// for it, and the parent would read those lines as the helper's. Removed before libpulse's first
// call, and before the service's threads exist, since nothing else may touch the environment
// while it changes. The library's errors still reach standard error, as crash reports do.
std::shared_ptr<PulseBackend> makeBackendWithoutLibraryLog() {
    PulseCaptureService::removeLibraryLogSettings();
    return std::make_shared<PulseBackend>();
}

}  // namespace

void PulseCaptureService::removeLibraryLogSettings() {
    std::vector<std::string> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        if (variable.starts_with("PULSE_LOG")) {
            names.emplace_back(variable.substr(0, variable.find('=')));
        }
    }
    for (const std::string& name : names) {
        ::unsetenv(name.c_str());
    }
}

PulseCaptureService::PulseCaptureService() : backend_(makeBackendWithoutLibraryLog()) {}

PulseCaptureService::~PulseCaptureService() = default;

void PulseCaptureService::getShareableContent(bool, bool, ContentCompletion completion) {
    backend_->queue().async([backend = backend_, completion = std::move(completion)] {
        Expected<ServerSnapshot> snapshot = backend->readSnapshot();
        if (!snapshot) {
            completion(std::nullopt, snapshot.error());
            return;
        }
        completion(makeShareableContent(*snapshot, connectedDisplays(kDrmClassDirectory)),
                   std::nullopt);
    });
}

void PulseCaptureService::listPlayingApplications(PlayingCompletion completion) {
    backend_->queue().async([backend = backend_, completion = std::move(completion)] {
        Expected<std::shared_ptr<PulseContext>> connection = backend->connection();
        if (!connection) {
            completion(std::nullopt, connection.error());
            return;
        }
        Expected<std::vector<PlayingApplication>> playing = [&] {
            MainLoopLock lock(backend->loop());
            return readPlayingApplications(**connection);
        }();
        if (!playing) {
            completion(std::nullopt, playing.error());
            return;
        }
        completion(std::move(*playing), std::nullopt);
    });
}

std::shared_ptr<CaptureStream> PulseCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    std::weak_ptr<StreamDelegate> delegate) {
    return std::make_shared<PulseCaptureStream>(backend_, pcmFormatOf(configuration),
                                                std::move(delegate), filter.applicationRule);
}

}  // namespace halvo::pulse
