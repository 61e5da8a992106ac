#include "output/audio_output_handler.h"

#include <string>
#include <vector>

#include "app/lines.h"
#include "output/audio_format_text.h"

namespace halvo {

AudioOutputHandler::AudioOutputHandler(platform::FileHandle outputHandle)
    : outputHandle_(outputHandle) {}

void AudioOutputHandler::reportFormatIfFirst(const platform::SampleBuffer& buffer) {
    if (sampleCount_.load(std::memory_order_relaxed) != 0 || !buffer.formatDescription) {
        return;
    }
    const platform::AudioStreamBasicDescription* asbd =
        buffer.formatDescription->streamBasicDescription();
    if (asbd == nullptr) {
        return;
    }
    logErr("Audio format: " + formatSampleRate(asbd->sampleRate) + "Hz, " +
           std::to_string(asbd->channelsPerFrame) + "ch, " + std::to_string(asbd->bitsPerChannel) +
           "bit");
}

void AudioOutputHandler::didOutputSampleBuffer(CaptureStream& /*stream*/,
                                               const platform::SampleBuffer& buffer,
                                               StreamOutputType type) {
    if (!isCapturing_.load()) {
        return;
    }
    if (type != StreamOutputType::audio || buffer.numSamples < 1) {
        return;
    }
    std::lock_guard lock(writeMutex_);
    reportFormatIfFirst(buffer);

    const platform::BlockBuffer* block = buffer.dataBuffer.get();
    if (block == nullptr) {
        return;
    }
    std::size_t lengthAtOffset = 0;
    std::size_t totalLength = 0;
    const std::byte* data = nullptr;
    const platform::OSStatus status = block->dataPointer(0, &lengthAtOffset, &totalLength, &data);
    if (status != platform::kNoErr || data == nullptr || totalLength == 0) {
        return;
    }
    if (lengthAtOffset >= totalLength) {
        outputHandle_.writeAll(std::span(data, totalLength));
    } else {
        // The bytes lie in several runs: gather them so the parent still gets one whole write.
        std::vector<std::byte> gathered(totalLength);
        if (block->copyDataBytes(0, gathered) != platform::kNoErr) {
            return;
        }
        outputHandle_.writeAll(gathered);
    }
    const std::uint64_t total =
        totalBytes_.fetch_add(totalLength, std::memory_order_relaxed) + totalLength;
    const std::uint64_t count = sampleCount_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count % kProgressInterval == 0) {
        logErr("Audio: " + std::to_string(count) + " samples, " +
               std::to_string(wholeKilobytes(total)) + " KB total");
    }
}

void AudioOutputHandler::didStopWithError(CaptureStream& stream, const Error& error) {
    logErr("Stream error: " + error.localizedDescription);
    sendSignal("ERROR:STREAM_STOPPED:" + error.localizedDescription);
    if (streamStoppedObserver_) {
        streamStoppedObserver_(stream);
    }
}

}  // namespace halvo
