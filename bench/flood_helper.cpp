// The helper over a stub service that hands its output 64 KiB buffers as fast as the output
// takes them: the sink path alone, for the benchmark against cat. Built with the benchmark,
// never installed.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "app/helper_main.h"
#include "platform/process.h"

namespace halvo::bench {
namespace {

// The service and its one stream at once; every completion runs on its thread.
class FloodService : public CaptureService, public CaptureStream {
  public:
    void getShareableContent(bool, bool, ContentCompletion completion) override {
        thread_.async([completion] {
            completion(ShareableContent{{Display{1, 2, 2}}, {}, {}}, {});
        });
    }
    void listPlayingApplications(PlayingCompletion completion) override {
        thread_.async([completion] { completion(std::vector<PlayingApplication>{}, {}); });
    }
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                              std::weak_ptr<StreamDelegate>) override {
        return std::shared_ptr<CaptureStream>(this, [](CaptureStream*) {});
    }
    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType,
                                         std::shared_ptr<platform::SerialQueue> queue) override {
        std::lock_guard lock(mutex_);
        output_ = std::move(output);
        queue_ = std::move(queue);
        return std::nullopt;
    }
    void startCapture(CaptureCompletion completion) override {
        running_ = true;
        thread_.async([this, completion] {
            completion(std::nullopt);
            flood();
        });
    }
    void stopCapture(CaptureCompletion completion) override {
        running_ = false;
        thread_.async([completion] { completion(std::nullopt); });
    }

  private:
    // Service thread, until the stream stops: keeps four buffers waiting on the sample queue.
    void flood() {
        static const platform::SampleBuffer buffer = [] {
            platform::AudioStreamBasicDescription asbd;
            asbd.sampleRate = 48000;
            asbd.channelsPerFrame = 1;
            asbd.bitsPerChannel = 32;
            return platform::SampleBuffer{
                65536 / 4, std::make_shared<const platform::FormatDescription>(asbd),
                platform::BlockBuffer::contiguous(std::vector<std::byte>(65536, std::byte{1}))};
        }();
        std::unique_lock lock(mutex_);
        while (running_) {
            if (inFlight_ == 4) {
                handedOver_.wait(lock);
                continue;
            }
            ++inFlight_;
            queue_->async([this, output = output_] {
                if (auto alive = output.lock()) {
                    alive->didOutputSampleBuffer(*this, buffer, StreamOutputType::audio);
                }
                std::lock_guard done(mutex_);
                --inFlight_;
                handedOver_.notify_one();
            });
        }
    }

    std::atomic<bool> running_{false};
    std::mutex mutex_;  // guards the fields below
    std::condition_variable handedOver_;
    std::weak_ptr<StreamOutput> output_;
    std::shared_ptr<platform::SerialQueue> queue_;
    int inFlight_ = 0;
    platform::SerialQueue thread_{"flood.service", platform::QualityOfService::userInitiated};
};

}  // namespace
}  // namespace halvo::bench

int main(int argc, char** argv) {
    halvo::platform::reserveStandardDescriptors();
    halvo::blockStopSignals();
    const halvo::CommandLineOptions options = halvo::commandLineOrExit(argc, argv);
    return halvo::runHelper(std::make_unique<halvo::bench::FloodService>(), options);
}
