#include "controller/system_audio_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <thread>

#include "platform/process.h"
#include "tests/support/inert_stream.h"
#include "tests/support/waiting.h"
#include "tests/unit/captured_stderr.h"

namespace halvo {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

// Calls the oldest of `pending` (guarded by `mutex`) with `answer`, outside the lock: false when
// none waits.
template <typename Completion, typename... Answer>
bool answerOldest(std::mutex& mutex, std::deque<Completion>& pending, Answer&&... answer) {
    Completion oldest;
    {
        std::lock_guard lock(mutex);
        if (pending.empty()) {
            return false;
        }
        oldest = std::move(pending.front());
        pending.pop_front();
    }
    oldest(std::forward<Answer>(answer)...);
    return true;
}

// A stream whose starts and stops wait until the test answers them.
class FakeStream : public CaptureStream {
  public:
    explicit FakeStream(std::weak_ptr<StreamDelegate> delegate) : delegate_(std::move(delegate)) {}

    // Any thread: never calls back inside the call, as a service may not.
    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType,
                                         std::shared_ptr<platform::SerialQueue> queue) override {
        std::lock_guard lock(mutex_);
        output_ = std::move(output);
        queue_ = std::move(queue);
        return std::nullopt;
    }
    void startCapture(CaptureCompletion completion) override {
        std::lock_guard lock(mutex_);
        starts_.push_back(std::move(completion));
    }
    void stopCapture(CaptureCompletion completion) override {
        std::lock_guard lock(mutex_);
        stops_.push_back(std::move(completion));
    }

    // The test's side, from any one thread at a time. Each answers the oldest request waiting:
    // false when none waits.
    bool answerStart() { return answerOldest(mutex_, starts_, std::nullopt); }
    bool answerStop() { return answerOldest(mutex_, stops_, std::nullopt); }
    // Hands a buffer of `bytes` bytes to the output on its sample queue, as a service does.
    void deliver(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        queue_->async([self = this, output = output_, bytes] {
            if (auto alive = output.lock()) {
                alive->didOutputSampleBuffer(*self, testing::audioOf(bytes),
                                             StreamOutputType::audio);
            }
            ++self->handedOver;
        });
    }
    std::atomic<int> handedOver{0};  // buffers the output has had
    void stopBySystem(const std::string& reason) {
        if (auto delegate = delegate_.lock()) {
            delegate->didStopWithError(*this, Error{reason});
        }
    }

  private:
    const std::weak_ptr<StreamDelegate> delegate_;
    std::mutex mutex_;  // guards the fields below
    std::weak_ptr<StreamOutput> output_;
    std::shared_ptr<platform::SerialQueue> queue_;
    std::deque<CaptureCompletion> starts_;
    std::deque<CaptureCompletion> stops_;
};

// A service whose content queries wait until the test answers them; it keeps every stream made.
class FakeService : public CaptureService {
  public:
    void getShareableContent(bool, bool, ContentCompletion completion) override {
        std::lock_guard lock(mutex_);
        queries_.push_back(std::move(completion));
    }
    void listPlayingApplications(PlayingCompletion completion) override {
        completion(std::vector<PlayingApplication>{}, std::nullopt);
    }
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration&,
                                              std::weak_ptr<StreamDelegate> delegate) override {
        std::lock_guard lock(mutex_);
        lastFilter_ = filter;
        return streams_.emplace_back(std::make_shared<FakeStream>(std::move(delegate)));
    }

    // Answers the oldest content query with `content`; false when none waits.
    bool answerContent(ShareableContent content = {{Display{1, 1920, 1080}}, {}, {}}) {
        return answerOldest(mutex_, queries_, std::move(content), std::nullopt);
    }
    std::size_t streamsMade() {
        std::lock_guard lock(mutex_);
        return streams_.size();
    }
    // The nth stream made (from 0); it stays alive with the service.
    FakeStream& stream(std::size_t n) {
        std::lock_guard lock(mutex_);
        return *streams_.at(n);
    }
    ContentFilter lastFilter() {
        std::lock_guard lock(mutex_);
        return lastFilter_;
    }

  private:
    std::mutex mutex_;  // guards the fields below
    std::deque<ContentCompletion> queries_;
    std::vector<std::shared_ptr<FakeStream>> streams_;
    ContentFilter lastFilter_;
};

// A controller over the fake service, writing its audio to a temporary file.
class ControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = std::tmpfile();
        capture_ = SystemAudioCapture::create(service_, platform::FileHandle(fileno(file_)));
    }
    void TearDown() override {
        capture_.reset();
        std::fclose(file_);
    }
    // Answers the content query and the start of the stream it makes, the nth.
    void answerStart(std::size_t n) {
        ASSERT_TRUE(service_.answerContent());
        ASSERT_EQ(service_.streamsMade(), n + 1);
        ASSERT_TRUE(service_.stream(n).answerStart());
    }
    std::size_t fileSize() {
        std::fflush(file_);
        std::fseek(file_, 0, SEEK_END);
        return static_cast<std::size_t>(std::ftell(file_));
    }
    std::vector<std::string> signals() {
        auto all = stderr_.lines();
        std::erase_if(all, [](const std::string& line) {
            return line != "STOPPED" && line != "CAPTURE_STARTED" && !line.starts_with("ERROR:");
        });
        return all;
    }

    FakeService service_;
    std::FILE* file_ = nullptr;
    std::shared_ptr<SystemAudioCapture> capture_;
    testing::CapturedStderr stderr_;
};

