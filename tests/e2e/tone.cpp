#include "tests/e2e/tone.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace halvo::testing {

std::vector<float> sine(double frequency, double amplitude, double seconds) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency *
                                                             static_cast<double>(i) / kRate));
    }
    return samples;
}

std::vector<float> samplesOf(const std::string& bytes) {
    std::vector<float> samples(bytes.size() / sizeof(float));
    if (!samples.empty()) {
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    }
    return samples;
}

Stretch loudStretch(std::span<const float> samples, float threshold) {
    Stretch stretch;
    bool found = false;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > threshold) {
            if (!found) {
                stretch.begin = i;
                found = true;
            }
            stretch.end = i + 1;
        }
    }
    return stretch;
}

double frequencyOf(std::span<const float> samples) {
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            const double at = static_cast<double>(i - 1) +
                              -samples[i - 1] / static_cast<double>(samples[i] - samples[i - 1]);
            if (first < 0) {
                first = at;
            }
            last = at;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * kRate / (last - first) : 0.0;
}

double rmsOf(std::span<const float> samples) {
    double sum = 0;
    for (float s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace halvo::testing
