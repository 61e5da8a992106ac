#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "halvo/client/subprocess.h"

namespace halvo::bench {

// A recorder under test, writing float32 mono 48 kHz PCM to stdout.
struct Recorder {
    std::string name;
    std::vector<std::string> argv;
    std::vector<std::string> environment;  // "NAME=value" entries added to ours
    // Ends the recorder politely (the helper takes QUIT, the others a SIGINT).
    std::function<void(client::Subprocess&)> stop;
};

Recorder helperRecorder(const std::string& path);
// PulseAudio's own recorder at a latency close to the helper's fragment (1024 frames).
Recorder parecRecorder(const std::string& monitor);
// PipeWire's own recorder on the monitor of `sink`, at `latency` (its --latency: "20ms", the
// latency of parec, or frames: "1024"); it finds the server in `runtimeDirectory`.
Recorder pwRecordRecorder(const std::string& sink, const std::string& runtimeDirectory,
                          const std::string& latency = "20ms");

std::unique_ptr<client::Subprocess> start(const Recorder& recorder);

// Three applications on the default output for `seconds`: sox's tones through pacat, under the
// client names halvo-bench-1 to -3. Empty when one could not start.
std::vector<std::unique_ptr<client::Subprocess>> startApplications(int seconds);
void stopApplications(std::vector<std::unique_ptr<client::Subprocess>>& players);

// Time from launch to the first byte of PCM at the parent, in seconds; negative on failure.
double launchToFirstByte(const Recorder& recorder);

}  // namespace halvo::bench
