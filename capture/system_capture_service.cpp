#include "capture/system_capture_service.h"

#include "capture/pulse/pulse_capture_service.h"

namespace halvo {

std::unique_ptr<CaptureService> makeSystemCaptureService() {
    return std::make_unique<pulse::PulseCaptureService>();
}

}  // namespace halvo
