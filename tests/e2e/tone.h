#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace halvo::testing {

constexpr double kRate = 48000.0;

// A sine of `frequency` Hz and peak `amplitude`, `seconds` long, at kRate.
std::vector<float> sine(double frequency, double amplitude, double seconds);

// The helper's stdout as samples (float32, native order, as the helper writes them).
std::vector<float> samplesOf(const std::string& bytes);

// The stretch from the first to the last sample louder than `threshold`: [begin, end).
struct Stretch {
    std::size_t begin = 0;
    std::size_t end = 0;
    double seconds() const { return static_cast<double>(end - begin) / kRate; }
};
Stretch loudStretch(std::span<const float> samples, float threshold = 0.05f);

// The frequency from the rising zero crossings (interpolated between samples), and the level.
double frequencyOf(std::span<const float> samples);
double rmsOf(std::span<const float> samples);

}  // namespace halvo::testing
