#include "tests/sim/simulated_capture_service.h"

#include <algorithm>

#include "platform/process.h"

namespace halvo::sim {

using std::chrono::milliseconds;

struct SimulatedCaptureService::Shared {
    explicit Shared(Scenario s) : scenario(std::move(s)) {}

    const Scenario scenario;
    std::mutex mutex;  // guards record and startedStreams
    Record record;
    // Work on the scheduler holds the service weakly: it must not keep its own scheduler alive.
    static void count(const std::weak_ptr<Shared>& weakShared, int Record::*field) {
        if (auto shared = weakShared.lock()) {
            std::lock_guard lock(shared->mutex);
            ++(shared->record.*field);
        }
    }
    // Counts one more of `field` now: how many there were before.
    int bump(int Record::*field) {
        std::lock_guard lock(mutex);
        return (record.*field)++;
    }
    int startedStreams = 0;
    std::atomic<std::uint64_t> deliveredBytes{0};  // position in the byte pattern
    Scheduler scheduler;                           // last member: joined first on destruction

    template <typename T>
    static T pick(const std::vector<T>& list, int occurrence, T fallback) {
        if (list.empty()) {
            return fallback;
        }
        return list[std::min<std::size_t>(static_cast<std::size_t>(occurrence), list.size() - 1)];
    }

    platform::SampleBuffer makeBuffer(const BufferBatch& batch);

    // Runs `then` on the scheduler once `queue`, if there is one, has run what it holds now.
    static void afterQueue(const std::shared_ptr<Shared>& shared,
                           const std::shared_ptr<platform::SerialQueue>& queue,
                           std::function<void()> then) {
        auto schedule = [shared, then = std::move(then)] {
            shared->scheduler.after(milliseconds(0), then);
        };
        queue ? queue->async(std::move(schedule)) : schedule();
    }
};

namespace {

// Filled once; any stretch of the pattern is a copy out of it.
const std::vector<std::byte>& patternTable() {
    static const std::vector<std::byte> table = [] {
        std::vector<std::byte> bytes(251 + BufferBatch::kMostBytes);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::byte>(patternByte(i));
        }
        return bytes;
    }();
    return table;
}

}  // namespace

platform::SampleBuffer SimulatedCaptureService::Shared::makeBuffer(const BufferBatch& batch) {
    platform::SampleBuffer buffer;
    buffer.numSamples = static_cast<std::int64_t>(batch.bytes / 4);
    buffer.formatDescription =
        std::make_shared<const platform::FormatDescription>(platform::AudioStreamBasicDescription{
            48000, platform::kAudioFormatLinearPCM,
            platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked, 4, 1, 4, 1,
            32});
    const auto from = patternTable().begin() + deliveredBytes.fetch_add(batch.bytes) % 251;
    buffer.dataBuffer =
        platform::BlockBuffer::contiguous(platform::BlockBuffer::Run(from, from + batch.bytes));
    return buffer;
}

namespace {

using Shared = SimulatedCaptureService::Shared;
using Record = SimulatedCaptureService::Record;

class SimulatedStream : public CaptureStream, public std::enable_shared_from_this<SimulatedStream> {
  public:
    SimulatedStream(std::shared_ptr<Shared> shared, std::weak_ptr<StreamDelegate> delegate)
        : shared_(std::move(shared)), delegate_(std::move(delegate)) {}

    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType,
                                         std::shared_ptr<platform::SerialQueue> queue) override {
        std::lock_guard lock(mutex_);
        output_ = std::move(output);
        sampleQueue_ = std::move(queue);
        return std::nullopt;
    }

    void startCapture(CaptureCompletion completion) override {
        const std::optional<Error> outcome = Shared::pick<std::optional<Error>>(
            shared_->scenario.startErrors, shared_->bump(&Record::startRequests), std::nullopt);
        shared_->scheduler.after(milliseconds(shared_->scenario.startDelayMs),
                                 [weakSelf = weak_from_this(), weakShared = std::weak_ptr(shared_),
                                  outcome, completion = std::move(completion)]() mutable {
                                     auto self = weakSelf.lock();
                                     if (!self || outcome) {
                                         completion(outcome);
                                         Shared::count(weakShared, &Record::startAnswers);
                                         return;
                                     }
                                     self->beginRunning(std::move(completion));
                                 });
    }

    void stopCapture(CaptureCompletion completion) override {
        shared_->bump(&Record::stopRequests);
        std::optional<Error> outcome;
        std::shared_ptr<platform::SerialQueue> queue;
        {
            std::lock_guard lock(mutex_);
            if (!running_) {
                outcome = Error{"The stream is not running."};
            }
            running_ = false;
            queue = sampleQueue_;
        }
        // Complete only once the buffer in progress is out, so the totals count it.
        Shared::afterQueue(shared_, queue,
                           [weakShared = std::weak_ptr(shared_), outcome, completion] {
                               completion(outcome);
                               Shared::count(weakShared, &Record::stopAnswers);
                           });
    }

  private:
    // Scheduler thread. Delivers the early buffers, waits until the sample queue has handed
    // them over, then reports the start and plays the stream's events.
    void beginRunning(CaptureCompletion completion) {
        std::shared_ptr<platform::SerialQueue> queue;
        {
            std::lock_guard lock(shared_->mutex);
            ordinal_ = ++shared_->startedStreams;
        }
        {
            std::lock_guard lock(mutex_);
            running_ = true;
            queue = sampleQueue_;
        }
        for (const StreamEvent& event : shared_->scenario.eventsForStream(ordinal_)) {
            const auto* batch = std::get_if<BufferBatch>(&event);
            if (batch != nullptr && batch->beforeStartCompletes) {
                for (std::int64_t i = 0; i < batch->count; ++i) {
                    deliver(*batch);
                }
            }
        }
        Shared::afterQueue(
            shared_, queue,
            [weakSelf = weak_from_this(), weakShared = std::weak_ptr(shared_), completion] {
                completion(std::nullopt);
                Shared::count(weakShared, &Record::startAnswers);
                if (auto self = weakSelf.lock()) {
                    self->playNext();
                }
            });
    }

