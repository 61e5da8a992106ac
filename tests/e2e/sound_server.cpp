#include "tests/e2e/sound_server.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

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
    return std::unique_ptr<SoundServer>(new SoundServer(dir));
}

std::optional<std::string> SoundServer::pactl(const std::string& arguments) const {
    return run(environmentEntry() + " pactl " + arguments + " 2>/dev/null");
}

std::unique_ptr<client::Subprocess> SoundServer::play(const std::vector<float>& samples,
                                                      const std::string& sink) const {
    static int played = 0;
    const std::string file = dir_ + "/tone-" + std::to_string(++played) + ".f32";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()),
               static_cast<std::streamsize>(samples.size() * sizeof(float)));
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

bool SoundServer::restart() const {
    return run(std::string(HALVO_SOUND_SERVER_SCRIPT) + " start " + dir_ + " >/dev/null")
        .has_value();
}

}  // namespace halvo::testing
