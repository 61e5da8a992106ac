#pragma once

#include "tools/halvo-record/options.h"

namespace halvo::record {

// Records as `options` say until the duration is reached, the user interrupts, or the helper
// reports an error. Returns the exit status. Main thread only, once per process: it blocks
// SIGINT, SIGTERM and SIGHUP for good (they end the take in order) and ignores SIGPIPE and
// SIGXFSZ.
int record(const Options& options);

// Runs the helper with --list-apps and prints its list on standard output as it is. Returns the
// exit status: 0, or the one a recording would end with for the helper's failure. Main thread.
int listApplications(const Options& options);

}  // namespace halvo::record
