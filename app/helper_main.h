#pragma once

#include <memory>

#include "capture/capture_service.h"

namespace halvo {

// The whole helper over `service`: banner, permission probe, command reader, main loop. Ends the
// process itself: status 1 when the probe is refused, 0 after "QUIT" or end of input.
int runHelper(std::unique_ptr<CaptureService> service);

}  // namespace halvo
