#include "app/helper_main.h"
#include "platform/process.h"
#include "services/pulse/pulse_capture_service.h"

int main(int argc, char* argv[]) {
    halvo::platform::reserveStandardDescriptors();
    halvo::blockStopSignals();
    const halvo::HelperOptions options = halvo::helperOptionsOrExit(argc, argv);
    // The one place that picks the capture service the shipped helper runs over.
    return halvo::runHelper(std::make_unique<halvo::pulse::PulseCaptureService>(), options);
}
