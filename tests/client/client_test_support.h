#pragma once

// What halvo-record's tests share: a folder for the takes, a strict look at the WAVE files they
// write, and halvo-record run through the same process runner as the helper's tests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/helper_process.h"
#include "tests/support/waiting.h"

namespace halvo::client_test {

using namespace std::chrono_literals;
using testing::HelperProcess;

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

// Checks a 48 kHz float WAVE file chunk by chunk, as a strict reader would: the format, the frame
// count of a fact chunk, and sizes that add up to the file's own (`complete`) or to no more than
// it holds (a take cut short). Without `dataBytes`, any size will do.
inline WaveLayout expectFloatWav(const std::string& file, std::uint16_t channels,
                                 std::optional<std::uint64_t> dataBytes = std::nullopt,
                                 bool complete = true) {
    WaveLayout layout;
    const auto field16 = [&](std::size_t at) { return field32(file, at) & 0xFFFF; };
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
            EXPECT_EQ(field32(file, at + 12), 48000u);
            EXPECT_EQ(field32(file, at + 16), 48000u * channels * 4);
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
    if (complete) {
        EXPECT_EQ(file.size(), layout.dataOffset + layout.dataBytes) << "bytes after the data";
    } else {
        EXPECT_GE(file.size(), layout.dataOffset + layout.dataBytes);
    }
    return layout;
}

// The bytes of audio a WAVE file holds on disk after its data chunk's header, whatever that
// header declares yet (it is brought up to date only every second).
inline std::uint64_t audioBytesOnDisk(const std::string& path) {
    const std::string head = readFile(path).substr(0, 512);
    const std::size_t data = head.find("data");
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return data == std::string::npos || error || size < data + 8 ? 0 : size - (data + 8);
}

// halvo-record with `arguments`, running.
inline std::unique_ptr<HelperProcess> launchRecorder(
    std::vector<std::string> arguments, const std::vector<std::string>& environment = {}) {
    arguments.insert(arguments.begin(), CLIENT_TEST_RECORD);
    auto recorder = HelperProcess::launch(arguments, environment);
    EXPECT_TRUE(recorder) << "cannot start " << CLIENT_TEST_RECORD;
    return recorder;
}

// Everything it wrote on standard error, line by line.
inline std::string errorsOf(const HelperProcess& process) {
    std::string text;
    for (const std::string& line : process.lines()) {
        text += line + "\n";
    }
    return text;
}

// Waits until halvo-record has said `text`.
inline bool waitForError(HelperProcess& recorder, const std::string& text,
                         std::chrono::milliseconds timeout = 10s) {
    return recorder.waitForLine(
        [&](const std::string& line) { return line.find(text) != std::string::npos; }, timeout);
}

}  // namespace halvo::client_test
