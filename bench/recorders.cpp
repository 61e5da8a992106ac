#include "bench/recorders.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include "bench/measure.h"

namespace halvo::bench {
namespace {

void interrupt(client::Subprocess& child) {
    child.sendSignal(SIGINT);
}

}  // namespace

Recorder helperRecorder(const std::string& path) {
    return {"halvo-audio-helper", {path}, {}, [](client::Subprocess& child) {
                child.write("QUIT\n");
                child.closeStandardInput();
            }};
}

Recorder parecRecorder(const std::string& monitor) {
    return {"parec",
            {"parec", "-d", monitor, "--format=float32le", "--rate=48000", "--channels=1", "--raw",
             "--latency-msec=20"},
            {},
            interrupt};
}

Recorder pwRecordRecorder(const std::string& sink, const std::string& runtimeDirectory,
                          const std::string& latency) {
    // "-" writes the samples to stdout without a header.
    return {"pw-record",
            {"pw-record", "--target", sink, "-P", "stream.capture.sink=true", "--format", "f32",
             "--rate", "48000", "--channels", "1", "--latency", latency, "-"},
            {"XDG_RUNTIME_DIR=" + runtimeDirectory},
            interrupt};
}

std::unique_ptr<client::Subprocess> start(const Recorder& recorder) {
    std::string error;
    return client::Subprocess::spawn(recorder.argv, &error, recorder.environment);
}

std::vector<std::unique_ptr<client::Subprocess>> startApplications(int seconds) {
    std::vector<std::unique_ptr<client::Subprocess>> players;
    for (int n = 1; n <= 3; ++n) {
        std::string error;
        players.push_back(client::Subprocess::spawn(
            {"sh", "-c",
             "sox -q -n -t raw -r 48000 -e float -b 32 -c 2 - synth " + std::to_string(seconds) +
                 " sine " + std::to_string(300 + 200 * n) +
                 " vol 0.2 | pacat --playback --raw --format=float32le --rate=48000 "
                 "--channels=2 --latency-msec=50 --client-name=halvo-bench-" +
                 std::to_string(n)},
            &error, {}, true));
        if (!players.back()) {
            stopApplications(players);
            return {};
        }
    }
    return players;
}

void stopApplications(std::vector<std::unique_ptr<client::Subprocess>>& players) {
    for (const auto& each : players) {
        if (each)
            ::kill(-each->pid(), SIGKILL);  // the shell, sox and pacat: one process group
    }
    players.clear();
}

double launchToFirstByte(const Recorder& recorder) {
    const auto launched = Clock::now();
    auto child = start(recorder);
    if (!child)
        return -1;
    char byte;
    pollfd entry{child->standardOutput(), POLLIN, 0};
    double elapsed = -1;
    if (::poll(&entry, 1, 5000) > 0 && ::read(child->standardOutput(), &byte, 1) == 1) {
        elapsed = Seconds(Clock::now() - launched).count();
    }
    recorder.stop(*child);
    child->waitFor(std::chrono::seconds(2));
    return elapsed;
}

}  // namespace halvo::bench
