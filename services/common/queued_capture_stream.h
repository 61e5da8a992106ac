#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "capture/capture_service.h"

namespace halvo {

inline constexpr const char* kStreamNotRunning = "The stream is not running.";

// What every service's stream does alike: it keeps the audio output for its SampleFeeder, and
// runs starts and stops on the service's thread, where they may wait for the server. A stream
// that is gone by the time its turn comes answers that it is not running.
//
// `Stream` has a `backend_` (shared, with a `queue()`: the service's thread), a `feeder_`, and
// `Expected<void> start()` and `stop()`, which run on that thread; it befriends this class.
template <typename Stream>
class QueuedCaptureStream : public CaptureStream, public std::enable_shared_from_this<Stream> {
  public:
    // Any thread. Keeps an audio output (weakly) and its queue; outputs of other types are
    // accepted and never called. Fails only without a queue.
    std::optional<Error> addStreamOutput(
        std::weak_ptr<StreamOutput> output, StreamOutputType type,
        std::shared_ptr<platform::SerialQueue> sampleQueue) override {
        if (!sampleQueue) {
            return Error{"Invalid argument"};
        }
        if (type == StreamOutputType::audio) {
            stream().feeder_.setOutput(std::move(output), std::move(sampleQueue));
        }
        return std::nullopt;
    }

    // Any thread; returns at once. Completes on the service thread with what the stream's
    // start() answers.
    void startCapture(CaptureCompletion completion) override {
        stream().backend_->queue().async(
            [weakSelf = this->weak_from_this(), completion = std::move(completion)] {
                auto self = weakSelf.lock();
                completion(self ? self->start().failure() : Error{kStreamNotRunning});
            });
    }

    // Any thread; returns at once. Ends the recording and completes on the service thread
    // after the buffer the output may be writing; with an error unless the stream was running.
    void stopCapture(CaptureCompletion completion) override {
        auto backend = stream().backend_;
        backend->queue().async(
            [weakSelf = this->weak_from_this(), backend, completion = std::move(completion)] {
                auto self = weakSelf.lock();
                if (!self) {
                    completion(Error{kStreamNotRunning});
                    return;
                }
                std::optional<Error> outcome = self->stop().failure();
                // The completion waits for the buffer the output may be writing, so the totals
                // the controller reports count every byte written.
                self->feeder_.close([backend, outcome, completion] {
                    backend->queue().async([outcome, completion] { completion(outcome); });
                });
            });
    }

  private:
    Stream& stream() { return static_cast<Stream&>(*this); }
};

}  // namespace halvo
