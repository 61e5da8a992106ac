#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/shareable_content.h"
#include "platform/sample_buffer.h"

namespace halvo {

// Interleaved 32-bit float samples, little-endian, as the service records them.
struct PcmFormat {
    std::uint32_t sampleRate = 48000;
    std::uint32_t channels = 1;

    std::size_t bytesPerFrame() const { return std::size_t{4} * channels; }
    std::size_t bytesPerSecond() const { return bytesPerFrame() * sampleRate; }
};

// The rate and channels a stream is configured for; an out-of-range value becomes 0, which the
// stream rejects when it starts.
PcmFormat pcmFormatOf(const StreamConfiguration& configuration);

// `frames` recorded frames of `channels` interleaved 32-bit float samples, as mono: each frame
// the average of its channels, as PulseAudio mixes channels down, so a signal within ±1.0 on
// every channel stays within ±1.0 and nothing is clamped. One channel is copied bit for bit. A
// hole (`data` null) becomes as many frames of silence, so the byte count keeps time.
std::vector<std::byte> monoChunk(const void* data, std::size_t frames, std::uint32_t channels);

// The same average as floats.
std::vector<float> monoFrames(const void* data, std::size_t frames, std::uint32_t channels);

// The format description every buffer of a stream in `format` shares.
std::shared_ptr<const platform::FormatDescription> describe(const PcmFormat& format);

// One delivery: the chunk's frames, with `description`, in a contiguous block buffer.
platform::SampleBuffer makeSampleBuffer(
    std::vector<std::byte> chunk, const PcmFormat& format,
    std::shared_ptr<const platform::FormatDescription> description);

}  // namespace halvo
