#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "capture/capture_service.h"
#include "platform/file_handle.h"

namespace halvo {

// The receiving end of every capture stream: writes the audio bytes of each buffer to the
// output while the gate is open, counts them, reports the format before the first buffer ever
// written and progress every 200 buffers, and reports a stream that the service stopped.
class AudioOutputHandler : public StreamOutput, public StreamDelegate {
  public:
    explicit AudioOutputHandler(
        platform::FileHandle outputHandle = platform::FileHandle::standardOutput());

    // Sample queue. Writes the buffer's bytes in one write that blocks until they are all out.
    void didOutputSampleBuffer(CaptureStream& stream, const platform::SampleBuffer& buffer,
                               StreamOutputType type) override;

    // Service thread. Tells the parent (two lines), then the observer; changes nothing here.
    void didStopWithError(CaptureStream& stream, const Error& error) override;

    // Learns which stream the service stopped. Set once, before any stream exists.
    void setStreamStoppedObserver(std::function<void(CaptureStream&)> observer) {
        streamStoppedObserver_ = std::move(observer);
    }

    void setCapturing(bool open) { isCapturing_.store(open); }
    bool isCapturing() const { return isCapturing_.load(); }
    std::uint64_t totalBytes() const { return totalBytes_.load(); }
    std::uint64_t sampleCount() const { return sampleCount_.load(); }

    static constexpr std::uint64_t kProgressInterval = 200;

  private:
    void reportFormatIfFirst(const platform::SampleBuffer& buffer);

    const platform::FileHandle outputHandle_;
    std::atomic<bool> isCapturing_{false};
    std::atomic<std::uint64_t> totalBytes_{0};
    std::atomic<std::uint64_t> sampleCount_{0};
    // Serialises writes and counting. Normally one sample queue feeds the handler, but a stopped
    // stream may still be finishing its last buffer on its queue while a new stream's queue
    // starts: their bytes must not interleave and the counters must match the bytes.
    std::mutex writeMutex_;
    std::function<void(CaptureStream&)> streamStoppedObserver_;
};

}  // namespace halvo
