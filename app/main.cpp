#include "app/helper_main.h"
#include "services/pulse/pulse_capture_service.h"
#include "platform/process.h"

int main() {
    halvo::platform::reserveStandardDescriptors();
    // The one place that picks the capture service the shipped helper runs over.
    return halvo::runHelper(std::make_unique<halvo::pulse::PulseCaptureService>());
}
