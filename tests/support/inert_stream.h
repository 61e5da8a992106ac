#pragma once

#include "capture/capture_service.h"

namespace halvo::testing {

// Enough of a stream to hand buffers to an output, which only passes the stream along: nothing
// of it is ever called.
class InertStream : public CaptureStream {
  public:
    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput>, StreamOutputType,
                                         std::shared_ptr<platform::SerialQueue>) override {
        return std::nullopt;
    }
    void startCapture(CaptureCompletion) override {}
    void stopCapture(CaptureCompletion) override {}
};

// `bytes` bytes of 48 kHz mono float audio, all of them 'p'.
inline platform::SampleBuffer audioOf(std::size_t bytes) {
    platform::SampleBuffer buffer;
    buffer.numSamples = static_cast<std::int64_t>(bytes / 4);
    platform::AudioStreamBasicDescription asbd;
    asbd.sampleRate = 48000;
    asbd.channelsPerFrame = 1;
    asbd.bitsPerChannel = 32;
    buffer.formatDescription = std::make_shared<const platform::FormatDescription>(asbd);
    buffer.dataBuffer =
        platform::BlockBuffer::contiguous(std::vector<std::byte>(bytes, std::byte{'p'}));
    return buffer;
}

}  // namespace halvo::testing
