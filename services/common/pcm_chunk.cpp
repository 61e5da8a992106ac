#include "services/common/pcm_chunk.h"

#include <bit>
#include <cstring>
#include <limits>

namespace halvo {

static_assert(std::endian::native == std::endian::little, "samples are float32le");

namespace {

std::uint32_t narrowed(std::int64_t value, std::int64_t limit) {
    return value > 0 && value <= limit ? static_cast<std::uint32_t>(value) : 0;
}

}  // namespace

PcmFormat pcmFormatOf(const StreamConfiguration& configuration) {
    PcmFormat format;
    format.sampleRate =
        narrowed(configuration.sampleRate, std::numeric_limits<std::uint32_t>::max());
    format.channels =
        narrowed(configuration.channelCount, std::numeric_limits<std::uint8_t>::max());
    return format;
}

std::vector<float> monoFrames(const void* data, std::size_t frames, std::uint32_t channels) {
    std::vector<float> mono(frames, 0.0f);  // a hole is silence
    if (data == nullptr) {
        return mono;
    }
    const auto* in = static_cast<const std::byte*>(data);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        float sum = 0;
        for (std::uint32_t channel = 0; channel < channels; ++channel) {
            float sample = 0;
            std::memcpy(&sample, in, sizeof sample);  // libpulse's buffers need not be aligned
            in += sizeof sample;
            sum += sample;
        }
        mono[frame] = sum / static_cast<float>(channels);
    }
    return mono;
}

std::vector<std::byte> monoChunk(const void* data, std::size_t frames, std::uint32_t channels) {
    std::vector<std::byte> chunk(frames * sizeof(float));  // zero bytes are silence in floats
    if (data == nullptr || frames == 0) {
        return chunk;
    }
    if (channels <= 1) {
        std::memcpy(chunk.data(), data, chunk.size());
        return chunk;
    }
    const std::vector<float> mono = monoFrames(data, frames, channels);
    std::memcpy(chunk.data(), mono.data(), chunk.size());
    return chunk;
}

std::shared_ptr<const platform::FormatDescription> describe(const PcmFormat& format) {
    const auto bytesPerFrame = static_cast<std::uint32_t>(format.bytesPerFrame());
    return std::make_shared<const platform::FormatDescription>(
        platform::AudioStreamBasicDescription{
            static_cast<double>(format.sampleRate), platform::kAudioFormatLinearPCM,
            platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked, bytesPerFrame,
            1, bytesPerFrame, format.channels, 32});
}

platform::SampleBuffer makeSampleBuffer(
    std::vector<std::byte> chunk, const PcmFormat& format,
    std::shared_ptr<const platform::FormatDescription> description) {
    platform::SampleBuffer buffer;
    const std::size_t bytesPerFrame = format.bytesPerFrame();
    buffer.numSamples =
        static_cast<std::int64_t>(bytesPerFrame > 0 ? chunk.size() / bytesPerFrame : 0);
    buffer.formatDescription = std::move(description);
    buffer.dataBuffer = platform::BlockBuffer::contiguous(std::move(chunk));
    return buffer;
}

}  // namespace halvo
