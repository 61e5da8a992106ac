#include <stdlib.h>

#include <future>
#include <optional>

#include "app/helper_main.h"
#include "platform/process.h"
#include "services/pipewire/pipewire_capture_service.h"
#include "services/pulse/pulse_capture_service.h"

namespace {

// The service's start-up probe, waited for: the content, or nothing when it was refused. Each
// service's own deadline (5 s) bounds the wait.
std::optional<halvo::ShareableContent> probe(halvo::CaptureService& service) {
    std::promise<std::optional<halvo::ShareableContent>> answer;
    std::future<std::optional<halvo::ShareableContent>> answered = answer.get_future();
    service.getShareableContent(false, false, [&answer](auto content, auto error) {
        answer.set_value(error ? std::nullopt : std::move(content));
    });
    return answered.get();
}

// The one place that picks the capture service the shipped helper runs over.
//
// Native, on the PipeWire daemon itself, when PULSE_SERVER is unset, a PipeWire daemon answers,
// and no pulse server answers or the one that does is PipeWire's own. The pulse service
// otherwise: PulseAudio, a parent that named a pulse server, a sandbox that shows only the pulse
// socket, a PipeWire for video only.
std::unique_ptr<halvo::CaptureService> makeCaptureService(
    const halvo::CommandLineOptions& options) {
    // Before any service's thread exists.
    halvo::pulse::PulseCaptureService::removeLibraryLogSettings();
    halvo::pipewire::PipeWireCaptureService::removeLibraryLogSettings();
    using halvo::Backend;
    if (options.backend == Backend::pipewire) {
        return std::make_unique<halvo::pipewire::PipeWireCaptureService>();
    }
    if (options.backend == Backend::pulse || ::getenv("PULSE_SERVER") != nullptr) {
        return std::make_unique<halvo::pulse::PulseCaptureService>();
    }
    auto native = std::make_unique<halvo::pipewire::PipeWireCaptureService>();
    if (!probe(*native)) {
        return std::make_unique<halvo::pulse::PulseCaptureService>();
    }
    auto pulse = std::make_unique<halvo::pulse::PulseCaptureService>();
    const std::optional<halvo::ShareableContent> pulseServer = probe(*pulse);
    if (pulseServer && !pulseServer->soundServer.starts_with("PipeWire ")) {
        return pulse;
    }
    return native;
}

}  // namespace

int main(int argc, char* argv[]) {
    halvo::platform::reserveStandardDescriptors();
    halvo::blockStopSignals();
    const halvo::CommandLineOptions options = halvo::commandLineOrExit(argc, argv);
    return halvo::runHelper(makeCaptureService(options), options);
}
