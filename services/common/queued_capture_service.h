#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "capture/capture_service.h"
#include "services/common/expected.h"
#include "services/common/pcm_chunk.h"

namespace halvo {

// What both services do alike: each request runs on the backend's queue, the service's thread,
// where it may wait for the server, and completes there; a stream is a `Stream` made from the
// backend, the configuration's format, the delegate and the filter's application rule.
//
// `Backend` has a `queue()`. The reads run on that queue, may wait for the server within its
// deadline, and answer what they found or the library's text for why they could not.
template <typename Backend, typename Stream>
class QueuedCaptureService : public CaptureService {
  public:
    using ReadContent = std::function<Expected<ShareableContent>(Backend&)>;
    using ReadPlaying = std::function<Expected<std::vector<PlayingApplication>>(Backend&)>;

    // Any thread; returns at once. Completes on the service thread with what `readContent`
    // answers. The flags change nothing.
    void getShareableContent(bool, bool, ContentCompletion completion) final {
        answerOnQueue(readContent_, std::move(completion));
    }
    // Any thread; returns at once. Completes on the service thread with what `readPlaying`
    // answers.
    void listPlayingApplications(PlayingCompletion completion) final {
        answerOnQueue(readPlaying_, std::move(completion));
    }
    // Any thread. A stream, not started, in the configuration's sample rate and channel count.
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamDelegate> delegate) final {
        return std::make_shared<Stream>(backend_, pcmFormatOf(configuration), std::move(delegate),
                                        filter.applicationRule);
    }

  protected:
    QueuedCaptureService(std::shared_ptr<Backend> backend, ReadContent readContent,
                         ReadPlaying readPlaying)
        : backend_(std::move(backend)),
          readContent_(std::move(readContent)),
          readPlaying_(std::move(readPlaying)) {}

  private:
    template <typename Read, typename Completion>
    void answerOnQueue(const Read& read, Completion completion) {
        backend_->queue().async([backend = backend_, read, completion = std::move(completion)] {
            auto answer = read(*backend);
            if (!answer) {
                completion(std::nullopt, answer.error());
                return;
            }
            completion(std::move(*answer), std::nullopt);
        });
    }

    const std::shared_ptr<Backend> backend_;
    const ReadContent readContent_;
    const ReadPlaying readPlaying_;
};

}  // namespace halvo
