#pragma once

// What halvo-record's tests share: a folder for the takes and a strict look at the WAVE files
// they write. halvo-record runs through the helpers' own HelperProcess.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/helper_process.h"
#include "tests/support/waiting.h"

namespace halvo::client_test {

using namespace std::chrono_literals;
using testing::HelperProcess;
using testing::readFile;

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TemporaryFolder {
    std::string path = (std::filesystem::temp_directory_path() / "halvo-XXXXXX").string();
    TemporaryFolder() { EXPECT_TRUE(::mkdtemp(path.data())); }
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
inline WaveLayout expectFloatWav(const std::string& file, std::uint32_t channels,
                                 std::optional<std::uint64_t> dataBytes = std::nullopt,
                                 bool complete = true) {
    WaveLayout layout;
    if (file.size() < 44 || file.substr(0, 4) != "RIFF" || file.substr(8, 4) != "WAVE") {
        ADD_FAILURE() << "not a WAVE file";
        return layout;
    }
    const std::uint32_t frame = channels * 4;
    for (std::size_t at = 12; at + 8 <= file.size() && layout.dataOffset == 0;) {
        const std::string id = file.substr(at, 4);
        const std::uint32_t size = field32(file, at + 4);
        if (id == "fmt ") {  // IEEE float, the channels, 48 kHz, 32 bits
            EXPECT_EQ(field32(file, at + 8), 3 | channels << 16);
            EXPECT_EQ(field32(file, at + 12), 48000u);
            EXPECT_EQ(field32(file, at + 16), 48000 * frame);
            EXPECT_EQ(field32(file, at + 20), frame | 32 << 16);
        } else if (id == "fact") {
            layout.dataBytes = std::uint64_t{field32(file, at + 8)} * frame;
        } else if (id == "data") {
            EXPECT_EQ(layout.dataBytes, size) << "the fact chunk's frames";
            layout = {at + 8, size};
        }
        at += 8 + size + size % 2;
    }
    EXPECT_NE(layout.dataOffset, 0u) << "no data chunk";
    EXPECT_EQ(field32(file, 4), layout.dataOffset - 8 + layout.dataBytes);
    EXPECT_EQ(layout.dataBytes % frame, 0u);
    EXPECT_EQ(layout.dataBytes, dataBytes.value_or(layout.dataBytes));
    const std::size_t end = layout.dataOffset + layout.dataBytes;
    EXPECT_TRUE(complete ? file.size() == end : file.size() >= end) << "the data's end";
    return layout;
}

// The bytes of audio a WAVE file holds after its data chunk's header (`onDisk`), or that header
// declares (brought up to date only every second); 0 before there is one.
inline std::uint64_t audioBytes(const std::string& path, bool onDisk = true) {
    const std::string file = readFile(path);
    const std::size_t data = file.find("data");
    if (data == std::string::npos || file.size() < data + 8) {
        return 0;
    }
    return onDisk ? file.size() - (data + 8) : field32(file, data + 4);
}

}  // namespace halvo::client_test
