#include "tests/sim/simulated_capture_service.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <span>
#include <thread>

#include "platform/dispatch.h"

namespace halvo::sim {

using Record = SimulatedCaptureService::Record;
using std::chrono::milliseconds;

struct SimulatedCaptureService::Shared : std::enable_shared_from_this<Shared> {
    explicit Shared(Scenario s) : scenario(std::move(s)) {}

    const Scenario scenario;
    std::mutex mutex;  // guards record and startedStreams
    Record record;
    int startedStreams = 0;
    std::atomic<std::uint64_t> deliveredBytes{0};  // position in the byte pattern
    // The service's thread. Last member, so destroyed first: it runs out what it holds, each
    // item finding the service gone.
    platform::SerialQueue thread{"sim.service", platform::QualityOfService::userInitiated};

    // Counts one more of `field`: how many there were before.
    int bump(int Record::*field) {
        std::lock_guard lock(mutex);
        return (record.*field)++;
    }

    // Runs `work` on the service's thread `delay` after the work before it, unless the service is
    // gone by then. The delays add up: one script plays at a time.
    void after(milliseconds delay, std::function<void(Shared&)> work) {
        thread.async([weakSelf = weak_from_this(), delay, work = std::move(work)] {
            std::this_thread::sleep_for(delay);
            if (auto self = weakSelf.lock()) {
                work(*self);
            }
        });
    }
};

namespace {

using Shared = SimulatedCaptureService::Shared;

// The answer to the nth request (from 0): the nth entry of `list`, its last one past its end,
// success when it is empty.
template <typename T>
T pick(const std::vector<T>& list, int n) {
    return list.empty() ? T{} : list[std::min(static_cast<std::size_t>(n), list.size() - 1)];
}

// `bytes` bytes of 48 kHz mono float audio, from position `from` of the pattern.
platform::SampleBuffer patternBuffer(std::uint64_t from, std::size_t bytes) {
    // Filled once; any stretch of the pattern is a copy out of it.
    static const std::vector<std::byte> table = [] {
        std::vector<std::byte> pattern(251 + StreamEvent::kMostBytes);
        for (std::size_t i = 0; i < pattern.size(); ++i) {
            pattern[i] = static_cast<std::byte>(patternByte(i));
        }
        return pattern;
    }();
    const auto start = table.begin() + static_cast<std::ptrdiff_t>(from % 251);
    return {
        static_cast<std::int64_t>(bytes / 4),
        std::make_shared<const platform::FormatDescription>(platform::AudioStreamBasicDescription{
            48000, platform::kAudioFormatLinearPCM,
            platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked, 4, 1, 4, 1,
            32}),
        platform::BlockBuffer::contiguous(platform::BlockBuffer::Run(start, start + bytes))};
}

class SimulatedStream : public CaptureStream, public std::enable_shared_from_this<SimulatedStream> {
  public:
    SimulatedStream(std::shared_ptr<Shared> shared, std::weak_ptr<StreamDelegate> delegate)
        : shared_(std::move(shared)), delegate_(std::move(delegate)) {}

    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType,
                                         std::shared_ptr<platform::SerialQueue> queue) override {
        std::lock_guard lock(mutex_);
        output_ = std::move(output);
        queue_ = std::move(queue);
        return std::nullopt;
    }

    void startCapture(CaptureCompletion completion) override {
        const auto outcome =
            pick(shared_->scenario.startErrors, shared_->bump(&Record::startRequests));
        shared_->after(milliseconds(shared_->scenario.startDelayMs),
                       [weakSelf = weak_from_this(), outcome, completion](Shared& shared) {
                           auto self = weakSelf.lock();
                           if (self && !outcome) {
                               return self->begin(completion);
                           }
                           completion(outcome);
                           shared.bump(&Record::startAnswers);
                       });
    }

    void stopCapture(CaptureCompletion completion) override {
        shared_->bump(&Record::stopRequests);
        std::optional<Error> outcome;
        if (!running_.exchange(false)) {
            outcome = Error{"The stream is not running."};
        }
        // Completes only once the buffer in progress is out, so that the totals count it.
        afterQueue([outcome, completion](Shared& shared) {
            completion(outcome);
            shared.bump(&Record::stopAnswers);
        });
    }

  private:
    // Service thread. Hands over the early buffers, and once the sample queue has, reports the
    // start and plays the rest of the stream's events.
    void begin(const CaptureCompletion& completion) {
        {
            std::lock_guard lock(shared_->mutex);
            const auto& streams = shared_->scenario.streams;
            const int ordinal = ++shared_->startedStreams;
            const auto found = streams.find(streams.contains(ordinal) ? ordinal : 0);
            if (found != streams.end()) {
                events_ = found->second;
            }
        }
        running_ = true;
        for (const StreamEvent& event : events_) {
            for (std::int64_t i = 0; event.early && i < event.count; ++i) {
                deliver(event, std::nullopt);
            }
        }
        afterQueue([weakSelf = weak_from_this(), completion](Shared& shared) {
            completion(std::nullopt);
            shared.bump(&Record::startAnswers);
            if (auto self = weakSelf.lock()) {
                self->step();
            }
        });
    }

