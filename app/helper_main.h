#pragma once

#include <memory>

#include "app/helper_options.h"
#include "capture/capture_service.h"

namespace halvo {

// The whole helper over `service`: banner, permission probe, command reader, main loop. Ends the
// process itself: status 1 when the probe is refused, 0 after "QUIT", SIGTERM, SIGINT or end of
// input. Called before any other thread of the process starts, so that every thread inherits the
// blocking of SIGTERM and SIGINT, which one thread of the helper takes.
int runHelper(std::unique_ptr<CaptureService> service, const HelperOptions& options = {});

// The options in `argv`; on a usage error prints one line to standard error and exits with
// status 2, on --help prints the usage to standard output and exits with 0.
HelperOptions helperOptionsOrExit(int argc, char* const argv[]);

}  // namespace halvo
