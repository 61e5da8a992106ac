#include "capture/pulse/pcm_chunk.h"

#include <cstring>

namespace halvo::pulse {

std::vector<std::byte> recordedChunk(const void* data, std::size_t length) {
    std::vector<std::byte> chunk(length);  // zero bytes are silence in float samples
    if (data != nullptr && length > 0) {
        std::memcpy(chunk.data(), data, length);
    }
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

}  // namespace halvo::pulse
