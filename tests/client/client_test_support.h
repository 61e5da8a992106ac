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

// Everything a helper says, kept for the test to look at; waits use a condition variable.
class RecordingListener : public client::HelperListener {
  public:
    // Reader thread, for each signal before it is recorded; may send commands.
    std::function<void(const client::Signal&)> onEachSignal;

    void onSignal(const client::Signal& signal) override;
    void onFormat(const client::AudioFormat& format) override;
    void onAudio(std::span<const std::byte> bytes) override;
    void onDiagnostic(const client::Diagnostic& diagnostic) override;
    void onExit(const client::ExitStatus& status) override;

    // Waits until `done` holds (checked under the lock); false on timeout.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);
    bool waitForSignal(client::SignalKind kind, int count = 1);
    bool waitForAudio(std::size_t bytes);
    bool waitForExit();

    // Each of these takes the lock; inside waitUntil() use the unlocked fields instead.
    std::vector<client::Signal> signals() const;
    std::vector<client::Diagnostic> diagnostics() const;
    std::string audio() const;
    std::optional<client::AudioFormat> format() const;
    std::optional<client::ExitStatus> exit() const;
    bool audioBeforeFormat() const;
    int exitCalls() const;
    bool callbackAfterExit() const;

    int countUnlocked(client::SignalKind kind) const;

  private:
    template <typename Change>
    void record(Change change);

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::vector<client::Signal> signals_;
    std::vector<client::Diagnostic> diagnostics_;
    std::string audio_;
    std::optional<client::AudioFormat> format_;
    std::optional<client::ExitStatus> exit_;
    bool audioBeforeFormat_ = false;
    int exitCalls_ = 0;
    bool callbackAfterExit_ = false;
};

}  // namespace halvo::client_test
