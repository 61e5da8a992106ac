#pragma once

#include <cstdint>
#include <span>

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

}  // namespace halvo::record
