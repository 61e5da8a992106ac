#include "tests/e2e/sound_server.h"

#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <string>

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
    return run("export " + environmentEntry() + " XDG_RUNTIME_DIR=" + sockets_ + "/runtime; " +
               command);
}

std::unique_ptr<client::Subprocess> SoundServer::play(double frequency,
                                                      const std::string& sink) const {
    const std::string file = dir_ + "/tone-" + std::to_string(frequency) + ".f32";
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 4 * 48000; ++i) {
        const auto sample =
            static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * frequency * i / 48000));
        out.write(reinterpret_cast<const char*>(&sample), sizeof sample);
    }
    out.close();
    std::string error;
    return client::Subprocess::spawn({"pacat", "--playback", "--raw", "--format=float32le",
                                      "--rate=48000", "--channels=1", "--device=" + sink, file},
                                     &error, {environmentEntry()});
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
