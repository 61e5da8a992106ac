// Measures the helper against the recorders people already run, side by side on one sound
// server: parec (PulseAudio's), and pw-record (PipeWire's) when the server is PipeWire's. With
// --sink-path it measures the helper's sink path against cat instead. Prints the tables and, with
// --markdown FILE, writes them there for scripts/bench.sh to gather into docs/benchmarks.md. With
// --applications it measures the helper recording all applications but one against its own
// whole-output capture. With --native SERVER-DIR (a PipeWire of scripts/sound-server.sh, found
// through XDG_RUNTIME_DIR alone) it measures the native helper against pw-record and its own pulse
// path; with --applications beside it, the native helper recording all applications but one.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "bench/measure.h"
#include "bench/native.h"
#include "bench/report.h"

namespace halvo::bench {
namespace {

struct Options {
    std::string helper;
    std::string simHelper;
    std::string pipewireRuntime;  // set: the server is PipeWire's, and pw-record joins
    bool sinkPath = false;
    bool applications = false;
    std::string native;  // a sound-server folder: the native helper's measures
    int rounds = 3;
    int launches = 10;
    double sessionSeconds = 30;
    double throughputSeconds = 2;
    std::string markdown;
};

int report(const Options& options, const std::string& text, bool allMet) {
    std::cout << text;
    if (!options.markdown.empty())
        std::ofstream(options.markdown) << text;
    return allMet ? 0 : 3;
}

int runSinkPath(const Options& options) {
    const Table table =
        sinkPathTable(measureSinkPath(options.simHelper, options.throughputSeconds));
    std::ostringstream text;
    text << "Best of three " << options.throughputSeconds << " s runs each.\n\n"
         << table.markdown();
    return report(options, text.str(), table.allMet());
}

int runCapture(const Options& options) {
    const std::string defaultSink = commandOutput("pactl get-default-sink 2>/dev/null");
    if (defaultSink.empty()) {
        std::cerr << "halvo-bench: no sound server answers (is PULSE_SERVER set?)\n";
        return 1;
    }
    std::vector<Recorder> recorders = {helperRecorder(options.helper),
                                       parecRecorder(defaultSink + ".monitor")};
    if (!options.pipewireRuntime.empty())
        recorders.push_back(pwRecordRecorder(defaultSink, options.pipewireRuntime));
    TonePlayer player;
    if (!player.ok()) {
        std::cerr << "halvo-bench: cannot start pacat\n";
        return 1;
    }
    player.set(true);

    const std::vector<double> launchMs = launchMedians(recorders, options.launches);
    const std::vector<CaptureFigures> figures =
        captureSession(recorders, player, options.sessionSeconds);

    const Table table = captureTable(recorders, launchMs, options.launches, figures);
    const std::string text =
        table.markdown() +
        "\nContext switches of each thread over the session (threads alive at its end):\n\n" +
        threadTable(recorders, figures).markdown();
    return report(options, text, table.allMet());
}

// Three applications (sox's tones through pacat, each under a name of its own) play on the
// default output, beside the onset tone; the helper records all but the third, side by side with
// its own whole-output capture.
int runApplications(const Options& options) {
    std::vector<std::unique_ptr<client::Subprocess>> players =
        startApplications(static_cast<int>(options.sessionSeconds) + 30);
    if (players.empty()) {
        std::cerr << "halvo-bench: cannot start a player\n";
        return 1;
    }
    Recorder some = helperRecorder(options.helper);
    some.name = "helper --exclude halvo-bench-3";
    some.argv.insert(some.argv.end(), {"--exclude", "halvo-bench-3"});
    const std::vector<Recorder> recorders = {helperRecorder(options.helper), some};
    TonePlayer player;
    if (!player.ok()) {
        std::cerr << "halvo-bench: cannot start pacat\n";
        return 1;
    }
    const std::vector<CaptureFigures> figures =
        captureSession(recorders, player, options.sessionSeconds);
    stopApplications(players);
    const Table table = applicationsTable(recorders, figures);
    return report(options, table.markdown(), table.allMet());
}

int runNativeBench(const Options& options) {
    const char* runtime = ::getenv("XDG_RUNTIME_DIR");
    NativeOptions native{options.helper,         options.native, runtime ? runtime : "",
                         options.sessionSeconds, options.rounds, options.launches};
    std::string text;
    const int status =
        options.applications ? runNativeApplications(native, text) : runNative(native, text);
    std::cout << text;
    if (!options.markdown.empty())
        std::ofstream(options.markdown) << text;
    return status;
}

}  // namespace
}  // namespace halvo::bench

int main(int argc, char** argv) {
    halvo::bench::Options options;
    const std::string self = argv[0];
    const std::string directory = self.substr(0, self.rfind('/') + 1);
    options.helper = directory + "../halvo-audio-helper";
    options.simHelper = directory + "halvo-bench-flood";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--helper")
            options.helper = value();
        else if (arg == "--sim")
            options.simHelper = value();
        else if (arg == "--pipewire-runtime")
            options.pipewireRuntime = value();
        else if (arg == "--sink-path")
            options.sinkPath = true;
        else if (arg == "--native")
            options.native = value();
        else if (arg == "--rounds")
            options.rounds = std::stoi(value());
        else if (arg == "--applications")
            options.applications = true;
        else if (arg == "--launches")
            options.launches = std::stoi(value());
        else if (arg == "--session-seconds")
            options.sessionSeconds = std::stod(value());
        else if (arg == "--throughput-seconds")
            options.throughputSeconds = std::stod(value());
        else if (arg == "--markdown")
            options.markdown = value();
        else {
            std::cerr
                << "usage: halvo-bench [--helper PATH] [--pipewire-runtime DIR] [--launches N]"
                   " [--session-seconds S] [--applications] [--markdown FILE]\n"
                   "       halvo-bench --native SERVER-DIR [--applications] [--rounds N]"
                   " [--launches N] [--session-seconds S] [--markdown FILE]\n"
                   "       halvo-bench --sink-path [--sim PATH] [--throughput-seconds S]"
                   " [--markdown FILE]\n";
            return 2;
        }
    }
    if (!options.native.empty())
        return halvo::bench::runNativeBench(options);
    if (options.applications)
        return halvo::bench::runApplications(options);
    return options.sinkPath ? halvo::bench::runSinkPath(options)
                            : halvo::bench::runCapture(options);
}
