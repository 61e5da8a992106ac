#pragma once

#include <string>

namespace halvo::bench {

// The helper's sink path alone against cat, through a pipe, in bytes per second.
struct SinkPathFigures {
    double sinkRate = -1;
    double catRate = -1;
};

// halvo-bench-flood floods 64 KiB buffers; cat moves a file of the same kind held in memory.
// Both are read through a pipe by the same loop, in turns, and each keeps its best of three
// `seconds`-long runs so a burst of load elsewhere does not decide the ratio.
SinkPathFigures measureSinkPath(const std::string& simHelper, double seconds);

}  // namespace halvo::bench
