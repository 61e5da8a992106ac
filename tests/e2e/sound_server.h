#pragma once

#include <memory>
#include <optional>
#include <string>

#include "client/subprocess.h"

namespace halvo::testing {

// The private sound server a test runs against: the folder scripts/sound-server.sh started it
// in, named by HALVO_SOUND_DIR. Its sockets are in a short folder of their own, named in the
// folder's file "sockets".
class SoundServer {
  public:
    // Null when HALVO_SOUND_DIR is not set (the test was not started by ctest).
    static std::unique_ptr<SoundServer> fromEnvironment();

    // "PULSE_SERVER=unix:<sockets>/native", for a child's environment.
    std::string environmentEntry() const { return "PULSE_SERVER=unix:" + sockets_ + "/native"; }

    // Runs pactl with `arguments` (shell words) against the server: its output, or nothing
    // when it failed.
    std::optional<std::string> pactl(const std::string& arguments) const;
    // Runs a shell command with the server's PULSE_SERVER and XDG_RUNTIME_DIR (where PipeWire's
    // tools find it): its output, or nothing when it failed.
    std::optional<std::string> shell(const std::string& command) const;

    // Plays four seconds of a sine of `frequency` Hz and peak 0.5 (mono float at 48 kHz) into
    // `sink`, until they end or the process is destroyed.
    std::unique_ptr<client::Subprocess> play(double frequency, const std::string& sink) const;

    // Kills the server as a crash would.
    void kill() const;
    // Stops the server's processes where they stand (SIGSTOP), or lets them go on (SIGCONT): a
    // server that stalls.
    void stall(bool stalled) const;
    // Starts it again, as the fixture did, on the same socket.
    bool restart() const;

  private:
    SoundServer(std::string dir, std::string sockets)
        : dir_(std::move(dir)), sockets_(std::move(sockets)) {}
    std::string dir_;
    std::string sockets_;
};

}  // namespace halvo::testing
