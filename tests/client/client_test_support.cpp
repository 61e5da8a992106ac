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

int Heard::count(client::SignalKind kind) const {
    int found = 0;
    for (const client::Signal& signal : signals) {
        found += signal.kind == kind ? 1 : 0;
    }
    return found;
}

template <typename Change>
void RecordingListener::keep(Change change) {
    {
        std::lock_guard lock(mutex_);
        heard_.callbackAfterExit = heard_.callbackAfterExit || heard_.exitCalls > 0;
        change(heard_);
    }
    changed_.notify_all();
}

void RecordingListener::onSignal(const client::Signal& signal) {
    if (onEachSignal) {
        onEachSignal(signal);
    }
    keep([&](Heard& heard) { heard.signals.push_back(signal); });
}

void RecordingListener::onFormat(const client::AudioFormat& format) {
    keep([&](Heard& heard) { heard.format = format; });
}

void RecordingListener::onAudio(std::span<const std::byte> bytes) {
    keep([&](Heard& heard) {
        heard.audioBeforeFormat = heard.audioBeforeFormat || !heard.format;
        heard.audio.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    });
}

void RecordingListener::onDiagnostic(const client::Diagnostic& diagnostic) {
    // A sanitizer report of the helper arrives here; the helper's exit status cannot show it.
    if (diagnostic.message.find("Sanitizer") != std::string::npos) {
        ADD_FAILURE() << "the helper reports: " << diagnostic.message;
    }
    keep([&](Heard& heard) { heard.diagnostics.push_back(diagnostic); });
}

void RecordingListener::onExit(const client::ExitStatus& status) {
    keep([&](Heard& heard) {
        heard.exit = status;
        ++heard.exitCalls;
    });
}

Heard RecordingListener::heard() const {
    std::lock_guard lock(mutex_);
    return heard_;
}

bool RecordingListener::waitUntil(const std::function<bool(const Heard&)>& done,
                                  std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(heard_); });
}

bool RecordingListener::waitForSignal(client::SignalKind kind, int count) {
    return waitUntil([&](const Heard& heard) { return heard.count(kind) >= count; });
}

bool RecordingListener::waitForAudio(std::size_t bytes) {
    return waitUntil([&](const Heard& heard) { return heard.audio.size() >= bytes; });
}

bool RecordingListener::waitForExit() {
    return waitUntil([](const Heard& heard) { return heard.exit.has_value(); });
}

std::uint32_t field32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes.at(at + i));
    }
    return value;
}

void expectFloatWavHeader(const std::string& file, std::uint32_t rate, std::uint16_t channels,
                          std::uint64_t dataBytes) {
    ASSERT_GE(file.size(), 58u);
    const auto field16 = [&](std::size_t at) { return field32(file, at) & 0xFFFF; };
    EXPECT_EQ(file.substr(0, 4), "RIFF");
    EXPECT_EQ(field32(file, 4), 50 + dataBytes);
    EXPECT_EQ(file.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(field32(file, 16), 18u);
    EXPECT_EQ(field16(20), 3u);  // IEEE float
    EXPECT_EQ(field16(22), channels);
    EXPECT_EQ(field32(file, 24), rate);
    EXPECT_EQ(field32(file, 28), rate * channels * 4u);
    EXPECT_EQ(field16(32), channels * 4u);
    EXPECT_EQ(field16(34), 32u);
    EXPECT_EQ(field16(36), 0u);
    EXPECT_EQ(file.substr(38, 4), "fact");
    EXPECT_EQ(field32(file, 42), 4u);
    EXPECT_EQ(field32(file, 46), dataBytes / (channels * 4u));
    EXPECT_EQ(file.substr(50, 4), "data");
    EXPECT_EQ(field32(file, 54), dataBytes);
    EXPECT_GE(file.size(), 58 + dataBytes);
}

}  // namespace halvo::client_test
