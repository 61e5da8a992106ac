#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "tools/halvo-record/sound_file_reader.h"

namespace halvo::record {

// 20·log10(amplitude): 0 dBFS is full scale; silence is minus infinity.
double toDbfs(double amplitude);

struct Levels {
    double peak = 0;  // largest absolute sample
    double rms = 0;
};

// Peak and RMS over the samples added since the last take(). Samples that are not finite
// (garbage in a broken stream) are skipped. Not thread-safe.
class LevelMeter {
  public:
    void add(std::span<const float> samples);
    Levels take();

  private:
    double peak_ = 0;
    double sumOfSquares_ = 0;
    std::uint64_t count_ = 0;
};

struct Analysis {
    double seconds = 0;
    Levels levels;
    // The strongest frequency of the channels' mix; nothing for silence or too short a file.
    std::optional<double> dominantHz;
};

Analysis analyze(const DecodedAudio& audio);

}  // namespace halvo::record
