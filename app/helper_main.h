#pragma once

#include <memory>
#include <optional>

#include "app/command_line_options.h"
#include "capture/capture_service.h"

namespace halvo {

// The whole helper over `service`: banner, permission probe, command reader, main loop. Ends the
// process itself: status 1 when the probe is refused, 0 after "QUIT", SIGTERM, SIGINT or end of
// input. SIGTERM and SIGINT must be blocked (blockStopSignals) before any other thread starts.
// `probed`: what a probe of `service` already answered (the choice of service asked), taken as
// the permission probe's answer instead of asking again.
int runHelper(std::unique_ptr<CaptureService> service, const CommandLineOptions& options = {},
              std::optional<ShareableContent> probed = std::nullopt);

// Blocks SIGTERM and SIGINT in the calling thread, and so in every thread it starts afterwards:
// they then reach only the helper's own thread that takes them and quits. Called first in main(),
// before a service makes threads of its own (a library's loop thread need not block them).
void blockStopSignals();

// The options in `argv`; on a usage error prints one line to standard error and exits with
// status 2, on --help prints the usage to standard output and exits with 0.
CommandLineOptions commandLineOrExit(int argc, char* const argv[]);

}  // namespace halvo
