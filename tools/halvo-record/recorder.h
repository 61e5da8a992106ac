#pragma once

#include "tools/halvo-record/options.h"

namespace halvo::record {

// Records as `options` say until the duration is reached, the user interrupts, or the helper
// reports an error. Returns the exit status. Main thread only; installs SIGINT, SIGTERM and
// SIGHUP handlers for its duration.
int record(const Options& options);

}  // namespace halvo::record
