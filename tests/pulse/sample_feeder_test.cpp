// Handing recorded chunks to the output: in order, never blocking the recording, bounded while
// the output is stuck, and never after the stream is gone.
#include "capture/pulse/sample_feeder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace halvo::pulse {
namespace {

using namespace std::chrono_literals;

constexpr PcmFormat kMono{48000, 1};
constexpr std::size_t kChunkBytes = 400;  // 100 frames

std::vector<std::byte> chunk(int tag) {
    return std::vector<std::byte>(kChunkBytes, static_cast<std::byte>(tag));
}

// An output that records what it gets and can be made to block, like a write to a pipe
// nobody reads.
class StallingOutput : public StreamOutput {
  public:
    // Sample queue: notes the buffer's tag, then blocks while the output is stalled.
    void didOutputSampleBuffer(CaptureStream&, const platform::SampleBuffer& buffer,
                               StreamOutputType type) override {
        std::unique_lock lock(mutex_);
        EXPECT_EQ(type, StreamOutputType::audio);
        std::size_t length = 0;
        std::size_t total = 0;
        const std::byte* data = nullptr;
        EXPECT_EQ(buffer.dataBuffer->dataPointer(0, &length, &total, &data), platform::kNoErr);
        EXPECT_EQ(buffer.numSamples, static_cast<std::int64_t>(total / 4));
        tags_.push_back(static_cast<int>(data[0]));
        changed_.notify_all();
        changed_.wait(lock, [&] { return !stalled_; });
    }
    void stall() {
        std::lock_guard lock(mutex_);
        stalled_ = true;
    }
    void resume() {
        std::lock_guard lock(mutex_);
        stalled_ = false;
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
    std::mutex mutex_;  // guards tags_ and stalled_
    std::condition_variable changed_;
    std::vector<int> tags_;
    bool stalled_ = false;
};

// The stream a feeder belongs to: it owns the feeder, as the real stream does.
class FeedingStream : public CaptureStream {
  public:
    explicit FeedingStream(std::size_t capacityBytes)
        : feeder(kMono, capacityBytes, [this](const std::string& message) {
              std::lock_guard lock(mutex_);
              reports_.push_back(message);
          }) {}
    // Never called: the feeder only needs a stream to hand to the output.
    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput>, StreamOutputType,
                                         std::shared_ptr<platform::SerialQueue>) override {
        return std::nullopt;
    }
    void startCapture(CaptureCompletion) override {}
    void stopCapture(CaptureCompletion) override {}

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
        std::mutex mutex;
        std::condition_variable done;
        bool ran = false;
        queue_->async([&] {
            std::lock_guard lock(mutex);
            ran = true;
            done.notify_all();
        });
        std::unique_lock lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, 5s, [&] { return ran; }));
    }

    std::shared_ptr<StallingOutput> output_ = std::make_shared<StallingOutput>();
    std::shared_ptr<platform::SerialQueue> queue_ = std::make_shared<platform::SerialQueue>(
        "test.samples", platform::QualityOfService::userInteractive);
    std::shared_ptr<FeedingStream> stream_;
};

TEST_F(SampleFeederTest, AShortStallLosesNothingAndKeepsTheOrder) {
    make(5);
    output_->stall();
    stream_->feeder.push(chunk(1));
    ASSERT_TRUE(output_->waitForCount(1));  // chunk 1 is in the output, which is stuck
    for (int tag = 2; tag <= 6; ++tag) {
        stream_->feeder.push(chunk(tag));  // returns at once although the output is stuck
    }
    output_->resume();
    ASSERT_TRUE(output_->waitForCount(6));
    drainQueue();
    EXPECT_EQ(output_->tags(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(stream_->reports().empty());
}

TEST_F(SampleFeederTest, ALongStallDropsTheOldestAndReportsTheEpisodeOnce) {
    make(3);
    output_->stall();
    stream_->feeder.push(chunk(1));
    ASSERT_TRUE(output_->waitForCount(1));
    for (int tag = 2; tag <= 8; ++tag) {
        stream_->feeder.push(chunk(tag));
    }
    output_->resume();
    ASSERT_TRUE(output_->waitForCount(4));
    drainQueue();
    EXPECT_EQ(output_->tags(), (std::vector<int>{1, 6, 7, 8}));

    stream_->feeder.push(chunk(9));  // caught up: no new episode
    ASSERT_TRUE(output_->waitForCount(5));
    drainQueue();
    EXPECT_EQ(stream_->reports(),
              std::vector<std::string>{SampleFeeder::dropMessage(4 * kChunkBytes, kMono)});
    EXPECT_NE(stream_->reports()[0].find("(1600 bytes"), std::string::npos);
}

TEST_F(SampleFeederTest, CloseRunsItsFollowUpOnlyAfterTheBufferInHandAndDropsTheRest) {
    make(10);
    output_->stall();
    stream_->feeder.push(chunk(1));
    ASSERT_TRUE(output_->waitForCount(1));
    stream_->feeder.push(chunk(2));

    std::atomic<bool> followedUp{false};
    stream_->feeder.close([&] { followedUp = true; });
    stream_->feeder.push(chunk(3));  // after close: ignored
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(followedUp) << "the output is still writing chunk 1";

    output_->resume();
    drainQueue();
    EXPECT_TRUE(followedUp);
    EXPECT_EQ(output_->tags(), (std::vector<int>{1}));
}

TEST_F(SampleFeederTest, NothingReachesTheOutputOnceTheStreamIsReleased) {
    make(10);
    // Hold the sample queue so the delivery is still queued when the stream goes.
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = true;
    queue_->async([&] {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !holding; });
    });
    stream_->feeder.push(chunk(1));
    stream_.reset();
    {
        std::lock_guard lock(mutex);
        holding = false;
        changed.notify_all();
    }
    drainQueue();
    EXPECT_TRUE(output_->tags().empty());
}

}  // namespace
}  // namespace halvo::pulse
