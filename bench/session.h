#pragma once

#include <cstdint>
#include <vector>

#include "bench/measure.h"
#include "bench/recorders.h"
#include "bench/tone.h"

namespace halvo::bench {

constexpr int kOnsets = 20;

// What one recorder did in a capture session shared with the others.
struct CaptureFigures {
    double onsetMs = -1;
    double cpuPerMinute = -1;
    double switchesPerMinute = -1;  // voluntary, all threads
    std::int64_t rssEarlyKiB = -1;  // at the first tenth of the session
    std::int64_t rssLateKiB = -1;   // just before its end
    double driftMs = 0;
    double minutes = 0;  // from launch to the last look at the process
    std::vector<ThreadSwitches> threads;
};

// Medians of `launches` launches to the first PCM byte, in ms, one per recorder, taking turns.
std::vector<double> launchMedians(const std::vector<Recorder>& recorders, int launches);

// Runs all recorders at once for `seconds`: tone onsets first, then a steady tone.
std::vector<CaptureFigures> captureSession(const std::vector<Recorder>& recorders,
                                           TonePlayer& player, double seconds);

}  // namespace halvo::bench
