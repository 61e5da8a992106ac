#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "halvo/client/subprocess.h"
#include "tests/support/helper_process.h"
#include "tests/support/tone.h"
#include "tests/support/waiting.h"

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
    // "XDG_RUNTIME_DIR=<sockets>/runtime", where libpipewire finds the daemon.
    std::string runtimeEntry() const { return "XDG_RUNTIME_DIR=" + sockets_ + "/runtime"; }

    // Runs pactl with `arguments` (shell words) against the server: its output, or nothing
    // when it failed.
    std::optional<std::string> pactl(const std::string& arguments) const;
    // Runs a shell command with the server's PULSE_SERVER and XDG_RUNTIME_DIR (where PipeWire's
    // tools find it): its output, or nothing when it failed.
    std::optional<std::string> shell(const std::string& command) const;

    // Plays `seconds` of a sine of `frequency` Hz and peak `amplitude` (float at 48 kHz, the same
    // in each of `channels` channels) into `sink`, until they end or the process is destroyed;
    // as the application `name` when one is given. `underShell`: with a desktop application's
    // short buffer, as the child of a shell: the process returned, which leads a process group
    // (end both by it). `beepSeconds`: the sine sounds only that long at the start of each second.
    std::unique_ptr<client::Subprocess> play(double frequency, const std::string& sink,
                                             double amplitude = 0.5, int channels = 1,
                                             double seconds = 4, const std::string& name = "",
                                             bool underShell = false, double beepSeconds = 0) const;

    // Records `source` with parec (mono float at 48 kHz, in fragments of `latencyMs`, or as
    // parec chooses when 0) into `file`, until the process is interrupted (SIGINT) or destroyed:
    // the reference a recording is judged against. With HALVO_BACKEND=pipewire, pw-record on
    // the sink at that latency (its own default when 0) in place of parec.
    std::unique_ptr<client::Subprocess> record(const std::string& source, const std::string& file,
                                               int latencyMs = 0) const;

    // A file in the server's folder.
    std::string file(const std::string& name) const { return dir_ + "/" + name; }

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

// One second of the helper's audio, in bytes (mono float at 48 kHz).
inline constexpr std::size_t kBytesPerSecond = 48000 * 4;

// Waits until `following` samples come after the first sample louder than `threshold` from
// sample `from` on of the helper's stdout: where that is, or nothing when it does not within 5 s.
inline std::optional<std::size_t> waitForTone(HelperProcess& helper, std::size_t from = 0,
                                              std::size_t following = 0, float threshold = 0.05f) {
    std::optional<std::size_t> onset;
    const bool heard = helper.waitForOutputWhere([&](const std::string& bytes) {
        const std::vector<float> samples = samplesOf(bytes);
        onset = firstLoud(std::span(samples).subspan(std::min(from, samples.size())), threshold);
        return onset && from + *onset + following <= samples.size();
    });
    return heard ? std::optional(from + *onset) : std::nullopt;
}

// A test against the server named by HALVO_SOUND_DIR, which it leaves as the next test expects
// it: what it asked atTheEnd() done (the modules it loaded unloaded), then halvo_null_a the
// default output, at full volume.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = SoundServer::fromEnvironment();
        ASSERT_TRUE(server_) << "run through ctest: HALVO_SOUND_DIR names the sound server";
    }
    void TearDown() override {
        for (auto undo = undo_.rbegin(); undo != undo_.rend(); ++undo) {
            (*undo)();
        }
        // Where the server answers: until it names halvo_null_a, since PipeWire's session
        // manager may still be choosing a default of its own after an output went away.
        if (server_ && server_->pactl("set-sink-volume halvo_null_a 100%")) {
            EXPECT_TRUE(makeDefault("halvo_null_a")) << "the next test would start elsewhere";
        }
    }

    // Runs pactl, failing the test when it fails.
    void pactl(const std::string& arguments) {
        ASSERT_TRUE(server_->pactl(arguments)) << "pactl " << arguments;
    }
    void atTheEnd(std::function<void()> undo) { undo_.push_back(std::move(undo)); }
    // Loads a module that is unloaded at the end: its index, or nothing when it failed.
    std::optional<std::string> loadModule(const std::string& arguments) {
        std::optional<std::string> index = server_->pactl("load-module " + arguments);
        if (index) {
            index = index->substr(0, index->find('\n'));
            atTheEnd([this, index] { server_->pactl("unload-module " + *index); });
        }
        return index;
    }
    // Names `sink` the default until the server reports it: PipeWire's session manager may not
    // know a new sink yet and keep its own choice.
    bool makeDefault(const std::string& sink) {
        return eventually([&] {
            server_->pactl("set-default-sink " + sink);
            return server_->pactl("get-default-sink").value_or("") == sink + "\n";
        });
    }
    // Until the server lists `count` streams that play into it.
    bool waitForPlayer(std::ptrdiff_t count = 1) const {
        return eventually([&] {
            const std::string list = server_->pactl("list short sink-inputs").value_or("");
            return std::count(list.begin(), list.end(), '\n') >= count;
        });
    }

    // The shipped helper with `arguments`, recording the server through the service that
    // HALVO_BACKEND names (as --backend), or the one it picks when that is not set.
    std::unique_ptr<HelperProcess> spawn(std::vector<std::string> arguments = {},
                                         bool readOutput = true, bool readErrors = true) const {
        if (const char* backend = std::getenv("HALVO_BACKEND")) {
            arguments.insert(arguments.begin(), {"--backend", backend});
        }
        arguments.insert(arguments.begin(), HALVO_HELPER_PATH);
        return HelperProcess::launch(arguments,
                                     {server_->environmentEntry(), server_->runtimeEntry()},
                                     readOutput, readErrors);
    }
    // The same once it has said CAPTURE_STARTED, when driftMs() starts its clock; null, and the
    // test failed, when it does not say so.
    std::unique_ptr<HelperProcess> launch(std::vector<std::string> arguments = {}) {
        auto helper = spawn(std::move(arguments));
        if (!helper || !helper->waitForNext("CAPTURE_STARTED")) {
            ADD_FAILURE() << "no CAPTURE_STARTED: " << (helper ? helper->transcript() : "");
            return nullptr;
        }
        started_ = std::chrono::steady_clock::now();
        return helper;
    }
    // Bytes on stdout minus the wall clock since CAPTURE_STARTED, in ms.
    double driftMs(HelperProcess& helper) const {
        const auto bytes = helper.drainedOutputSize();
        const std::chrono::duration<double, std::milli> elapsed =
            std::chrono::steady_clock::now() - started_;
        return bytes ? static_cast<double>(*bytes) * 1000 / kBytesPerSecond - elapsed.count() : 1e9;
    }

    std::unique_ptr<SoundServer> server_;

  private:
    std::chrono::steady_clock::time_point started_;
    std::vector<std::function<void()>> undo_;
};

}  // namespace halvo::testing