    // Service thread: plays on. A buffer goes to the sample queue only while fewer than the
    // window (four without pause, else one) wait there or in their interval, so a slow reader
    // slows the stream instead of growing a queue. Each calls back once through; a batch ends,
    // and a system stop after it comes, once, when the last of them has.
    void step() {
        while (running_ && next_ < events_.size()) {
            const StreamEvent& event = events_[next_];
            if (!event.systemStop && !event.early &&
                (event.count == StreamEvent::kForever || played_ < event.count)) {
                if (inFlight_ == (event.intervalMs > 0 ? 1 : kFloodWindow)) {
                    return;
                }
                ++played_;
                ++inFlight_;
                deliver(event, milliseconds(event.intervalMs));
            } else if (inFlight_ > 0) {
                return;
            } else {
                ++next_;
                played_ = 0;
                if (event.systemStop) {
                    running_ = false;
                    if (auto delegate = delegate_.lock()) {
                        delegate->didStopWithError(*this, *event.systemStop);
                    }
                    shared_->bump(&Record::systemStops);
                    return;
                }
            }
        }
    }

    // Hands one buffer to the sample queue; with `then`, calls step() that long after the output
    // has taken it.
    void deliver(const StreamEvent& batch, std::optional<milliseconds> then) {
        const auto queue = sampleQueue();
        if (!queue) {
            return;  // nobody registered: the buffer goes nowhere
        }
        queue->async(
            [weakSelf = weak_from_this(), then,
             buffer = patternBuffer(shared_->deliveredBytes.fetch_add(batch.bytes), batch.bytes)] {
                auto self = weakSelf.lock();
                if (!self) {
                    return;
                }
                if (auto output = self->running_ ? self->output() : nullptr) {
                    output->didOutputSampleBuffer(*self, buffer, StreamOutputType::audio);
                }
                if (then) {
                    self->shared_->after(*then, [weakSelf](Shared&) {
                        if (auto again = weakSelf.lock()) {
                            --again->inFlight_;
                            again->step();
                        }
                    });
                }
            });
    }

    // Runs `work` on the service's thread once the sample queue has run what it holds now.
    void afterQueue(std::function<void(Shared&)> work) {
        auto hop = [weakShared = std::weak_ptr(shared_), work = std::move(work)] {
            if (auto shared = weakShared.lock()) {
                shared->after(milliseconds(0), work);
            }
        };
        const auto queue = sampleQueue();
        queue ? queue->async(std::move(hop)) : hop();
    }

    std::shared_ptr<platform::SerialQueue> sampleQueue() {
        std::lock_guard lock(mutex_);
        return queue_;
    }
    std::shared_ptr<StreamOutput> output() {
        std::lock_guard lock(mutex_);
        return output_.lock();
    }

    const std::shared_ptr<Shared> shared_;
    const std::weak_ptr<StreamDelegate> delegate_;
    std::mutex mutex_;  // guards output_ and queue_
    std::weak_ptr<StreamOutput> output_;
    std::shared_ptr<platform::SerialQueue> queue_;
    std::atomic<bool> running_{false};  // between the start's hand-over and a stop
    // Service thread only: the events, where the stream is in them, and the buffers handed over
    // whose call to step() has not come yet.
    std::span<const StreamEvent> events_;
    std::size_t next_ = 0;
    std::int64_t played_ = 0;
    int inFlight_ = 0;
    static constexpr int kFloodWindow = 4;
};

}  // namespace

SimulatedCaptureService::SimulatedCaptureService(Scenario scenario)
    : shared_(std::make_shared<Shared>(std::move(scenario))) {}

Record SimulatedCaptureService::record() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->record;
}

void SimulatedCaptureService::getShareableContent(bool, bool, ContentCompletion completion) {
    const ContentAnswer answer =
        pick(shared_->scenario.contentAnswers, shared_->bump(&Record::contentQueries));
    shared_->after(milliseconds(shared_->scenario.contentDelayMs),
                   [answer, completion](Shared& shared) {
                       completion(answer.content, answer.error);
                       shared.bump(&Record::contentAnswers);
                   });
}

void SimulatedCaptureService::listPlayingApplications(PlayingCompletion completion) {
    shared_->after(milliseconds(shared_->scenario.contentDelayMs), [completion](Shared& shared) {
        const auto& answers = shared.scenario.contentAnswers;
        const std::optional<Error> error = answers.empty() ? std::nullopt : answers[0].error;
        completion(error ? std::nullopt : std::optional(shared.scenario.playing), error);
    });
}

std::shared_ptr<CaptureStream> SimulatedCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration&,
    std::weak_ptr<StreamDelegate> delegate) {
    {
        std::lock_guard lock(shared_->mutex);
        ++shared_->record.streamsMade;
        shared_->record.lastFilter = filter;
    }
    return std::make_shared<SimulatedStream>(shared_, std::move(delegate));
}

}  // namespace halvo::sim
