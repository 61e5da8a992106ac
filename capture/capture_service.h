#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "capture/error.h"
#include "capture/shareable_content.h"
#include "platform/dispatch.h"
#include "platform/sample_buffer.h"

namespace halvo {

class CaptureStream;

// The kinds of output a stream can deliver. Values outside the named ones can arrive too and
// must be ignored by whoever does not know them.
enum class StreamOutputType : std::int64_t { screen = 0, audio = 1, microphone = 2 };

// Receives a stream's buffers.
class StreamOutput {
  public:
    virtual ~StreamOutput() = default;
    // Called on the sample queue given with the output, one buffer at a time, in capture order.
    // The stream and buffer are borrowed for the call. Returns quickly; it may block only on the
    // destination of the bytes.
    virtual void didOutputSampleBuffer(CaptureStream& stream, const platform::SampleBuffer& buffer,
                                       StreamOutputType type) = 0;

    // Any thread, quickly, without blocking. True when a buffer of `bytes` bytes handed over now
    // would be dealt with at once, waiting for no one (the parent, another writer). A service may
    // then deliver it from its own thread, as an item of the sample queue run in place
    // (SerialQueue::runHereIfIdle), which spares the queue's thread a wake-up.
    virtual bool takesWithoutWaiting(std::size_t /*bytes*/) const { return false; }
};

// Learns when the service ends a stream on its own.
class StreamDelegate {
  public:
    virtual ~StreamDelegate() = default;
    // Called at most once per stream, on a service thread, when the service stopped the stream by
    // itself. Borrowed arguments; must not block.
    virtual void didStopWithError(CaptureStream& stream, const Error& error) = 0;
};

using ContentCompletion =
    std::function<void(std::optional<ShareableContent> content, std::optional<Error> error)>;
using PlayingCompletion = std::function<void(std::optional<std::vector<PlayingApplication>> playing,
                                             std::optional<Error> error)>;
using CaptureCompletion = std::function<void(std::optional<Error> error)>;

// A capture stream made by a service. Every completion is called exactly once, later, on a
// service thread, never inside the call that was given it. Releasing the last reference ends
// all delivery: no output or delegate call starts after the stream is gone.
class CaptureStream {
  public:
    virtual ~CaptureStream() = default;

    // Registers `output` for buffers of `type`, delivered on `sampleQueue`. The stream holds the
    // output weakly and the queue strongly. Returns the error when the registration fails.
    virtual std::optional<Error> addStreamOutput(
        std::weak_ptr<StreamOutput> output, StreamOutputType type,
        std::shared_ptr<platform::SerialQueue> sampleQueue) = 0;

    // Asks the service to start delivery; `completion` learns whether it did.
    virtual void startCapture(CaptureCompletion completion) = 0;

    // Asks the service to stop delivery; buffers not yet handed to the output are dropped.
    // Stopping a stream that is not running completes with an error.
    virtual void stopCapture(CaptureCompletion completion) = 0;
};

// A system's capture service: what can be captured, and streams that capture it.
class CaptureService {
  public:
    virtual ~CaptureService() = default;

    // Asks for the shareable content. The completion gets content, an error, both or neither.
    virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                     ContentCompletion completion) = 0;

    // Any thread; returns at once. Asks who plays on the default output now: one entry per playback
    // stream, in the service's order (an application with several streams comes several times).
    // The completion runs exactly once, later, on a service thread, with the list (possibly
    // empty) or the error that kept the service from reading it (no server: the same error as a
    // content query's). The completion owns what it is given; the service waits for the server
    // with a deadline, never on the caller's thread.
    virtual void listPlayingApplications(PlayingCompletion completion) = 0;

    // Makes a stream, not yet started. The stream holds the delegate weakly.
    virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                      const StreamConfiguration& configuration,
                                                      std::weak_ptr<StreamDelegate> delegate) = 0;
};

}  // namespace halvo
