#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace halvo::record {

// The audio of a sound file, as floats in [-1, 1].
struct DecodedAudio {
    int sampleRate = 0;
    int channels = 0;
    std::string encoding;        // as people say it: "WAVE 32-bit float", "FLAC 24-bit", …
    std::vector<float> samples;  // interleaved frames

    std::size_t frames() const {
        return channels == 0 ? 0 : samples.size() / static_cast<std::size_t>(channels);
    }
};

struct ReadResult {
    std::optional<DecodedAudio> audio;
    std::string error;
};

// Reads any file libsndfile reads: WAVE (integer or float), FLAC, Ogg/Opus and others. A WAVE
// data chunk whose size runs past the end of the file is read as far as the file goes.
ReadResult readSoundFile(const std::string& path);

}  // namespace halvo::record
