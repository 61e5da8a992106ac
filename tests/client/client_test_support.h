#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/subprocess.h"
#include "tests/sim/scenario.h"
#include "tests/support/tone.h"

namespace halvo::client_test {

using namespace std::chrono_literals;

// The bytes the simulated service delivers at positions [0, length).
inline std::string patternBytes(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>(sim::patternByte(i));
    }
    return bytes;
}

// The bytes of `frames` frames of a sine at 48 kHz, the same in each of `channels` channels.
inline std::string sine(double frequency, double amplitude, std::size_t frames, int channels) {
    return std::string(testing::bytesOf(testing::sine(frequency, amplitude, frames, channels)));
}

inline std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TemporaryFolder {
    std::string path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "halvo-XXXXXX").string();
        return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }();
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline std::uint32_t field32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes.at(at + i));
    }
    return value;
}

// Where a WAVE file's audio lies and how much its header declares.
struct WaveLayout {
    std::size_t dataOffset = 0;
    std::uint64_t dataBytes = 0;
};

// Checks a float WAVE file chunk by chunk, as a strict reader would: the format, the frame count
// of a fact chunk, and sizes that add up. Without `dataBytes`, any size the file holds will do.
inline WaveLayout expectFloatWav(const std::string& file, std::uint32_t rate,
                                 std::uint16_t channels,
                                 std::optional<std::uint64_t> dataBytes = std::nullopt) {
    WaveLayout layout;
    const auto field16 = [&](std::size_t at) { return field32(file, at) & 0xFFFF; };
    EXPECT_GE(file.size(), 44u);
    if (file.size() < 44 || file.substr(0, 4) != "RIFF" || file.substr(8, 4) != "WAVE") {
        ADD_FAILURE() << "not a WAVE file";
        return layout;
    }
    std::optional<std::uint32_t> factFrames;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const std::string id = file.substr(at, 4);
        const std::uint32_t size = field32(file, at + 4);
        if (id == "fmt ") {
            EXPECT_TRUE(field16(at + 8) == 3 || (field16(at + 8) == 0xFFFE && size >= 40 &&
                                                 field16(at + 32) == 3));  // IEEE float
            EXPECT_EQ(field16(at + 10), channels);
            EXPECT_EQ(field32(file, at + 12), rate);
            EXPECT_EQ(field32(file, at + 16), rate * channels * 4u);
            EXPECT_EQ(field16(at + 20), channels * 4u);
            EXPECT_EQ(field16(at + 22), 32u);
        } else if (id == "fact") {
            factFrames = field32(file, at + 8);
        } else if (id == "data") {
            layout = {at + 8, size};
            break;
        }
        at += 8 + size + size % 2;
    }
    EXPECT_NE(layout.dataOffset, 0u) << "no data chunk";
    EXPECT_EQ(field32(file, 4), layout.dataOffset - 8 + layout.dataBytes);
    EXPECT_EQ(layout.dataBytes % (channels * 4u), 0u);
    if (factFrames) {
        EXPECT_EQ(*factFrames, layout.dataBytes / (channels * 4u));
    }
    if (dataBytes) {
        EXPECT_EQ(layout.dataBytes, *dataBytes);
    }
    EXPECT_GE(file.size(), layout.dataOffset + layout.dataBytes);
    return layout;
}

// Waits until `condition` holds, looking every few milliseconds, for at most `timeout`: for
// states that announce themselves with no event to wait on, such as a file's length. True once
// it holds.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The bytes of audio a WAVE file holds on disk after its data chunk's header, whatever that
// header declares yet (it is brought up to date only every second).
inline std::uint64_t audioBytesOnDisk(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string head(512, '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(file.gcount()));
    const std::size_t data = head.find("data");
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (data == std::string::npos || error || size < data + 8) {
        return 0;
    }
    return size - (data + 8);
}

// A program running in the background whose standard error is read as it comes, so that a test
// can wait for what it says.
class RunningProgram {
  public:
    explicit RunningProgram(const std::vector<std::string>& arguments,
                            const std::vector<std::string>& environment = {}) {
        std::string error;
        child_ = client::Subprocess::spawn(arguments, &error, environment);
        EXPECT_TRUE(child_) << error;
    }

    bool running() const { return child_ != nullptr; }
    pid_t pid() const { return child_->pid(); }
    const std::string& errors() const { return errors_; }

    // Waits for `text` on its standard error, for at most `timeout`.
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (errors_.find(text) == std::string::npos) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readError(static_cast<int>(left.count()))) {
                return false;
            }
        }
        return true;
    }

    // Waits for it to end, reading the rest of its standard error.
    std::optional<client::ExitStatus> waitForExit(std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (readError(static_cast<int>(std::max<std::int64_t>(
            0, std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                            std::chrono::steady_clock::now())
                   .count())))) {
        }
        return child_->waitFor(std::chrono::ceil<std::chrono::milliseconds>(
            std::max(deadline - std::chrono::steady_clock::now(),
                     std::chrono::steady_clock::duration::zero())));
    }

  private:
    // One read of standard error, waiting at most `milliseconds`; false at its end or deadline.
    bool readError(int milliseconds) {
        pollfd entry{child_->standardError(), POLLIN, 0};
        if (::poll(&entry, 1, milliseconds) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t got = ::read(child_->standardError(), buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        errors_.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    std::unique_ptr<client::Subprocess> child_;
    std::string errors_;
};

struct RecorderRun {
    client::ExitStatus status;
    std::string output;
    std::string errors;
};

// What a pipe holds, once its writer has ended: no more than the pipe's buffer.
inline std::string readPipe(int fd) {
    std::string text(1 << 16, '\0');
    text.resize(
        static_cast<std::size_t>(std::max<ssize_t>(0, ::read(fd, text.data(), text.size()))));
    return text;
}

// Runs `arguments` (a program and its arguments); `meanwhile` gets its pid while it runs.
inline RecorderRun runProgram(const std::vector<std::string>& arguments,
                              const std::function<void(pid_t)>& meanwhile = {},
                              const std::vector<std::string>& environment = {}) {
    std::string error;
    auto child = client::Subprocess::spawn(arguments, &error, environment);
    RecorderRun run;
    if (!child) {
        ADD_FAILURE() << error;
        return run;
    }
    if (meanwhile) {
        meanwhile(child->pid());
    }
    const auto status = child->waitFor(20s);
    if (!status) {
        ADD_FAILURE() << "halvo-record did not end";
        return run;  // the Subprocess kills it
    }
    return {*status, readPipe(child->standardOutput()), readPipe(child->standardError())};
}

// Runs halvo-record with `arguments`; `meanwhile` gets its pid while it runs.
inline RecorderRun runRecorder(std::vector<std::string> arguments,
                               const std::function<void(pid_t)>& meanwhile = {},
                               const std::vector<std::string>& environment = {}) {
    arguments.insert(arguments.begin(), CLIENT_TEST_RECORD);
    return runProgram(arguments, meanwhile, environment);
}

}  // namespace halvo::client_test
