// Handing recorded chunks to the output: in order, never blocking the recording, bounded while
// the output is stuck (the audio it has not taken yet is kept up to the bound, the oldest
// dropped beyond it, each episode of drops reported once), and never after the stream is gone.
#include "services/common/sample_feeder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "tests/support/inert_stream.h"
#include "tests/support/waiting.h"

namespace halvo {
namespace {

using namespace std::chrono_literals;

constexpr PcmFormat kMono{48000, 1};
constexpr std::size_t kChunkBytes = 400;  // 100 frames

std::vector<std::byte> chunk(int tag) {
    return std::vector<std::byte>(kChunkBytes, static_cast<std::byte>(tag));
}

// An output that notes the tag and the thread of each buffer it gets and can be made to block,
// like a write to a pipe nobody reads.
class StallingOutput : public StreamOutput {
  public:
    void didOutputSampleBuffer(CaptureStream&, const platform::SampleBuffer& buffer,
                               StreamOutputType) override {
        std::byte tag{};
        EXPECT_EQ(buffer.dataBuffer->copyDataBytes(0, {&tag, 1}), platform::kNoErr);
        {
            std::lock_guard lock(mutex_);
            tags_.push_back(static_cast<int>(tag));
            threads_.push_back(std::this_thread::get_id());
        }
        stalled_.wait(true);
    }
    bool takesWithoutWaiting(std::size_t) const override { return inPlace.load(); }
    void stall(bool stalled) {
        stalled_ = stalled;
        stalled_.notify_all();
    }
    std::vector<int> tags() {
        std::lock_guard lock(mutex_);
        return tags_;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }

    std::atomic<bool> inPlace{false};  // whether it takes a chunk at once

  private:
    std::mutex mutex_;  // guards tags_ and threads_
    std::vector<int> tags_;
    std::vector<std::thread::id> threads_;
    std::atomic<bool> stalled_{false};
};

// The stream a feeder belongs to: it owns the feeder, as the real stream does.
struct FeedingStream : testing::InertStream {
    FeedingStream(std::size_t capacityBytes, SampleFeeder::Report report)
        : feeder(kMono, capacityBytes, std::move(report)) {}
    SampleFeeder feeder;
};

class SampleFeederTest : public ::testing::Test {
  protected:
    void make(std::size_t capacityChunks) {
        stream_ = std::make_shared<FeedingStream>(capacityChunks * kChunkBytes,
                                                  [this](const std::string& message) {
                                                      std::lock_guard lock(mutex_);
                                                      reports_.push_back(message);
                                                  });
        stream_->feeder.setOutput(output_, queue_);
        stream_->feeder.open(stream_);
    }
    std::vector<std::string> reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    // Waits until everything queued on the sample queue so far has run.
    void drainQueue() {
        auto ran = std::make_shared<std::packaged_task<void()>>([] {});
        queue_->async([ran] { (*ran)(); });
        ASSERT_EQ(ran->get_future().wait_for(5s), std::future_status::ready);
    }
    // Stalls the output on chunk `first`, then pushes the chunks after it up to `last`.
    void pushWhileStalled(int first, int last) {
        output_->stall(true);
        stream_->feeder.push(chunk(first), *stream_);
        ASSERT_TRUE(testing::eventually(
            [&] { return output_->tags().size() >= static_cast<std::size_t>(first); }));
        for (int tag = first + 1; tag <= last; ++tag) {
            stream_->feeder.push(chunk(tag), *stream_);  // at once, though the output is stuck
        }
    }

