#pragma once

#include <memory>
#include <mutex>

#include "capture/capture_service.h"
#include "output/audio_output_handler.h"

namespace halvo {

// Owns the one capture stream of the process and starts and stops it. At most one stream feeds
// the handler: a start while another start is pending or a stream is running is refused with a
// diagnostic line, and a start while a stop is under way waits for that stop to finish, so the
// parent's signals come in the order of its commands. Outcomes reach the parent only as lines
// on standard error.
class SystemAudioCapture : public std::enable_shared_from_this<SystemAudioCapture> {
  public:
    // The service is borrowed and must outlive every stream it makes. Audio goes to `output`.
    static std::shared_ptr<SystemAudioCapture> create(
        CaptureService& service,
        platform::FileHandle output = platform::FileHandle::standardOutput());

    // All three callable from any thread; all return at once.
    void start();
    void stop();
    // Stops for good, on the way out of the process: no start begins or completes afterwards.
    void shutDown();

    const std::shared_ptr<AudioOutputHandler>& handler() const { return handler_; }
    std::shared_ptr<CaptureStream> stream() const;

    static constexpr std::int64_t kSampleRate = 48000;
    static constexpr std::int64_t kChannelCount = 1;

  private:
    SystemAudioCapture(CaptureService& service, platform::FileHandle output);

    void contentArrived(std::optional<ShareableContent> content, std::optional<Error> error);
    void startFinished(const std::shared_ptr<CaptureStream>& newStream, std::optional<Error> error);
    void stopFinished(const std::shared_ptr<CaptureStream>& stoppedStream,
                      std::optional<Error> error);
    void streamStoppedBySystem(CaptureStream& stopped);
    void requestContent();
    void endPendingStart();

    CaptureService& service_;
    const std::shared_ptr<AudioOutputHandler> handler_;

    mutable std::mutex mutex_;  // guards every field below
    std::shared_ptr<CaptureStream> stream_;
    // From start() until its start completes or fails.
    bool startPending_ = false;
    // The pending start waits for the stops in flight to complete before it begins.
    bool startAfterStop_ = false;
    // Stops asked of a stream whose completion has not run yet.
    int stopsInFlight_ = 0;
    // stream_ was started and has been neither asked to stop nor stopped by the service.
    bool streamRunning_ = false;
    bool shutDown_ = false;
};

}  // namespace halvo
