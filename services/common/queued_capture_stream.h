#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "capture/capture_service.h"
#include "logging/lines.h"
#include "platform/thread_check.h"
#include "services/common/expected.h"
#include "services/common/recording_plan.h"

namespace halvo {

inline constexpr const char* kStreamNotRunning = "The stream is not running.";

// What every service's stream does alike: it keeps the audio output for its SampleFeeder, runs
// starts and stops on the service's thread, where they may wait for the server, and keeps the
// capture's RecordingPlan through them. A stream that is gone by the time its turn comes answers
// that it is not running.
//
// `Stream` befriends this class and has: a `backend_` (shared, with a `queue()`, the service's
// thread, and a `loop()`), a `Lock` that holds that loop's lock for a scope, a `feeder_`, a
// `delegate_`, `Expected<void> start()` (service thread, the plan begun: the rest of a start),
// and `void closeRecording()` (lock held: lets go of everything the recording holds).
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
    // start() answers; a stream starts once.
    void startCapture(CaptureCompletion completion) override {
        stream().backend_->queue().async(
            [weakSelf = this->weak_from_this(), completion = std::move(completion)] {
                auto self = weakSelf.lock();
                completion(self ? self->startOnce().failure() : Error{kStreamNotRunning});
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
                std::optional<Error> outcome = self->stopRecording().failure();
                // The completion waits for the buffer the output may be writing, so the totals
                // the controller reports count every byte written.
                self->feeder_.close([backend, outcome, completion] {
                    backend->queue().async([outcome, completion] { completion(outcome); });
                });
            });
    }

  protected:
    // Service thread, lock held: undoes a start that failed, and answers `error`.
    Expected<void> failStart(Error error) {
        plan_.startFailed();
        stream().closeRecording();
        stream().feeder_.close();
        return error;
    }

    // Any thread: a diagnostic line, logged on the service's thread.
    void log(std::string message) {
        stream().backend_->queue().async([message = std::move(message)] { logErr(message); });
    }

    // Any thread: tells the delegate, on the service's thread, that the service stopped the
    // capture; nothing once the stream is gone.
    void reportStoppedBySystem(const std::string& description) {
        stream().backend_->queue().async(
            [weakSelf = this->weak_from_this(), delegate = stream().delegate_, description] {
                auto self = weakSelf.lock();
                if (!self) {
                    return;
                }
                if (auto strongDelegate = delegate.lock()) {
                    strongDelegate->didStopWithError(*self, Error{description});
                }
            });
    }

    RecordingPlan plan_;  // guarded by the loop's lock

  private:
    Stream& stream() { return static_cast<Stream&>(*this); }

    Expected<void> startOnce() {
        HALVO_CHECK_THREAD(stream().backend_->queue().isCurrent(),
                           "starts run on the service thread");
        {
            typename Stream::Lock lock(stream().backend_->loop());
            if (!plan_.beginStart()) {
                return Error{"The stream has already been started."};
            }
        }
        return stream().start();
    }

    Expected<void> stopRecording() {
        HALVO_CHECK_THREAD(stream().backend_->queue().isCurrent(),
                           "stops run on the service thread");
        typename Stream::Lock lock(stream().backend_->loop());
        const bool wasRunning = plan_.requestStop();
        stream().closeRecording();
        if (!wasRunning) {
            return Error{kStreamNotRunning};
        }
        return {};
    }
};

}  // namespace halvo
