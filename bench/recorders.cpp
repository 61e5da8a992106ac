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

Recorder pwRecordRecorder(const std::string& sink, const std::string& runtimeDirectory) {
    // "-" writes the samples to stdout without a header.
    return {"pw-record",
            {"pw-record", "--target", sink, "-P", "stream.capture.sink=true", "--format", "f32",
             "--rate", "48000", "--channels", "1", "--latency", "20ms", "-"},
            {"XDG_RUNTIME_DIR=" + runtimeDirectory},
            interrupt};
}

std::unique_ptr<client::Subprocess> start(const Recorder& recorder) {
    std::string error;
    return client::Subprocess::spawn(recorder.argv, &error, recorder.environment);
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
