#include "tools/halvo-record/levels.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

namespace halvo::record {

namespace {

// In-place iterative radix-2 FFT; values.size() must be a power of two.
void fft(std::vector<std::complex<double>>& values) {
    const std::size_t n = values.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(values[i], values[j]);
        }
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const double angle = -2 * std::numbers::pi / static_cast<double>(length);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (std::size_t start = 0; start < n; start += length) {
            std::complex<double> twiddle(1);
            for (std::size_t k = 0; k < length / 2; ++k) {
                const auto even = values[start + k];
                const auto odd = values[start + k + length / 2] * twiddle;
                values[start + k] = even + odd;
                values[start + k + length / 2] = even - odd;
                twiddle *= step;
            }
        }
    }
}

// Looks at up to this many frames from the middle of the file: about 2.7 s at 48 kHz, which
// resolves 0.4 Hz before interpolation.
constexpr std::size_t kLongestWindow = std::size_t{1} << 17;
constexpr std::size_t kShortestWindow = 256;

std::optional<double> dominantFrequency(const DecodedAudio& audio) {
    const std::size_t frames = audio.frames();
    if (frames < kShortestWindow) {
        return std::nullopt;
    }
    std::size_t window = kShortestWindow;
    while (window * 2 <= std::min(frames, kLongestWindow)) {
        window *= 2;
    }
    const std::size_t first = (frames - window) / 2;
    std::vector<std::complex<double>> values(window);
    for (std::size_t i = 0; i < window; ++i) {
        double mix = 0;
        const auto channels = static_cast<std::size_t>(audio.channels);
        for (std::size_t c = 0; c < channels; ++c) {
            const float sample = audio.samples[(first + i) * channels + c];
            mix += std::isfinite(sample) ? sample : 0.0;
        }
        const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) /
                                                 static_cast<double>(window - 1));
        values[i] = mix * hann;
    }
    fft(values);
    std::size_t best = 0;
    double bestMagnitude = 0;
    for (std::size_t k = 1; k < window / 2; ++k) {
        if (std::abs(values[k]) > bestMagnitude) {
            bestMagnitude = std::abs(values[k]);
            best = k;
        }
    }
    if (best == 0 || bestMagnitude == 0) {
        return std::nullopt;
    }
    // A parabola through the peak and its neighbours (in log magnitude) places it between bins.
    double offset = 0;
    if (best + 1 < window / 2) {
        const double left = std::log(std::abs(values[best - 1]) + 1e-300);
        const double middle = std::log(bestMagnitude);
        const double right = std::log(std::abs(values[best + 1]) + 1e-300);
        const double curvature = left - 2 * middle + right;
        if (curvature < 0) {
            offset = 0.5 * (left - right) / curvature;
        }
    }
    return (static_cast<double>(best) + offset) * audio.sampleRate / static_cast<double>(window);
}

}  // namespace

double toDbfs(double amplitude) {
    return amplitude > 0 ? 20 * std::log10(amplitude) : -std::numeric_limits<double>::infinity();
}

void LevelMeter::add(std::span<const float> samples) {
    for (const float sample : samples) {
        if (!std::isfinite(sample)) {
            continue;
        }
        const double magnitude = std::fabs(static_cast<double>(sample));
        peak_ = std::max(peak_, magnitude);
        sumOfSquares_ += magnitude * magnitude;
        ++count_;
    }
}

Levels LevelMeter::take() {
    Levels levels{peak_, count_ == 0 ? 0 : std::sqrt(sumOfSquares_ / static_cast<double>(count_))};
    *this = LevelMeter();
    return levels;
}

Analysis analyze(const DecodedAudio& audio) {
    Analysis analysis;
    if (audio.sampleRate != 0) {
        analysis.seconds = static_cast<double>(audio.frames()) / audio.sampleRate;
    }
    LevelMeter meter;
    meter.add(audio.samples);
    analysis.levels = meter.take();
    analysis.dominantHz = dominantFrequency(audio);
    return analysis;
}

}  // namespace halvo::record
