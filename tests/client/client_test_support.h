#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/helper_listener.h"

namespace halvo::client_test {

using namespace std::chrono_literals;

std::string scenario(const std::string& name);
std::string fakeHelper(const std::string& name);
// The bytes the simulated service delivers at positions [0, length).
std::string patternBytes(std::size_t length);
std::string readFile(const std::string& path);

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
  public:
    TemporaryFolder();
    ~TemporaryFolder();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // An executable script "name" in the folder that runs `command` with exec.
    std::string script(const std::string& name, const std::string& command) const;

  private:
    std::string path_;
};

// Everything a helper says, kept for the test to look at.
struct Heard {
    std::vector<client::Signal> signals;
    std::vector<client::Diagnostic> diagnostics;
    std::string audio;
    std::optional<client::AudioFormat> format;
    std::optional<client::ExitStatus> exit;
    bool audioBeforeFormat = false;
    int exitCalls = 0;
    bool callbackAfterExit = false;

    int count(client::SignalKind kind) const;
};

class RecordingListener : public client::HelperListener {
  public:
    // Reader thread, for each signal before it is kept; may send commands.
    std::function<void(const client::Signal&)> onEachSignal;

    void onSignal(const client::Signal& signal) override;
    void onFormat(const client::AudioFormat& format) override;
    void onAudio(std::span<const std::byte> bytes) override;
    void onDiagnostic(const client::Diagnostic& diagnostic) override;
    void onExit(const client::ExitStatus& status) override;

    Heard heard() const;
    // Waits until `done` holds for what was heard; false on timeout.
    bool waitUntil(const std::function<bool(const Heard&)>& done,
                   std::chrono::milliseconds timeout = 10s);
    bool waitForSignal(client::SignalKind kind, int count = 1);
    bool waitForAudio(std::size_t bytes);
    bool waitForExit();

  private:
    template <typename Change>
    void keep(Change change);

    mutable std::mutex mutex_;  // guards heard_
    std::condition_variable changed_;
    Heard heard_;
};

std::uint32_t field32(const std::string& bytes, std::size_t at);
// Checks the header of a float WAVE file field by field, as a strict reader would.
void expectFloatWavHeader(const std::string& file, std::uint32_t rate, std::uint16_t channels,
                          std::uint64_t dataBytes);

}  // namespace halvo::client_test
