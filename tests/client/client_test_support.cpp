#include "tests/client/client_test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "capture/sim/scenario.h"

namespace halvo::client_test {

std::string scenario(const std::string& name) {
    return std::string(CLIENT_TEST_SCENARIOS) + "/" + name;
}

std::string fakeHelper(const std::string& name) {
    return std::string(CLIENT_TEST_FAKE_HELPERS) + "/" + name;
}

std::string patternBytes(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>(sim::patternByte(i));
    }
    return bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "halvo-client-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TemporaryFolder::script(const std::string& name, const std::string& command) const {
    const std::string path = file(name);
    std::ofstream(path) << "#!/bin/sh\nexec " << command << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

template <typename Change>
void RecordingListener::record(Change change) {
    {
        std::lock_guard lock(mutex_);
        if (exitCalls_ > 0) {
            callbackAfterExit_ = true;
        }
        change();
    }
    changed_.notify_all();
}

void RecordingListener::onSignal(const client::Signal& signal) {
    if (onEachSignal) {
        onEachSignal(signal);
    }
    record([&] { signals_.push_back(signal); });
}

void RecordingListener::onFormat(const client::AudioFormat& format) {
    record([&] { format_ = format; });
}

void RecordingListener::onAudio(std::span<const std::byte> bytes) {
    record([&] {
        audioBeforeFormat_ = audioBeforeFormat_ || !format_;
        audio_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    });
}

void RecordingListener::onDiagnostic(const client::Diagnostic& diagnostic) {
    // A sanitizer report of the helper arrives here; the helper's exit status cannot show it.
    if (diagnostic.message.find("Sanitizer") != std::string::npos) {
        ADD_FAILURE() << "the helper reports: " << diagnostic.message;
    }
    record([&] { diagnostics_.push_back(diagnostic); });
}

void RecordingListener::onExit(const client::ExitStatus& status) {
    {
        std::lock_guard lock(mutex_);
        exit_ = status;
        ++exitCalls_;
    }
    changed_.notify_all();
}

bool RecordingListener::waitUntil(const std::function<bool()>& done,
                                  std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
}

int RecordingListener::countUnlocked(client::SignalKind kind) const {
    int count = 0;
    for (const client::Signal& signal : signals_) {
        count += signal.kind == kind ? 1 : 0;
    }
    return count;
}

bool RecordingListener::waitForSignal(client::SignalKind kind, int count) {
    return waitUntil([&] { return countUnlocked(kind) >= count; });
}

bool RecordingListener::waitForAudio(std::size_t bytes) {
    return waitUntil([&] { return audio_.size() >= bytes; });
}

bool RecordingListener::waitForExit() {
    return waitUntil([&] { return exit_.has_value(); });
}

std::vector<client::Signal> RecordingListener::signals() const {
    std::lock_guard lock(mutex_);
    return signals_;
}

std::vector<client::Diagnostic> RecordingListener::diagnostics() const {
    std::lock_guard lock(mutex_);
    return diagnostics_;
}

std::string RecordingListener::audio() const {
    std::lock_guard lock(mutex_);
    return audio_;
}

std::optional<client::AudioFormat> RecordingListener::format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

std::optional<client::ExitStatus> RecordingListener::exit() const {
    std::lock_guard lock(mutex_);
    return exit_;
}

bool RecordingListener::audioBeforeFormat() const {
    std::lock_guard lock(mutex_);
    return audioBeforeFormat_;
}

int RecordingListener::exitCalls() const {
    std::lock_guard lock(mutex_);
    return exitCalls_;
}

bool RecordingListener::callbackAfterExit() const {
    std::lock_guard lock(mutex_);
    return callbackAfterExit_;
}

}  // namespace halvo::client_test
