// The sink over a pipe whose reader the test plays, as a parent would. What the parent reads is
// exactly what was counted, in whole frames, and the rest of what arrived is accounted for. And
// the sample queue's in-place runs that the sink's in-place delivery rests on.
#include "output/audio_output_handler.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "tests/support/inert_stream.h"
#include "tests/support/waiting.h"
#include "tests/unit/captured_stderr.h"

namespace halvo {
namespace {

using namespace std::chrono_literals;

using testing::audioOf;

class SinkOnAPipe : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::pipe(fds_), 0);
        handler_ = std::make_unique<AudioOutputHandler>(platform::FileHandle(fds_[1]));
        handler_->setCapturing(true);
    }
    void TearDown() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void deliver(AudioOutputHandler& handler, std::size_t bytes) {
        handler.didOutputSampleBuffer(stream_, audioOf(bytes), StreamOutputType::audio);
    }
    // What the pipe holds, up to `most`: a writer refilling it meanwhile may not keep us reading.
    std::string readAvailable(std::size_t most = SIZE_MAX) {
        std::string all;
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        char chunk[65536];
        ssize_t got;
        while (all.size() < most && (got = ::read(fds_[0], chunk, sizeof chunk)) > 0) {
            all.append(chunk, static_cast<std::size_t>(got));
        }
        return all;
    }

    int fds_[2] = {-1, -1};
    testing::CapturedStderr stderr_;
    std::unique_ptr<AudioOutputHandler> handler_;
    testing::InertStream stream_;
};

// A parent that hands over a non-blocking pipe and reads in fits: a full pipe is waited on, never
// dropped. Then it stops reading: closing the gate frees the writer at once, and every byte
// delivered is either read by the parent and counted, or reported as unwritten.
TEST_F(SinkOnAPipe, APausedParentIsWaitedOnAndAClosedGateAccountsForEveryByte) {
    ::fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    auto delivering = std::async(std::launch::async, [&] {
        for (int i = 0; i < 40; ++i) {
            deliver(*handler_, 10000);  // far more than the pipe holds
        }
    });
    std::string received;
    bool waited = true;
    while (received.size() < 200000 && (waited = testing::waitUntilPipeRefusesWrites(fds_[1]))) {
        received += readAvailable(1);
    }
    waited = waited && testing::waitUntilPipeRefusesWrites(fds_[1]);
    handler_->setCapturing(false);  // before any assertion: the writer must not outlive the test
    ASSERT_TRUE(waited) << "a full pipe is waited on, not given up on";
    ASSERT_EQ(delivering.wait_for(5s), std::future_status::ready);
    received += readAvailable();

    EXPECT_EQ(received, std::string(received.size(), 'p'));
    EXPECT_EQ(received.size(), handler_->totalBytes());
    EXPECT_EQ(received.size() % 4, 0u) << "whole frames only";
    const std::uint64_t unwritten = 400000 - received.size();
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(unwritten) / 192000);
    EXPECT_EQ(handler_->takeUnwrittenReport(), "Audio not yet written at the stop: dropped " +
                                                   std::string(seconds) + " s of audio (" +
                                                   std::to_string(unwritten) + " bytes)");
    EXPECT_EQ(handler_->takeUnwrittenReport(), std::nullopt);
}

// libpulse's thread may hand a buffer over in place only when the sink provably deals with it at
// once: anything that could wait for the parent must go through the sample queue.
TEST_F(SinkOnAPipe, TakesInPlaceOnlyWhatNeedNotWait) {
    const auto capacity = static_cast<std::size_t>(::fcntl(fds_[1], F_GETPIPE_SZ));
    EXPECT_FALSE(handler_->takesWithoutWaiting(4096)) << "the first buffer waits for its format";
    deliver(*handler_, 4096);
    EXPECT_TRUE(handler_->takesWithoutWaiting(4096));
    EXPECT_FALSE(handler_->takesWithoutWaiting(capacity));

    deliver(*handler_, capacity / 2 - 4096);  // the parent does not read: half the pipe waits
    EXPECT_FALSE(handler_->takesWithoutWaiting(4096));
    handler_->setCapturing(false);
    EXPECT_TRUE(handler_->takesWithoutWaiting(1 << 20)) << "a closed gate only counts";

    std::FILE* file = std::tmpfile();  // not a pipe: no proof of room
    AudioOutputHandler toFile{platform::FileHandle(::fileno(file))};
    toFile.setCapturing(true);
    deliver(toFile, 4096);
    EXPECT_FALSE(toFile.takesWithoutWaiting(4));
    std::fclose(file);
}

// The sink's in-place delivery rests on this: an item run on the caller is still an item of the
// queue, never beside one of its own.
TEST(SerialQueueInline, RunsOnTheCallerOnlyWhenIdleAndKeepsTheQueueOrder) {
    platform::SerialQueue queue("test.inline", platform::QualityOfService::userInteractive);
    std::mutex mutex;  // guards ran, should the queue fail to keep its items apart
    std::vector<int> ran;
    const auto note = [&](int entry) {
        std::lock_guard lock(mutex);
        ran.push_back(entry);
    };
    std::promise<void> started;
    std::promise<void> release;
    queue.async([&, gate = release.get_future().share()] {
        started.set_value();
        gate.wait();
        note(1);
    });
    started.get_future().wait();
    EXPECT_FALSE(queue.runHereIfIdle([&] { note(99); })) << "an item is running";
    queue.async([&] { note(2); });
    release.set_value();

    const auto caller = std::this_thread::get_id();
    ASSERT_TRUE(testing::eventually([&] {
        return queue.runHereIfIdle([&] {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            EXPECT_TRUE(queue.isCurrent());
            note(3);
            queue.async([&] { note(4); });  // waits for the item in place to end
            std::this_thread::yield();
            note(5);
        });
    }));
    EXPECT_FALSE(queue.isCurrent());
    std::promise<void> drained;
    queue.async([&] { drained.set_value(); });
    ASSERT_EQ(drained.get_future().wait_for(5s), std::future_status::ready);
    std::lock_guard lock(mutex);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 5, 4}));
}

}  // namespace
}  // namespace halvo
