// The simulated service is what every controller and process test stands on: where it plays a
// scenario wrongly, those tests pass or fail for the wrong reason.
#include "tests/sim/simulated_capture_service.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace halvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Notes when each buffer arrives; `onBuffer` runs inside the output call, on the sample queue.
class ArrivalLog : public StreamOutput {
  public:
    void didOutputSampleBuffer(CaptureStream&, const platform::SampleBuffer&,
                               StreamOutputType) override {
        std::size_t count = 0;
        {
            std::lock_guard lock(mutex_);
            arrivals_.push_back(Clock::now());
            count = arrivals_.size();
        }
        changed_.notify_all();
        if (onBuffer) {
            onBuffer(count);
        }
    }
    std::vector<Clock::time_point> waitForArrivals(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 5s, [&] { return arrivals_.size() >= count; });
        return arrivals_;
    }
    std::function<void(std::size_t)> onBuffer;

  private:
    std::mutex mutex_;  // guards arrivals_
    std::condition_variable changed_;
    std::vector<Clock::time_point> arrivals_;
};

// A one-shot flag to wait on, with a deadline.
class Latch {
  public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    bool waitOpen() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return open_; });
    }

  private:
    std::mutex mutex_;  // guards open_
    std::condition_variable changed_;
    bool open_ = false;
};

// Buffers without interval are handed over a few at a time; when the batch ends with several
// still being handed over, a `wait` that follows must still hold the next batch back.
TEST(SimulatedService, AWaitAfterABatchWithoutIntervalHoldsBackWhatFollows) {
    auto parsed = sim::parseScenario(
        "stream\n"
        "  buffers 3 bytes=4\n"
        "  wait 300\n"
        "  buffers 1 bytes=4\n");
    ASSERT_TRUE(parsed.scenario) << parsed.error;
    sim::SimulatedCaptureService service(std::move(*parsed.scenario));
    auto queue = std::make_shared<platform::SerialQueue>(
        "test.samples", platform::QualityOfService::userInteractive);
    auto log = std::make_shared<ArrivalLog>();
    // The worst order: the service's thread is held (by a content answer, which it runs) until
    // the sample queue has handed over the whole batch, so that every hand-over is done before
    // the service plays on.
    Latch batchHandedOver;
    log->onBuffer = [&](std::size_t count) {
        if (count == 1) {
            service.getShareableContent(
                false, false, [&](auto, auto) { EXPECT_TRUE(batchHandedOver.waitOpen()); });
        } else if (count == 3) {
            queue->async([&] { batchHandedOver.open(); });  // after this hand-over has ended
        }
    };
    auto stream = service.makeStream({}, {}, {});
    ASSERT_FALSE(stream->addStreamOutput(log, StreamOutputType::audio, queue));
    stream->startCapture([](std::optional<Error> error) { EXPECT_FALSE(error); });

    const auto arrivals = log->waitForArrivals(4);
    ASSERT_EQ(arrivals.size(), 4u);
    EXPECT_GE(arrivals[3] - arrivals[2], 300ms);
    stream->stopCapture([](std::optional<Error>) {});
}

}  // namespace
}  // namespace halvo
