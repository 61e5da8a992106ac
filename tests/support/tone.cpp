#include "tests/support/tone.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>

namespace halvo::testing {

namespace {
constexpr double kRate = 48000.0;
}

std::vector<float> sine(double frequency, double amplitude, std::size_t frames, int channels,
                        std::size_t first) {
    std::vector<float> samples;
    samples.reserve(frames * static_cast<std::size_t>(channels));
    for (std::size_t frame = first; frame < first + frames; ++frame) {
        const auto value =
            static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency *
                                                    static_cast<double>(frame) / kRate));
        samples.insert(samples.end(), static_cast<std::size_t>(channels), value);
    }
    return samples;
}

std::string_view bytesOf(const std::vector<float>& samples) {
    return {reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float)};
}

std::vector<float> samplesOf(std::string_view bytes) {
    std::vector<float> samples(bytes.size() / sizeof(float));
    if (!samples.empty()) {  // memcpy must not get the null data() of an empty vector
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    }
    return samples;
}

std::optional<std::size_t> firstLoud(std::span<const float> samples, float threshold) {
    const auto loud = std::ranges::find_if(
        samples, [threshold](float sample) { return std::fabs(sample) > threshold; });
    return loud == samples.end() ? std::nullopt
                                 : std::optional<std::size_t>(loud - samples.begin());
}

double frequencyOf(std::span<const float> samples) {
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            last = static_cast<double>(i - 1) +
                   -samples[i - 1] / static_cast<double>(samples[i] - samples[i - 1]);
            first = first < 0 ? last : first;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * kRate / (last - first) : 0.0;
}

double amplitudeOf(std::span<const float> samples) {
    const double sum = std::transform_reduce(samples.begin(), samples.end(), 0.0, std::plus<>(),
                                             [](float sample) { return double{sample} * sample; });
    return samples.empty() ? 0.0 : std::sqrt(2 * sum / static_cast<double>(samples.size()));
}

double amplitudeAt(std::span<const float> samples, double frequency) {
    double re = 0;
    double im = 0;
    const auto n = static_cast<double>(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double at = static_cast<double>(i);
        const double phase = 2 * std::numbers::pi * frequency * at / kRate;
        const double hann = 1 - std::cos(2 * std::numbers::pi * at / n);  // twice the window
        re += hann * samples[i] * std::cos(phase);
        im += hann * samples[i] * std::sin(phase);
    }
    return samples.empty() ? 0.0 : 2 * std::hypot(re, im) / n;
}

Continuity continuityOf(std::span<const float> samples, double frequency, std::size_t settle) {
    Continuity result;
    const std::optional<std::size_t> onset = firstLoud(samples);
    if (!onset || *onset + settle >= samples.size()) {
        return result;
    }
    const std::span<const float> tone = samples.subspan(*onset + settle);
    result.samples = tone.size();
    const double peak =
        std::max(amplitudeOf(tone.first(std::min<std::size_t>(tone.size(), 4800))), 1e-3);
    const double twoCos = 2 * std::cos(2 * std::numbers::pi * frequency / kRate);
    std::size_t zeros = 0;
    std::size_t lastBreak = 0;
    for (std::size_t i = 0; i < tone.size(); ++i) {
        if (tone[i] != 0.0f) {
            // A run from the very start may have begun before it.
            if (zeros > 1 && zeros < i && zeros % kLeastQuantum != 0) {
                ++result.oddSilences;
            }
            zeros = 0;
        } else {
            result.longestZeros = std::max(result.longestZeros, ++zeros);
        }
        if (i < 2) {
            continue;
        }
        const double residual = tone[i] - twoCos * tone[i - 1] + tone[i - 2];
        // One break disturbs two residuals: count it once.
        if (std::fabs(residual) > 0.01 * peak && (result.breaks.empty() || i > lastBreak + 2)) {
            if (result.breaks.empty() || i >= result.breaks.back() + kDisturbanceGap) {
                ++result.disturbances;
            }
            result.breaks.push_back(i);
        }
        if (std::fabs(residual) > 0.01 * peak) {
            lastBreak = i;
        }
    }
    return result;
}

double largestPhaseSlip(std::span<const float> samples, double frequency, std::size_t from) {
    // Fifty periods, rounded to a sample: a stretch's phase hardly depends on where it starts.
    const auto stretch = static_cast<std::size_t>(std::lround(50 * kRate / frequency));
    std::optional<double> first;
    double largest = 0;
    for (std::size_t at = from; at + stretch <= samples.size(); at += stretch) {
        const std::span<const float> part = samples.subspan(at, stretch);
        if (std::ranges::find(part, 0.0f) != part.end()) {
            continue;
        }
        double re = 0;
        double im = 0;
        for (std::size_t i = at; i < at + stretch; ++i) {
            const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / kRate;
            re += samples[i] * std::cos(phase);
            im += samples[i] * std::sin(phase);
        }
        const double phase = std::atan2(im, re);
        first = first.value_or(phase);
        largest =
            std::max(largest, std::fabs(std::remainder(phase - *first, 2 * std::numbers::pi)));
    }
    return largest;
}

}  // namespace halvo::testing