// On the way out nothing may start: a start still pending is answered as cancelled at once (no
// stream is made when the service answers), and so is one asked for afterwards.
TEST_F(ControllerTest, AfterShutDownNoStartBeginsOrLands) {
    capture_->start();
    capture_->shutDown();
    capture_->start();
    capture_->startAfterSignal("WAITING");
    ASSERT_TRUE(service_.answerContent());

    EXPECT_FALSE(capture_->handler()->isCapturing());
    EXPECT_EQ(capture_->stream(), nullptr);
    EXPECT_EQ(service_.streamsMade(), 0u);
    EXPECT_EQ(signals(), (std::vector<std::string>{"ERROR:The helper is exiting", "STOPPED",
                                                   "ERROR:The helper is exiting"}));
}

// Buffers a stream hands over before its start is confirmed meet a closed gate; after a stop by
// the system the gate stays open, so a new stream's first buffers are written, even early ones.
TEST_F(ControllerTest, TheGateOpensWithTheFirstStartAndStaysOpenAcrossAStopBySystem) {
    capture_->start();
    ASSERT_TRUE(service_.answerContent());
    service_.stream(0).deliver(10);
    ASSERT_TRUE(eventually([&] { return service_.stream(0).handedOver == 1; }));
    ASSERT_TRUE(service_.stream(0).answerStart());
    service_.stream(0).deliver(100);
    service_.stream(0).deliver(100);
    ASSERT_TRUE(eventually([&] { return capture_->handler()->sampleCount() == 2; }));
    service_.stream(0).stopBySystem("device gone");

    capture_->start();
    ASSERT_TRUE(service_.answerContent());
    for (int i = 0; i < 3; ++i) {
        service_.stream(1).deliver(10);
    }
    ASSERT_TRUE(eventually([&] { return capture_->handler()->sampleCount() == 5; }));
    ASSERT_TRUE(service_.stream(1).answerStart());
    EXPECT_EQ(capture_->stream().get(), &service_.stream(1));
    EXPECT_EQ(fileSize(), 230u);
    EXPECT_EQ(signals(),
              (std::vector<std::string>{"CAPTURE_STARTED", "ERROR:STREAM_STOPPED:device gone",
                                        "CAPTURE_STARTED"}));
}

TEST_F(ControllerTest, ContentArrivingAfterTheControllerIsGoneDoesNothing) {
    capture_->start();
    capture_.reset();
    ASSERT_TRUE(service_.answerContent());

    EXPECT_EQ(service_.streamsMade(), 0u);
    EXPECT_EQ(stderr_.lines(), (std::vector<std::string>{"Starting system audio capture..."}));
}

TEST_F(ControllerTest, FirstDisplayIsCapturedAndOnlyTheHelperIsExcluded) {
    capture_->start();
    const std::int32_t self = platform::processIdentifier();
    ASSERT_TRUE(service_.answerContent({{Display{1, 2560, 1440}, Display{2, 1920, 1080}},
                                        {{4242, "a"}, {self, "b"}, {77, "c"}, {self, "d"}},
                                        {}}));
    ASSERT_TRUE(service_.stream(0).answerStart());  // the stream's completion holds the stream

    const auto filter = service_.lastFilter();
    EXPECT_EQ(filter.display.width, 2560);
    EXPECT_EQ(filter.excludedApplications.size(), 2u);
    EXPECT_EQ(std::ranges::count(filter.excludedApplications, self, &RunningApplication::processID),
              2);
}

// Start/stop storms from two threads while the service answers and buffers flow from a third: a
// ThreadSanitizer build turns any unsynchronised access into a failure; every build checks,
// once all is answered, that the bytes match the counters and every command got its answer.
TEST_F(ControllerTest, StartStopStormKeepsBytesAndCountersInStep) {
    std::atomic<bool> storming{true};
    // Answers whatever waits; once the storm is over, until a round finds nothing waiting: then
    // the controller waits for nothing, so every command has had its answer.
    std::thread service([&] {
        for (bool answered = true; storming || answered;) {
            if (!answered) {
                std::this_thread::sleep_for(50us);
            }
            answered = service_.answerContent();
            for (std::size_t n = 0; n < service_.streamsMade(); ++n) {
                if (service_.stream(n).answerStart()) {
                    service_.stream(n).deliver(256);
                    answered = true;
                }
                answered = service_.stream(n).answerStop() || answered;
            }
        }
    });
    auto storm = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            capture_->start();
            // Varied pauses let the stop land before, during and after the start's steps.
            std::this_thread::sleep_for(std::chrono::microseconds(200 + i % 7 * 100));
            capture_->stop();
        }
    };
    std::thread other(storm, 150);
    storm(150);
    other.join();
    storming = false;
    service.join();
    EXPECT_EQ(capture_->stream(), nullptr);
    const auto handler = capture_->handler();
    EXPECT_TRUE(eventually([&] { return fileSize() == handler->totalBytes(); }));
    EXPECT_EQ(handler->totalBytes(), handler->sampleCount() * 256);
    const auto all = stderr_.lines();
    EXPECT_EQ(std::ranges::count(all, "CAPTURE_STARTED"), 300);
    EXPECT_EQ(std::ranges::count(all, "STOPPED"), 300);
}

}  // namespace
}  // namespace halvo
