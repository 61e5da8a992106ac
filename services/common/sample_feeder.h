#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/capture_service.h"
#include "services/common/pcm_chunk.h"
#include "services/common/pending_audio.h"

namespace halvo {

// Hands a stream's recorded chunks to its output on the sample queue: one buffer at a time, in
// capture order, without ever making the recording thread wait. While the output is busy (its
// write blocks when the parent does not read) the chunks wait in a PendingAudio; beyond its
// capacity the oldest are dropped and each episode is reported once.
//
// Owned by the stream it feeds (the owner): deliveries hold the owner weakly and skip
// everything once it is gone, so no output call starts after the stream was released.
class SampleFeeder {
  public:
    // Called with one diagnostic message per drop episode, on the sample queue or on the thread
    // that closes the feeder. Must not block for long.
    using Report = std::function<void(const std::string& message)>;

    SampleFeeder(PcmFormat format, std::size_t capacityBytes, Report report);
    SampleFeeder(const SampleFeeder&) = delete;
    SampleFeeder& operator=(const SampleFeeder&) = delete;

    // Any thread. The output is held weakly and the queue strongly.
    void setOutput(std::weak_ptr<StreamOutput> output,
                   std::shared_ptr<platform::SerialQueue> sampleQueue);
    // Any thread. Starts accepting chunks; `owner` is the stream the output is told about.
    void open(std::weak_ptr<CaptureStream> owner);
    // Any thread, quickly. Ignored unless open and an output queue is registered.
    //
    // Called by `owner` itself, which is alive for the call. When nothing waits before the chunk
    // and the output says it deals with it at once, the chunk is delivered here, on the calling
    // thread, as an item of the sample queue run in place: one thread wake-up less per chunk.
    void push(std::vector<std::byte> chunk, CaptureStream& owner);
    // Any thread. Stops accepting and reports a drop episode under way. What is pending is still
    // handed to the output (whose gate is closed by then when capture stops, so it drops and
    // counts it). `then` (optional) runs on the sample queue once that is done, or at once on
    // this thread when no queue is registered.
    void close(std::function<void()> then = {});

    // The message reported for an episode that dropped `bytes`.
    static std::string dropMessage(std::uint64_t bytes, const PcmFormat& format);

  private:
    void drain(CaptureStream& owner);

    const PcmFormat format_;
    const std::shared_ptr<const platform::FormatDescription> description_;
    const Report report_;

    std::mutex mutex_;  // guards everything below
    std::weak_ptr<StreamOutput> output_;
    std::shared_ptr<platform::SerialQueue> sampleQueue_;
    std::weak_ptr<CaptureStream> owner_;
    PendingAudio pending_;
    bool open_ = false;
    bool drainScheduled_ = false;  // a drain is queued or running on the sample queue
};

}  // namespace halvo
