#include "tests/e2e/sound_server.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/tone.h"

namespace halvo::testing {

namespace {

std::optional<std::string> run(const std::string& command) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return std::nullopt;
    }
    std::string output;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    if (::pclose(pipe) != 0) {
        return std::nullopt;
    }
    return output;
}

}  // namespace

std::unique_ptr<SoundServer> SoundServer::fromEnvironment() {
    const char* dir = std::getenv("HALVO_SOUND_DIR");
    if (dir == nullptr || *dir == '\0') {
        return nullptr;
    }
    std::string sockets;
    std::getline(std::ifstream(std::string(dir) + "/sockets"), sockets);
    return std::unique_ptr<SoundServer>(new SoundServer(dir, sockets));
}

std::optional<std::string> SoundServer::pactl(const std::string& arguments) const {
    return run(environmentEntry() + " pactl " + arguments + " 2>/dev/null");
}

std::optional<std::string> SoundServer::shell(const std::string& command) const {
    return run("export " + environmentEntry() + " " + runtimeEntry() + "; " + command);
}

std::unique_ptr<client::Subprocess> SoundServer::play(double frequency, const std::string& sink,
                                                      double amplitude, int channels,
                                                      double seconds, const std::string& name,
                                                      bool underShell, double beepSeconds) const {
    const std::string file = dir_ + "/tone-" + std::to_string(frequency) + "-" +
                             std::to_string(amplitude) + "-" + std::to_string(channels) + "-" +
                             std::to_string(seconds) + "-" + std::to_string(beepSeconds) + ".f32";
    std::vector<float> samples =
        sine(frequency, amplitude, static_cast<std::size_t>(seconds * 48000), channels);
    for (std::size_t at = 0; beepSeconds > 0 && at < samples.size(); ++at) {
        if (at / channels % 48000 >= beepSeconds * 48000) {
            samples[at] = 0;
        }
    }
    std::ofstream(file, std::ios::binary) << bytesOf(samples);
    std::vector<std::string> argv{"pacat",
                                  "--playback",
                                  "--raw",
                                  "--format=float32le",
                                  "--rate=48000",
                                  "--channels=" + std::to_string(channels),
                                  "--device=" + sink,
                                  file};
    if (!name.empty()) {
        argv.push_back("--client-name=" + name);
    }
    if (underShell) {
        // PipeWire's pulse server hands a recording of one stream over as the player's buffer
        // fills: with pacat's default buffer, in blocks of up to 0.6 s.
        argv.push_back("--latency-msec=50");
        // "; exit": the shell stays, pacat's parent, rather than becoming pacat.
        argv.insert(argv.begin(), {"sh", "-c", "\"$@\"; exit", "sh"});
    }
    std::string error;
    return client::Subprocess::spawn(argv, &error, {environmentEntry()}, underShell);
}

std::unique_ptr<client::Subprocess> SoundServer::record(const std::string& source,
                                                        const std::string& file,
                                                        int latencyMs) const {
    std::vector<std::string> argv{"parec",
                                  "--raw",
                                  "--format=float32le",
                                  "--rate=48000",
                                  "--channels=1",
                                  "--device=" + source,
                                  file};
    if (latencyMs > 0) {
        argv.push_back("--latency-msec=" + std::to_string(latencyMs));
    }
    const char* backend = std::getenv("HALVO_BACKEND");
    if (backend != nullptr && std::string(backend) == "pipewire") {
        // Recorded natively, the helper is judged against PipeWire's own recorder on the sink.
        const std::string sink = source.substr(0, source.rfind(".monitor"));
        argv = {"sh",
                "-c",
                "exec pw-record --target \"$1\" -P stream.capture.sink=true --format f32 "
                "--rate 48000 --channels 1 $2 - >\"$0\"",
                file,
                sink,
                latencyMs > 0 ? "--latency " + std::to_string(latencyMs) + "ms" : ""};
    }
    std::string error;
    return client::Subprocess::spawn(argv, &error, {environmentEntry(), runtimeEntry()});
}

void SoundServer::kill() const {
    std::ifstream pidFile(dir_ + "/pid");
    pid_t pid = 0;
    if (pidFile >> pid && pid > 0) {
        ::kill(pid, SIGKILL);
    }
}

void SoundServer::stall(bool stalled) const {
    std::ifstream pids(dir_ + "/pids");
    for (pid_t pid = 0; pids >> pid;) {
        if (pid > 0) {
            ::kill(pid, stalled ? SIGSTOP : SIGCONT);
        }
    }
}

bool SoundServer::restart() const {
    return run(std::string(HALVO_SOUND_SERVER_SCRIPT) + " restart " + dir_ + " >/dev/null")
        .has_value();
}

}  // namespace halvo::testing
