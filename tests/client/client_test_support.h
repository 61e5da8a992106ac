#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "tests/sim/scenario.h"
#include "client/subprocess.h"

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
    std::string bytes;
    for (std::size_t i = 0; i < frames * channels; ++i) {
        const auto sample = static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * frequency * (i / channels) / 48000.0));
        bytes.append(reinterpret_cast<const char*>(&sample), sizeof sample);
    }
    return bytes;
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
