#include "capture/pulse/pulse_capture_service.h"

#include <limits>

#include "capture/pulse/drm_displays.h"
#include "capture/pulse/pulse_capture_stream.h"

namespace halvo::pulse {

namespace {

constexpr const char* kDrmClassDirectory = "/sys/class/drm";

// Out-of-range values become 0, which the stream rejects when it starts.
std::uint32_t narrowed(std::int64_t value, std::int64_t limit) {
    return value > 0 && value <= limit ? static_cast<std::uint32_t>(value) : 0;
}

}  // namespace

PulseCaptureService::PulseCaptureService() : backend_(std::make_shared<PulseBackend>()) {}

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

std::shared_ptr<CaptureStream> PulseCaptureService::makeStream(
    const ContentFilter&, const StreamConfiguration& configuration,
    std::weak_ptr<StreamDelegate> delegate) {
    PcmFormat format;
    format.sampleRate =
        narrowed(configuration.sampleRate, std::numeric_limits<std::uint32_t>::max());
    format.channels =
        narrowed(configuration.channelCount, std::numeric_limits<std::uint8_t>::max());
    return std::make_shared<PulseCaptureStream>(backend_, format, std::move(delegate));
}

}  // namespace halvo::pulse
