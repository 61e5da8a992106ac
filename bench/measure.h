#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace halvo::bench {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// Every recorder under test writes float32 mono 48 kHz PCM.
constexpr double kBytesPerSecond = 48000.0 * 4;

double median(std::vector<double> values);

// What a shell command printed on stdout, without trailing line feeds and spaces.
std::string commandOutput(const std::string& command);

// One thread's context switches so far, as /proc/PID/task/TID/status counts them.
struct ThreadSwitches {
    std::string name;  // /proc/PID/task/TID/comm
    pid_t tid = 0;
    long long voluntary = 0;
    long long involuntary = 0;
};

// A look at a running process: CPU time (user + system, all threads, exited ones included),
// resident memory, and the context switches of each thread still alive.
struct ProcessSample {
    double cpuSeconds = -1;
    std::int64_t residentKiB = -1;
    std::vector<ThreadSwitches> threads;

    long long voluntarySwitches() const;
};

ProcessSample sampleProcess(pid_t pid);

// One thread's CPU time (/proc/PID/task/TID/schedstat, ns) and context switches, voluntary and
// involuntary, so far.
struct ThreadUsage {
    std::string name;
    pid_t tid = 0;
    long long cpuNs = 0;
    long long switches = 0;
};

// Every thread of `pid` alive now, by tid.
std::vector<ThreadUsage> threadUsage(pid_t pid);

// Reads `fd` until `until`, handing every chunk to `consume`, without holding the writer up.
void drain(int fd, Clock::time_point until,
           const std::function<void(const char*, std::size_t)>& consume);

}  // namespace halvo::bench
