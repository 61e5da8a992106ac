#pragma once

#include <memory>

#include "capture/capture_service.h"

namespace halvo {

// The capture service of the machine the helper runs on. The only place that picks one.
std::unique_ptr<CaptureService> makeSystemCaptureService();

}  // namespace halvo
