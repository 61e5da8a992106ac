#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvo::record {

// The audio of a WAVE file, as floats in [-1, 1].
struct WavAudio {
    std::uint32_t sampleRate = 0;
    std::uint16_t channels = 0;
    std::uint16_t bitsPerSample = 0;
    bool isFloat = false;
    std::vector<float> samples;  // interleaved frames

    std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

struct WavReadResult {
    std::optional<WavAudio> audio;
    std::string error;
};

// Reads 32-bit float or 16-bit integer WAVE files (plain or WAVE_FORMAT_EXTENSIBLE). A data
// chunk whose size runs past the end of the file is read as far as the file goes.
WavReadResult readWav(const std::string& path);

}  // namespace halvo::record
