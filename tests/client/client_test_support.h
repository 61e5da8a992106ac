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
#include <string>
#include <vector>

#include "capture/sim/scenario.h"
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

// Checks the header of a float WAVE file field by field, as a strict reader would.
inline void expectFloatWavHeader(const std::string& file, std::uint32_t rate,
                                 std::uint16_t channels, std::uint64_t dataBytes) {
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
