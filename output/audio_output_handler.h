#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "capture/capture_service.h"
#include "platform/file_handle.h"
#include "platform/interrupt_flag.h"

namespace halvo {

// The receiving end of every capture stream: writes the audio bytes of each buffer to the
// output while the gate is open, counts them, reports the format before the first buffer ever
// written and progress every 200 buffers, and reports a stream that the service stopped.
//
// A write waits for the parent to take the bytes, but not past the closing of the gate: once
// the gate is closed and the output would make it wait, the write gives up between two whole
// frames, so a stop never waits for a parent that does not read. Bytes are counted once
// written, and only those.
class AudioOutputHandler : public StreamOutput, public StreamDelegate {
  public:
    explicit AudioOutputHandler(
        platform::FileHandle outputHandle = platform::FileHandle::standardOutput());

    // Sample queue. Writes the buffer's bytes; see the class comment for how long it may block.
    void didOutputSampleBuffer(CaptureStream& stream, const platform::SampleBuffer& buffer,
                               StreamOutputType type) override;

    // Any thread. True once the format line is out, while the gate is closed (the buffer is
    // only counted) or while the output is a pipe with room for the bytes.
    bool takesWithoutWaiting(std::size_t bytes) const override;

    // Service thread. Tells the parent (two lines), then the observer; changes nothing here.
    void didStopWithError(CaptureStream& stream, const Error& error) override;

    // Learns which stream the service stopped. Set once, before any stream exists.
    void setStreamStoppedObserver(std::function<void(CaptureStream&)> observer) {
        streamStoppedObserver_ = std::move(observer);
    }
    // Learns that the output refused audio (a full disk, a bad descriptor, a reader gone while
    // SIGPIPE is ignored), once per opening of the gate, on the sample queue, right after the
    // line that reports it. Must not block. Set once, before any stream exists.
    void setOutputFailedObserver(std::function<void()> observer) {
        outputFailedObserver_ = std::move(observer);
    }

    // Any thread. Closing the gate also wakes a write that waits for the parent. Opening it
    // forgets what earlier closed-gate drops and output failures were.
    void setCapturing(bool open);
    bool isCapturing() const { return isCapturing_.load(); }
    std::uint64_t totalBytes() const { return totalBytes_.load(); }
    std::uint64_t sampleCount() const { return sampleCount_.load(); }

    // Any thread. The audio the gate kept from the output since it closed (buffers that met
    // it closed, and the unwritten rest of the buffer it closed on), as a line for the parent,
    // or nothing when there was none; the count starts again from zero.
    std::optional<std::string> takeUnwrittenReport();

    static constexpr std::uint64_t kProgressInterval = 200;
    // How long the first audio waits for the format line to reach standard error.
    static constexpr std::chrono::milliseconds kFormatLineWait{1000};

  private:
    void reportFormatIfFirst(const platform::SampleBuffer& buffer);
    void write(std::span<const std::byte> bytes, const platform::SampleBuffer& buffer);
    void outputFailed(int error);

    const platform::FileHandle outputHandle_;
    const std::size_t pipeAtomicBytes_;   // 0 unless the output is a pipe
    platform::InterruptFlag gateClosed_;  // raised while the gate is closed
    std::atomic<bool> isCapturing_{false};
    std::atomic<std::uint64_t> totalBytes_{0};
    std::atomic<std::uint64_t> sampleCount_{0};
    std::atomic<std::uint64_t> unwrittenBytes_{0};
    std::atomic<double> unwrittenBytesPerSecond_{0};  // of the last buffer counted as unwritten
    std::atomic<bool> failureReported_{false};
    // Serialises writes and counting. Normally one sample queue feeds the handler, but a stopped
    // stream may still be finishing its last buffer on its queue while a new stream's queue
    // starts: their bytes must not interleave and the counters must match the bytes.
    std::mutex writeMutex_;
    std::function<void(CaptureStream&)> streamStoppedObserver_;
    std::function<void()> outputFailedObserver_;
};

}  // namespace halvo