    // Declared first, so that they outlive the stream and the queue, which report.
    std::mutex mutex_;  // guards reports_
    std::vector<std::string> reports_;
    std::shared_ptr<StallingOutput> output_ = std::make_shared<StallingOutput>();
    std::shared_ptr<platform::SerialQueue> queue_ = std::make_shared<platform::SerialQueue>(
        "test.samples", platform::QualityOfService::userInteractive);
    std::shared_ptr<FeedingStream> stream_;
};

TEST_F(SampleFeederTest, AStallWithinTheBoundLosesNothingALongerOneDropsTheOldestOnce) {
    make(3);
    pushWhileStalled(1, 4);  // chunk 1 in the output, three waiting: just within the bound
    output_->stall(false);
    drainQueue();
    EXPECT_EQ(output_->tags(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(reports().empty());

    pushWhileStalled(5, 12);
    output_->stall(false);
    drainQueue();
    EXPECT_EQ(output_->tags(), (std::vector<int>{1, 2, 3, 4, 5, 10, 11, 12}));
    stream_->feeder.push(chunk(13), *stream_);  // caught up: no new episode
    drainQueue();
    EXPECT_EQ(reports(),
              std::vector<std::string>{
                  "Audio output not read: dropped 0.01 s of audio (1600 bytes, oldest first)"});
}

// An output that deals with a chunk at once gets it on the pushing thread, but never ahead of
// chunks still waiting for the sample queue.
TEST_F(SampleFeederTest, InPlaceDeliveryNeverOvertakesWhatWaits) {
    make(10);
    const auto pusher = std::this_thread::get_id();
    output_->inPlace = true;
    stream_->feeder.push(chunk(1), *stream_);
    ASSERT_EQ(output_->tags(), std::vector<int>{1});
    EXPECT_EQ(output_->threads()[0], pusher);

    output_->inPlace = false;
    pushWhileStalled(2, 3);  // 2 in the output on the queue, 3 waiting
    output_->inPlace = true;
    stream_->feeder.push(chunk(4), *stream_);  // must wait behind 3
    output_->stall(false);
    drainQueue();
    EXPECT_EQ(output_->tags(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_NE(output_->threads()[3], pusher);

    // All caught up: once the queue's thread has let go of its last item, in place again.
    ASSERT_TRUE(testing::eventually([&] { return queue_->runHereIfIdle([] {}); }));
    stream_->feeder.push(chunk(5), *stream_);
    EXPECT_EQ(output_->tags().back(), 5);
    EXPECT_EQ(output_->threads().back(), pusher);
}

// The output's closed gate accounts for what was pending at the stop, and a drop episode under
// way is reported by the close: nothing vanishes unseen.
TEST_F(SampleFeederTest, CloseHandsOverWhatIsPendingAndRunsItsFollowUpAfterIt) {
    make(1);
    pushWhileStalled(1, 3);  // 1 in the output, 2 dropped for 3
    // What the output had been handed when the follow-up ran: not just the chunk it was still
    // writing at the close.
    std::promise<std::vector<int>> followedUp;
    std::future<std::vector<int>> handedBefore = followedUp.get_future();
    stream_->feeder.close([&] { followedUp.set_value(output_->tags()); });
    stream_->feeder.push(chunk(4), *stream_);  // after close: ignored
    EXPECT_EQ(reports(),
              std::vector<std::string>{
                  "Audio output not read: dropped 0.00 s of audio (400 bytes, oldest first)"});
    EXPECT_EQ(handedBefore.wait_for(0s), std::future_status::timeout)
        << "the output is still writing chunk 1";

    output_->stall(false);
    ASSERT_EQ(handedBefore.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(handedBefore.get(), (std::vector<int>{1, 3}));
    drainQueue();
    EXPECT_EQ(output_->tags(), (std::vector<int>{1, 3}));
    EXPECT_EQ(reports().size(), 1u) << "reported once";
}

TEST_F(SampleFeederTest, NothingReachesTheOutputOnceTheStreamIsReleased) {
    make(10);
    // Hold the sample queue so the delivery is still queued when the stream goes.
    std::promise<void> release;
    queue_->async([held = release.get_future().share()] { held.wait(); });
    CaptureStream* streamRef = stream_.get();
    stream_->feeder.push(chunk(1), *streamRef);
    stream_.reset();
    release.set_value();
    drainQueue();
    EXPECT_TRUE(output_->tags().empty());
}

}  // namespace
}  // namespace halvo
