#include "services/common/sample_feeder.h"

#include <cstdio>
#include <optional>

#include "logging/lines.h"
#include "platform/thread_check.h"

namespace halvo {

namespace {

[[maybe_unused]] constexpr const char* kOnTheSampleQueue =
    "buffers reach the output as items of its sample queue";

}  // namespace

SampleFeeder::SampleFeeder(PcmFormat format, std::size_t capacityBytes, Report report)
    : format_(format),
      description_(describe(format)),
      report_(std::move(report)),
      pending_(capacityBytes) {}

void SampleFeeder::setOutput(std::weak_ptr<StreamOutput> output,
                             std::shared_ptr<platform::SerialQueue> sampleQueue) {
    std::lock_guard lock(mutex_);
    output_ = std::move(output);
    sampleQueue_ = std::move(sampleQueue);
}

void SampleFeeder::open(std::weak_ptr<CaptureStream> owner) {
    std::lock_guard lock(mutex_);
    owner_ = std::move(owner);
    open_ = true;
}

void SampleFeeder::push(std::vector<std::byte> chunk, CaptureStream& owner) {
    std::lock_guard lock(mutex_);
    if (!open_ || !sampleQueue_) {
        return;
    }
    if (!drainScheduled_ && pending_.empty()) {
        // Delivered under the lock, so that a close() in between cannot overtake the chunk.
        const std::shared_ptr<StreamOutput> output = output_.lock();
        if (output && output->takesWithoutWaiting(chunk.size()) && sampleQueue_->runHereIfIdle([&] {
                HALVO_CHECK_THREAD(sampleQueue_->isCurrent(), kOnTheSampleQueue);
                output->didOutputSampleBuffer(
                    owner, makeSampleBuffer(std::move(chunk), format_, description_),
                    StreamOutputType::audio);
            })) {
            return;
        }
    }
    pending_.push(std::move(chunk));
    if (drainScheduled_) {
        return;  // the running drain picks the chunk up
    }
    drainScheduled_ = true;
    sampleQueue_->async([owner = owner_, this] {
        // `this` lives inside the owner: it is only touched while the owner is held.
        if (auto strongOwner = owner.lock()) {
            drain(*strongOwner);
        }
    });
}

void SampleFeeder::drain(CaptureStream& owner) {
    for (;;) {
        std::optional<PendingAudio::Chunk> chunk;
        std::optional<std::uint64_t> episode;
        std::shared_ptr<StreamOutput> output;
        {
            // Chunks still pending after close() go to the output too: its closed gate drops
            // and accounts for them.
            std::lock_guard lock(mutex_);
            chunk = pending_.pop();
            episode = pending_.takeEndedEpisode();
            output = output_.lock();
            drainScheduled_ = chunk.has_value();
            HALVO_CHECK_THREAD(sampleQueue_->isCurrent(), kOnTheSampleQueue);
        }
        if (episode) {
            report_(dropMessage(*episode, format_));
        }
        if (!chunk) {
            return;
        }
        if (output) {
            output->didOutputSampleBuffer(
                owner, makeSampleBuffer(std::move(*chunk), format_, description_),
                StreamOutputType::audio);
        }
    }
}

void SampleFeeder::close(std::function<void()> then) {
    std::shared_ptr<platform::SerialQueue> queue;
    std::optional<std::uint64_t> episode;
    {
        std::lock_guard lock(mutex_);
        open_ = false;
        episode = pending_.endEpisode();
        queue = sampleQueue_;
    }
    if (episode) {
        report_(dropMessage(*episode, format_));
    }
    if (!then) {
        return;
    }
    if (queue) {
        queue->async(std::move(then));  // behind the drain, which stops at its next chunk
    } else {
        then();
    }
}

std::string SampleFeeder::dropMessage(std::uint64_t bytes, const PcmFormat& format) {
    const double seconds =
        static_cast<double>(bytes) / static_cast<double>(format.bytesPerSecond());
    return "Audio output not read: dropped " + secondsText(seconds, 2) + " s of audio (" +
           std::to_string(bytes) + " bytes, oldest first)";
}

}  // namespace halvo
