#pragma once

#include <string>

namespace halvo::bench {

struct NativeOptions {
    std::string helper;
    std::string
        serverDirectory;  // of scripts/sound-server.sh: its pids name the server's processes
    std::string runtimeDirectory;  // PipeWire's (XDG_RUNTIME_DIR), for pw-record and pw-top
    double seconds = 60;           // each measured window
    int rounds = 3;
    int launches = 30;
};

// The native helper beside pw-record at the same latency (1024 frames), and beside its own pulse
// path, each recording alone on one PipeWire in turn, `rounds` times: own CPU and wake-ups, the
// server's processes' CPU, the graph's quantum; then launch to first byte, alternating. Writes a
// markdown report to `markdown`; 0 when every target is met, 3 when one is missed, 1 when the
// figures could not be taken.
int runNative(const NativeOptions& options, std::string& markdown);

// The native helper recording all applications but one (--exclude) beside its own whole-output
// capture, three applications playing. "Pending" when the excluding helper records nothing.
int runNativeApplications(const NativeOptions& options, std::string& markdown);

}  // namespace halvo::bench
