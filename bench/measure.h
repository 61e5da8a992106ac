#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/subprocess.h"

namespace halvo::bench {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// A recorder under test: the helper or parec, each writing float32 mono 48 kHz PCM to stdout.
struct Recorder {
    std::string name;
    std::vector<std::string> argv;
    // Ends the recorder politely (the helper takes QUIT, parec a SIGINT).
    std::function<void(client::Subprocess&)> stop;
};

double median(std::vector<double> values);

// CPU seconds (user + system) the process has used so far, and its resident memory in KiB.
double cpuSeconds(pid_t pid);
std::int64_t residentKiB(pid_t pid);

std::unique_ptr<client::Subprocess> start(const Recorder& recorder);

// Time from launch to the first byte of PCM at the parent, in seconds; negative on failure.
double launchToFirstByte(const Recorder& recorder);

// Reads `fd` until `until`, handing every chunk to `consume`, without holding the writer up.
void drain(int fd, Clock::time_point until,
           const std::function<void(const char*, std::size_t)>& consume);

}  // namespace halvo::bench
