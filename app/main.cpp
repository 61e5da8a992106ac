#include <stdlib.h>

#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "app/helper_main.h"
#include "platform/process.h"
#include "services/pipewire/pipewire_capture_service.h"
#include "services/pulse/pulse_capture_service.h"

namespace {

// Starts the service's start-up probe: the future holds the content, or nothing when it was
// refused. Each service's own deadline (5 s) bounds a wait for it.
std::future<std::optional<halvo::ShareableContent>> probe(halvo::CaptureService& service) {
    auto answer = std::make_shared<std::promise<std::optional<halvo::ShareableContent>>>();
    std::future<std::optional<halvo::ShareableContent>> answered = answer->get_future();
    service.getShareableContent(false, false, [answer](auto content, auto error) {
        answer->set_value(error ? std::nullopt : std::move(content));
    });
    return answered;
}

// The service the helper runs over, and what its probe answered when the choice probed it
// (runHelper then does not ask again).
struct ChosenService {
    std::unique_ptr<halvo::CaptureService> service;
    std::optional<halvo::ShareableContent> probed;
};

// A service that was probed and not chosen ends on a thread of its own: its connection's
// teardown does not hold up the first audio.
void release(std::unique_ptr<halvo::CaptureService> unused) {
    std::thread([unused = std::move(unused)] {}).detach();
}

// The one place that picks the capture service the shipped helper runs over.
//
// Native, on the PipeWire daemon itself, when PULSE_SERVER is unset, a PipeWire daemon answers,
// and no pulse server answers or the one that does is PipeWire's own. The pulse service
// otherwise: PulseAudio, a parent that named a pulse server, a sandbox that shows only the pulse
// socket, a PipeWire for video only.
ChosenService makeCaptureService(const halvo::CommandLineOptions& options) {
    // Before any service's thread exists.
    halvo::pulse::PulseCaptureService::removeLibraryLogSettings();
    halvo::pipewire::PipeWireCaptureService::removeLibraryLogSettings();
    using halvo::Backend;
    if (options.backend == Backend::pipewire) {
        return {std::make_unique<halvo::pipewire::PipeWireCaptureService>(), std::nullopt};
    }
    if (options.backend == Backend::pulse || ::getenv("PULSE_SERVER") != nullptr) {
        return {std::make_unique<halvo::pulse::PulseCaptureService>(), std::nullopt};
    }
    // Both probes at once: the launch waits for the slower of the two, not for their sum.
    auto native = std::make_unique<halvo::pipewire::PipeWireCaptureService>();
    auto pulse = std::make_unique<halvo::pulse::PulseCaptureService>();
    auto nativeAnswer = probe(*native);
    auto pulseAnswer = probe(*pulse);
    std::optional<halvo::ShareableContent> nativeServer = nativeAnswer.get();
    std::optional<halvo::ShareableContent> pulseServer = pulseAnswer.get();
    if (!nativeServer) {
        release(std::move(native));
        return {std::move(pulse), std::move(pulseServer)};  // a refusal runHelper asks again
    }
    if (pulseServer && !pulseServer->soundServer.starts_with("PipeWire ")) {
        release(std::move(native));
        return {std::move(pulse), std::move(pulseServer)};
    }
    release(std::move(pulse));
    return {std::move(native), std::move(nativeServer)};
}

}  // namespace

int main(int argc, char* argv[]) {
    halvo::platform::reserveStandardDescriptors();
    halvo::blockStopSignals();
    const halvo::CommandLineOptions options = halvo::commandLineOrExit(argc, argv);
    ChosenService chosen = makeCaptureService(options);
    return halvo::runHelper(std::move(chosen.service), options, std::move(chosen.probed));
}
