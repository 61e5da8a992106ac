#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "capture/capture_service.h"
#include "logging/lines.h"
#include "platform/thread_check.h"
#include "services/common/capture_timeline.h"
#include "services/common/default_output_follower.h"
#include "services/common/expected.h"
#include "services/common/recording_plan.h"
#include "services/common/sample_feeder.h"

namespace halvo {

inline constexpr const char* kStreamNotRunning = "The stream is not running.";

// What every service's stream does alike: it keeps the audio output for its SampleFeeder, runs
// starts and stops on the service's thread, where they may wait for the server, keeps the
// capture's RecordingPlan through them, and answers its DefaultOutputFollower's stops and steps.
// It holds the stream's backend, format, delegate, feeder, plan and timeline. A stream that is
// gone by the time its turn comes answers that it is not running.
//
// `Backend` has a `queue()` (the service's thread) and a `loop()`. `Stream` befriends this class
// and has: a `Lock` that holds that loop's lock for a scope; `Expected<void> start()` (service
// thread, the plan begun: the rest of a start); and, lock held, `void closeRecording()` (lets go
// of everything the recording holds), `void updateAbsence()` (tells the timeline whether the
// server has audio to give) and `void setTimelineTimer(duration)` (CaptureTimeline::SetTimer). It
// implements the rest of DefaultOutputFollower::Recorder.
template <typename Stream, typename Backend>
class QueuedCaptureStream : public CaptureStream,
                            public std::enable_shared_from_this<Stream>,
                            protected DefaultOutputFollower::Recorder {
  public:
    // About ten seconds of audio may wait for an output that does not keep up.
    static constexpr std::size_t kPendingSeconds = 10;

    // Any thread. Keeps an audio output (weakly) and its queue; outputs of other types are
    // accepted and never called. Fails only without a queue.
    std::optional<Error> addStreamOutput(
        std::weak_ptr<StreamOutput> output, StreamOutputType type,
        std::shared_ptr<platform::SerialQueue> sampleQueue) override {
        if (!sampleQueue) {
            return Error{"Invalid argument"};
        }
        if (type == StreamOutputType::audio) {
            feeder_.setOutput(std::move(output), std::move(sampleQueue));
        }
        return std::nullopt;
    }

    // Any thread; returns at once. Completes on the service thread with what the stream's
    // start() answers; a stream starts once.
    void startCapture(CaptureCompletion completion) override {
        backend_->queue().async(
            [weakSelf = this->weak_from_this(), completion = std::move(completion)] {
                auto self = weakSelf.lock();
                completion(self ? self->startOnce().failure() : Error{kStreamNotRunning});
            });
    }

    // Any thread; returns at once. Ends the recording and completes on the service thread
    // after the buffer the output may be writing; with an error unless the stream was running.
    void stopCapture(CaptureCompletion completion) override {
        backend_->queue().async([weakSelf = this->weak_from_this(), backend = backend_,
                                 completion = std::move(completion)] {
            auto self = weakSelf.lock();
            if (!self) {
                completion(Error{kStreamNotRunning});
                return;
            }
            std::optional<Error> outcome = self->stopRecording().failure();
            // The completion waits for the buffer the output may be writing, so the totals the
            // controller reports count every byte written.
            self->feeder_.close([backend, outcome, completion] {
                backend->queue().async([outcome, completion] { completion(outcome); });
            });
        });
    }

  protected:
    // `format`: what the output gets (mono).
    QueuedCaptureStream(std::shared_ptr<Backend> backend, const PcmFormat& format,
                        std::weak_ptr<StreamDelegate> delegate)
        : backend_(std::move(backend)),
          format_(format),
          delegate_(std::move(delegate)),
          feeder_(format, kPendingSeconds * format.bytesPerSecond(),
                  [backend = backend_](const std::string& message) {
                      backend->queue().async([message] { logErr(message); });
                  }),
          timeline_(
              format, feeder_, *this,
              [this](CaptureTimeline::Clock::duration timeout) {
                  stream().setTimelineTimer(timeout);
              },
              [this](std::string message) { log(std::move(message)); }) {}

    // Service thread, lock held: undoes a start that failed, and answers `error`.
    Expected<void> failStart(Error error) {
        plan_.startFailed();
        stream().closeRecording();
        feeder_.close();
        return error;
    }

    // Any thread: a diagnostic line, logged on the service's thread.
    void log(std::string message) {
        backend_->queue().async([message = std::move(message)] { logErr(message); });
    }

    // Any thread: tells the delegate, on the service's thread, that the service stopped the
    // capture; nothing once the stream is gone.
    void reportStoppedBySystem(const std::string& description) {
        backend_->queue().async(
            [weakSelf = this->weak_from_this(), delegate = delegate_, description] {
                auto self = weakSelf.lock();
                if (!self) {
                    return;
                }
                if (auto strongDelegate = delegate.lock()) {
                    strongDelegate->didStopWithError(*self, Error{description});
                }
            });
    }

    const std::shared_ptr<Backend> backend_;
    const PcmFormat format_;  // what the output gets: mono, whatever the source's channels
    const std::weak_ptr<StreamDelegate> delegate_;
    SampleFeeder feeder_;
    // Guarded by the loop's lock.
    RecordingPlan plan_;
    CaptureTimeline timeline_;  // from the start's success to the recording's end

  private:
    Stream& stream() { return static_cast<Stream&>(*this); }

    // DefaultOutputFollower::Recorder's contracts.
    void stoppedBySystem(const std::string& description) final {
        stream().closeRecording();
        reportStoppedBySystem(description);
    }
    void stepTaken() final { stream().updateAbsence(); }

    Expected<void> startOnce() {
        HALVO_CHECK_THREAD(backend_->queue().isCurrent(), "starts run on the service thread");
        {
            typename Stream::Lock lock(backend_->loop());
            if (!plan_.beginStart()) {
                return Error{"The stream has already been started."};
            }
        }
        return stream().start();
    }

    Expected<void> stopRecording() {
        HALVO_CHECK_THREAD(backend_->queue().isCurrent(), "stops run on the service thread");
        typename Stream::Lock lock(backend_->loop());
        const bool wasRunning = plan_.requestStop();
        stream().closeRecording();
        if (!wasRunning) {
            return Error{kStreamNotRunning};
        }
        return {};
    }
};

}  // namespace halvo
