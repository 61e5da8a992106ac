#pragma once

// The one pure tone the tests and benchmarks play, and what they find in a recording of it.
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace halvo::testing {

// `frames` frames of a sine at 48 kHz, from frame `first` on, the same in each of `channels`
// interleaved channels.
std::vector<float> sine(double frequency, double amplitude, std::size_t frames, int channels = 1,
                        std::size_t first = 0);
// The same as the float32 bytes a player or the helper writes.
std::string_view bytesOf(const std::vector<float>& samples);
// Float32 bytes (whole samples only) as samples.
std::vector<float> samplesOf(std::string_view bytes);

// The first sample louder than any silence.
std::optional<std::size_t> firstLoud(std::span<const float> samples, float threshold = 0.05f);
// From the rising zero crossings, interpolated between samples; 0 without two of them.
double frequencyOf(std::span<const float> samples);
// The peak of a sine with the samples' power.
double amplitudeOf(std::span<const float> samples);
// The peak of the part of the samples that is a sine of `frequency` (one bin of a Hann-windowed
// DFT): tells tones apart in a mix, when they lie more than a few bins apart.
double amplitudeAt(std::span<const float> samples, double frequency);

// Breaks less than kDisturbanceGap apart are one disturbance: a held-up PipeWire puts whole
// quanta of silence into each record stream and drops others, each stream on its own, so two
// recorders of one hold-up differ in their breaks but not in their disturbances.
inline constexpr std::size_t kDisturbanceGap = 48000 / 4;
// Silence a server puts in comes in whole quanta: PipeWire's are multiples of 32 frames.
inline constexpr std::size_t kLeastQuantum = 32;

// Whether a recording of a sine of `frequency` runs on unbroken from its first loud sample to
// its end. Each sample of a sine is 2 cos(w) times the one before minus the one before that: a
// residual of more than 1 % of the peak marks a break (audio cut out or silence put in), and a
// run of zeros is silence that no sine holds.
struct Continuity {
    std::size_t samples = 0;          // looked at, from the first loud one
    std::vector<std::size_t> breaks;  // where, counted from the first loud sample
    std::size_t disturbances = 0;     // runs of breaks, each less than kDisturbanceGap apart
    std::size_t longestZeros = 0;     // the longest run of exact zeros, in samples
    std::size_t oddSilences = 0;      // runs of zeros no whole number of kLeastQuantum long
};
// The first `settle` samples after the first loud one are not judged: a server may glitch as a
// stream starts (PipeWire does, for the reference recorder too).
Continuity continuityOf(std::span<const float> samples, double frequency, std::size_t settle = 0);

// How far a recording of a sine of `frequency` strays from the clock of its own samples, from
// sample `from` on: the phase of each stretch of about 50 ms that holds no silence, less the
// first one's, in radians (0 to pi; one sample is 0.13 at 997 Hz). Silence that stands in for
// lost time of exactly its length leaves it at 0; audio lost, or silence of another length,
// moves every stretch after it.
double largestPhaseSlip(std::span<const float> samples, double frequency, std::size_t from = 0);

}  // namespace halvo::testing
