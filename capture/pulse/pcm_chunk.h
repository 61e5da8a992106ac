#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sample_buffer.h"

namespace halvo::pulse {

// Interleaved 32-bit float samples, little-endian, as the service records them.
struct PcmFormat {
    std::uint32_t sampleRate = 48000;
    std::uint32_t channels = 1;

    std::size_t bytesPerFrame() const { return std::size_t{4} * channels; }
    std::size_t bytesPerSecond() const { return bytesPerFrame() * sampleRate; }
};

// The bytes of one recorded chunk. A hole (`data` null) becomes as many bytes of silence, so
// the byte count keeps time.
std::vector<std::byte> recordedChunk(const void* data, std::size_t length);

// The format description every buffer of a stream in `format` shares.
std::shared_ptr<const platform::FormatDescription> describe(const PcmFormat& format);

// One delivery: the chunk's frames, with `description`, in a contiguous block buffer.
platform::SampleBuffer makeSampleBuffer(
    std::vector<std::byte> chunk, const PcmFormat& format,
    std::shared_ptr<const platform::FormatDescription> description);

}  // namespace halvo::pulse
