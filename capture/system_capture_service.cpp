#include "capture/system_capture_service.h"

#include "capture/unavailable/unavailable_capture_service.h"

namespace halvo {

std::unique_ptr<CaptureService> makeSystemCaptureService() {
    return std::make_unique<UnavailableCaptureService>();
}

}  // namespace halvo