    bool isRunning() {
        std::lock_guard lock(mutex_);
        return running_;
    }
    std::shared_ptr<platform::SerialQueue> sampleQueue() {
        std::lock_guard lock(mutex_);
        return sampleQueue_;
    }

    // Scheduler thread: plays events one after another. A buffer's successor is handed over only
    // after the output has taken it (a few at once when buffers come without pause), so a slow
    // reader slows the stream instead of growing a queue. Every buffer handed over calls this
    // once more, after its interval; only then does it stop counting as in flight, so a batch
    // ends, and a system stop after it comes, once, when the last of those calls has come.
    void playNext() {
        const auto& events = shared_->scenario.eventsForStream(ordinal_);
        while (isRunning() && nextEvent_ < events.size()) {
            const StreamEvent& event = events[nextEvent_];
            if (const auto* batch = std::get_if<BufferBatch>(&event)) {
                if (batch->beforeStartCompletes ||
                    (batch->count != BufferBatch::kForever && deliveredInBatch_ >= batch->count)) {
                    if (inFlight_ > 0) {
                        return;  // the last buffer's hand-over plays on
                    }
                    ++nextEvent_;
                    deliveredInBatch_ = 0;
                    continue;
                }
                const int window = batch->intervalMs == 0 ? kFloodWindow : 1;
                if (inFlight_ >= window) {
                    return;
                }
                ++deliveredInBatch_;
                ++inFlight_;
                deliver(*batch, milliseconds(batch->intervalMs));
                continue;
            }
            ++nextEvent_;
            {
                std::lock_guard lock(mutex_);
                running_ = false;
            }
            if (auto delegate = delegate_.lock()) {
                delegate->didStopWithError(*this, std::get<SystemStop>(event).error);
            }
            Shared::count(shared_, &Record::systemStops);
            return;
        }
    }

    // Hands one buffer to the sample queue; with `then`, plays on after the output returned.
    void deliver(const BufferBatch& batch, std::optional<milliseconds> then = std::nullopt) {
        const std::shared_ptr<platform::SerialQueue> queue = sampleQueue();
        if (!queue) {
            return;  // nobody registered: the buffer goes nowhere
        }
        auto buffer = std::make_shared<platform::SampleBuffer>(shared_->makeBuffer(batch));
        queue->async([weakSelf = weak_from_this(), buffer, then] {
            auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            std::shared_ptr<StreamOutput> output;
            {
                std::lock_guard lock(self->mutex_);
                output = self->running_ ? self->output_.lock() : nullptr;
            }
            if (output) {
                output->didOutputSampleBuffer(*self, *buffer, StreamOutputType::audio);
            }
            if (then) {
                self->shared_->scheduler.after(*then, [weakSelf] {
                    if (auto again = weakSelf.lock()) {
                        --again->inFlight_;
                        again->playNext();
                    }
                });
            }
        });
    }

    const std::shared_ptr<Shared> shared_;
    const std::weak_ptr<StreamDelegate> delegate_;
    std::mutex mutex_;  // guards output_, sampleQueue_ and running_
    std::weak_ptr<StreamOutput> output_;
    std::shared_ptr<platform::SerialQueue> sampleQueue_;
    bool running_ = false;
    // Scheduler thread only.
    int ordinal_ = 0;
    std::size_t nextEvent_ = 0;
    std::int64_t deliveredInBatch_ = 0;
    // Buffers given to the sample queue whose call back to playNext() has not come yet.
    int inFlight_ = 0;
    static constexpr int kFloodWindow = 4;
};

}  // namespace

SimulatedCaptureService::SimulatedCaptureService(Scenario scenario)
    : shared_(std::make_shared<Shared>(std::move(scenario))) {}

SimulatedCaptureService::~SimulatedCaptureService() = default;

SimulatedCaptureService::Record SimulatedCaptureService::record() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->record;
}

void SimulatedCaptureService::getShareableContent(bool, bool, ContentCompletion completion) {
    const ContentAnswer answer =
        Shared::pick(shared_->scenario.contentAnswers, shared_->bump(&Record::contentQueries), {});
    std::optional<ShareableContent> content;
    if (!answer.error) {
        content.emplace();
        content->displays = answer.displays;
        for (std::int64_t id : answer.applicationProcessIDs) {
            const auto pid = id == ContentAnswer::kSelf ? platform::processIdentifier()
                                                        : static_cast<std::int32_t>(id);
            content->applications.push_back(RunningApplication{pid, "app " + std::to_string(pid)});
        }
    }
    shared_->scheduler.after(milliseconds(shared_->scenario.contentDelayMs),
                             [weakShared = std::weak_ptr(shared_), content = std::move(content),
                              error = answer.error, completion = std::move(completion)] {
                                 completion(content, error);
                                 Shared::count(weakShared, &Record::contentAnswers);
                             });
}

void SimulatedCaptureService::listPlayingApplications(PlayingCompletion completion) {
    const auto& answers = shared_->scenario.contentAnswers;
    std::optional<Error> error = answers.empty() ? std::nullopt : answers.front().error;
    auto playing = error ? std::nullopt : std::optional(shared_->scenario.playing);
    shared_->scheduler.after(milliseconds(shared_->scenario.contentDelayMs),
                             [playing = std::move(playing), error = std::move(error),
                              completion = std::move(completion)] { completion(playing, error); });
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
