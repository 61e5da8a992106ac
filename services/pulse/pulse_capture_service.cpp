#include "services/pulse/pulse_capture_service.h"

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "services/common/drm_displays.h"
#include "services/pulse/playing_applications.h"

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

Expected<ShareableContent> readContent(PulseBackend& backend) {
    Expected<ServerSnapshot> snapshot = backend.readSnapshot();
    if (!snapshot) {
        return snapshot.error();
    }
    return makeShareableContent(*snapshot, connectedDisplays(kDrmClassDirectory));
}

Expected<std::vector<PlayingApplication>> readPlaying(PulseBackend& backend) {
    Expected<std::shared_ptr<PulseContext>> connection = backend.connection();
    if (!connection) {
        return connection.error();
    }
    MainLoopLock lock(backend.loop());
    return readPlayingApplications(**connection);
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

PulseCaptureService::PulseCaptureService()
    : QueuedCaptureService(makeBackendWithoutLibraryLog(), readContent, readPlaying) {}

}  // namespace halvo::pulse
