#include "app/helper_main.h"
#include "platform/process.h"
#include "services/pipewire/pipewire_capture_service.h"
#include "services/pulse/pulse_capture_service.h"

namespace {

// The one place that picks the capture service the shipped helper runs over. The native service
// runs when asked for; otherwise the pulse service, which records PulseAudio and PipeWire's
// pulse server alike.
std::unique_ptr<halvo::CaptureService> makeCaptureService(halvo::Backend backend) {
    if (backend == halvo::Backend::pipewire) {
        return std::make_unique<halvo::pipewire::PipeWireCaptureService>();
    }
    return std::make_unique<halvo::pulse::PulseCaptureService>();
}

}  // namespace

int main(int argc, char* argv[]) {
    halvo::platform::reserveStandardDescriptors();
    const halvo::HelperOptions options = halvo::helperOptionsOrExit(argc, argv);
    return halvo::runHelper(makeCaptureService(options.backend), options);
}
