// Handing recorded chunks to the output: in order, never blocking the recording, bounded while
// the output is stuck (the audio it has not taken yet is kept up to the bound, the oldest
// dropped beyond it, each episode of drops reported once), and never after the stream is gone.
#include "services/pulse/sample_feeder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "tests/support/inert_stream.h"
#include "tests/support/waiting.h"

namespace halvo::pulse {
namespace {

using namespace std::chrono_literals;

constexpr PcmFormat kMono{48000, 1};
constexpr std::size_t kChunkBytes = 400;  // 100 frames

std::vector<std::byte> chunk(int tag) {
    return std::vector<std::byte>(kChunkBytes, static_cast<std::byte>(tag));
}

// An output that notes the tag of each buffer it gets and can be made to block, like a write to
// a pipe nobody reads.
class StallingOutput : public StreamOutput {
  public:
    void didOutputSampleBuffer(CaptureStream&, const platform::SampleBuffer& buffer,
                               StreamOutputType) override {
        std::byte tag{};
        EXPECT_EQ(buffer.dataBuffer->copyDataBytes(0, {&tag, 1}), platform::kNoErr);
        std::unique_lock lock(mutex_);
        tags_.push_back(static_cast<int>(tag));
        threads_.push_back(std::this_thread::get_id());
        changed_.notify_all();
        changed_.wait(lock, [&] { return !stalled_; });
    }
    bool takesWithoutWaiting(std::size_t) const override { return inPlace_.load(); }
    void takeInPlace(bool inPlace) { inPlace_.store(inPlace); }
    std::vector<std::thread::id> threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }
    void stall(bool stalled) {
        std::lock_guard lock(mutex_);
        stalled_ = stalled;
        changed_.notify_all();
    }
    bool waitForCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return tags_.size() >= count; });
    }
    std::vector<int> tags() {
        std::lock_guard lock(mutex_);
        return tags_;
    }

  private:
    std::mutex mutex_;  // guards tags_, threads_ and stalled_
    std::condition_variable changed_;
    std::vector<int> tags_;
    std::vector<std::thread::id> threads_;
    bool stalled_ = false;
    std::atomic<bool> inPlace_{false};
};

// The stream a feeder belongs to: it owns the feeder, as the real stream does.
class FeedingStream : public testing::InertStream {
  public:
    explicit FeedingStream(std::size_t capacityBytes)
        : feeder(kMono, capacityBytes, [this](const std::string& message) {
              std::lock_guard lock(mutex_);
              reports_.push_back(message);
          }) {}
    std::vector<std::string> reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }

    SampleFeeder feeder;

  private:
    std::mutex mutex_;  // guards reports_
    std::vector<std::string> reports_;
};

class SampleFeederTest : public ::testing::Test {
  protected:
    void make(std::size_t capacityChunks) {
        stream_ = std::make_shared<FeedingStream>(capacityChunks * kChunkBytes);
        stream_->feeder.setOutput(output_, queue_);
        stream_->feeder.open(stream_);
    }
    // Waits until everything queued on the sample queue so far has run.
    void drainQueue() {
        auto ran = std::make_shared<std::promise<void>>();
        std::future<void> done = ran->get_future();
        queue_->async([ran] { ran->set_value(); });
        ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    }
    // Stalls the output on chunk `first`, then pushes the chunks after it up to `last`.
    void pushWhileStalled(int first, int last) {
        output_->stall(true);
        stream_->feeder.push(chunk(first), *stream_);
        ASSERT_TRUE(output_->waitForCount(static_cast<std::size_t>(first)));
        for (int tag = first + 1; tag <= last; ++tag) {
            stream_->feeder.push(chunk(tag), *stream_);  // at once, though the output is stuck
        }
    }

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
    EXPECT_TRUE(stream_->reports().empty());

    pushWhileStalled(5, 12);
    output_->stall(false);
    drainQueue();
    EXPECT_EQ(output_->tags(), (std::vector<int>{1, 2, 3, 4, 5, 10, 11, 12}));
    stream_->feeder.push(chunk(13), *stream_);  // caught up: no new episode
    drainQueue();
    EXPECT_EQ(stream_->reports(),
              std::vector<std::string>{
                  "Audio output not read: dropped 0.01 s of audio (1600 bytes, oldest first)"});
}

// An output that deals with a chunk at once gets it on the pushing thread, but never ahead of
// chunks still waiting for the sample queue.
TEST_F(SampleFeederTest, InPlaceDeliveryNeverOvertakesWhatWaits) {
    make(10);
    const auto pusher = std::this_thread::get_id();
    output_->takeInPlace(true);
    stream_->feeder.push(chunk(1), *stream_);
    ASSERT_EQ(output_->tags(), std::vector<int>{1});
    EXPECT_EQ(output_->threads()[0], pusher);

    output_->takeInPlace(false);
    pushWhileStalled(2, 3);  // 2 in the output on the queue, 3 waiting
    output_->takeInPlace(true);
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
    EXPECT_EQ(stream_->reports(),
              std::vector<std::string>{
                  "Audio output not read: dropped 0.00 s of audio (400 bytes, oldest first)"});
    EXPECT_EQ(handedBefore.wait_for(0s), std::future_status::timeout)
        << "the output is still writing chunk 1";

    output_->stall(false);
    ASSERT_EQ(handedBefore.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(handedBefore.get(), (std::vector<int>{1, 3}));
    drainQueue();
    EXPECT_EQ(output_->tags(), (std::vector<int>{1, 3}));
    EXPECT_EQ(stream_->reports().size(), 1u) << "reported once";
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
}  // namespace halvo::pulse
