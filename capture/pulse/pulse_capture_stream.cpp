#include "capture/pulse/pulse_capture_stream.h"

#include <pulse/error.h>

#include <algorithm>
#include <cstdio>

#include "logging/lines.h"
#include "platform/thread_check.h"

namespace halvo::pulse {

namespace {

// Seconds with one decimal, for lines about gaps.
std::string secondsText(TimelineKeeper::Clock::duration duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double>(duration).count());
    return text;
}

const char* const kNotRunning = "The stream is not running.";

// Only thread checks read it, and release builds compile them away.
[[maybe_unused]] const char* const kCallbackRule = "libpulse's callbacks run with the lock held";

bool hasEnded(pa_stream_state_t state) {
    return state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
}

}  // namespace

PulseCaptureStream::PulseCaptureStream(std::shared_ptr<PulseBackend> backend, PcmFormat format,
                                       std::weak_ptr<StreamDelegate> delegate)
    : backend_(std::move(backend)),
      format_(format),
      sampleFormat_{PA_SAMPLE_FLOAT32LE, format.sampleRate,
                    static_cast<std::uint8_t>(format.channels)},
      delegate_(std::move(delegate)),
      feeder_(format, kPendingSeconds * format.bytesPerSecond(),
              [backend = backend_](const std::string& message) {
                  backend->queue().async([message] { logErr(message); });
              }) {}

PulseCaptureStream::~PulseCaptureStream() {
    {
        MainLoopLock lock(backend_->loop());
        closeRecording();
    }
    feeder_.close();
}

std::optional<Error> PulseCaptureStream::addStreamOutput(
    std::weak_ptr<StreamOutput> output, StreamOutputType type,
    std::shared_ptr<platform::SerialQueue> sampleQueue) {
    if (!sampleQueue) {
        return Error{pa_strerror(PA_ERR_INVALID)};
    }
    // Only audio is ever recorded: an output of another type is accepted and never called.
    if (type == StreamOutputType::audio) {
        feeder_.setOutput(std::move(output), std::move(sampleQueue));
    }
    return std::nullopt;
}

void PulseCaptureStream::startCapture(CaptureCompletion completion) {
    backend_->queue().async([weakSelf = weak_from_this(), completion = std::move(completion)] {
        auto self = weakSelf.lock();
        completion(self ? self->start().failure() : Error{kNotRunning});
    });
}

void PulseCaptureStream::stopCapture(CaptureCompletion completion) {
    backend_->queue().async(
        [weakSelf = weak_from_this(), backend = backend_, completion = std::move(completion)] {
            auto self = weakSelf.lock();
            if (!self) {
                completion(Error{kNotRunning});
                return;
            }
            std::optional<Error> outcome = self->stop().failure();
            // The completion waits for the buffer the output may be writing, so the totals
            // the controller reports count every byte written.
            self->feeder_.close([backend, outcome, completion] {
                backend->queue().async([outcome, completion] { completion(outcome); });
            });
        });
}

Expected<void> PulseCaptureStream::start() {
    HALVO_CHECK_THREAD(backend_->queue().isCurrent(), "starts run on the service thread");
    {
        MainLoopLock lock(backend_->loop());
        if (!plan_.beginStart()) {
            return Error{"The stream has already been started."};
        }
    }
    Expected<std::shared_ptr<PulseContext>> connection = backend_->connection();
    MainLoopLock lock(backend_->loop());
    if (!connection) {
        return failStart(connection.error());
    }
    if (!pa_sample_spec_valid(&sampleFormat_)) {
        return failStart(Error{pa_strerror(PA_ERR_INVALID)});
    }
    Expected<std::string> sink = (*connection)->readDefaultSink();
    if (!sink) {
        return failStart(sink.error());
    }
    if (sink->empty()) {
        return failStart(Error{pa_strerror(PA_ERR_NOENTITY)});
    }
    // Never "<sink>.monitor" by name alone: any source may carry that name.
    Expected<MonitorSource> monitor = (*connection)->readMonitorSource(*sink);
    if (!monitor) {
        return failStart(monitor.error());
    }
    connection_ = *connection;
    feeder_.open(weak_from_this());
    Expected<std::unique_ptr<PulseRecordStream>> opened =
        PulseRecordStream::open(connection_, *monitor, sampleFormat_, fragmentBytes(), *this);
    if (!opened) {
        return failStart(opened.error());
    }
    active_ = std::move(*opened);
    // A server may take the stream and never create it (PipeWire's pulse server without a
    // session manager): the deadline gives the start back, and the next START tries afresh.
    if (Expected<void> created =
            connection_->waitUntil([this] { return active_->state() != PA_STREAM_CREATING; });
        !created) {
        return failStart(created.error());
    }
    if (active_->state() != PA_STREAM_READY) {
        return failStart(Error{active_->lastError()});
    }
    if (!active_->recordsItsSource()) {
        return failStart(Error{kNoMonitorSource});
    }
    plan_.started(*sink);
    connection_->addListener(*this);
    listening_ = true;
    timeline_.emplace(format_.sampleRate, TimelineKeeper::Clock::now());
    armTimelineTimer();
    askSilenceReasons();
    return {};
}

std::uint32_t PulseCaptureStream::fragmentBytes() const {
    return static_cast<std::uint32_t>(kFragmentFrames * format_.bytesPerFrame());
}

Expected<void> PulseCaptureStream::failStart(Error error) {
    HALVO_CHECK_THREAD(backend_->queue().isCurrent(), "starts run on the service thread");
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), "a failed start is undone with the lock held");
    plan_.startFailed();
    closeRecording();
    feeder_.close();
    return error;
}

Expected<void> PulseCaptureStream::stop() {
    HALVO_CHECK_THREAD(backend_->queue().isCurrent(), "stops run on the service thread");
    MainLoopLock lock(backend_->loop());
    const bool wasRunning = plan_.requestStop();
    closeRecording();
    if (!wasRunning) {
        return Error{kNotRunning};
    }
    return {};
}

void PulseCaptureStream::closeRecording() {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), "the recording is closed with the lock held");
    if (listening_) {
        connection_->removeListener(*this);
        listening_ = false;
    }
    defaultSinkQuery_.reset();
    defaultSinkDeadline_.reset();
    defaultAwait_.reset();
    dropPending();
    active_.reset();
    timelineTimer_.reset();
    timeline_.reset();
    silenceQuery_.reset();
}

void PulseCaptureStream::dropPending() {
    pendingDeadline_.reset();
    monitorQuery_.reset();
    pending_.reset();
}

void PulseCaptureStream::recordStreamStateChanged(PulseRecordStream& stream) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (!plan_.running()) {
        return;  // a start is waiting for this state itself
    }
    const pa_stream_state_t state = stream.state();
    const bool serverLost = !connection_->isReady();
    if (&stream == active_.get() && hasEnded(state)) {
        std::string description = stream.lastError();
        active_.reset();
        take(plan_.activeEnded(std::move(description), serverLost));
    } else if (&stream == pending_.get() && hasEnded(state)) {
        pendingFailed(stream.lastError());
    } else if (&stream == pending_.get() && state == PA_STREAM_READY &&
               !stream.recordsItsSource()) {
        pendingFailed(kNoMonitorSource);
    }
}

void PulseCaptureStream::recordStreamMoved(PulseRecordStream& stream) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (!plan_.running()) {
        return;  // a start checks recordsItsSource() itself
    }
    if (&stream == active_.get()) {
        active_.reset();
        take(plan_.activeEnded(kMovedOffMonitor, false));
    } else if (&stream == pending_.get()) {
        pendingFailed(kMovedOffMonitor);
    }
}

void PulseCaptureStream::recordStreamRead(PulseRecordStream& stream, const void* data,
                                          std::size_t length) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (&stream == pending_.get()) {
        if (!stream.recordsItsSource()) {
            return;  // what it records is not the new default's monitor
        }
        // The new monitor's first audio: the old one has delivered up to about now, so
        // switching here leaves next to no gap (switching when the new stream is merely ready
        // would lose the old monitor's last fragment).
        take(plan_.pendingReady());
    }
    if (&stream == active_.get()) {
        deliverRecorded(data, length);
    }
}

void PulseCaptureStream::deliverRecorded(const void* data, std::size_t length) {
    if (!timeline_) {  // audio that came before the start was through: not yet timed
        feeder_.push(recordedChunk(data, length), *this);
        return;
    }
    const std::size_t frameBytes = format_.bytesPerFrame();
    const auto now = TimelineKeeper::Clock::now();
    const TimelineKeeper::Arrival arrival = timeline_->audioArrived(now, length / frameBytes);
    if (arrival.quietEnded) {
        log("Audio from the server again after " + secondsText(*arrival.quietEnded) + " s");
    }
    if (arrival.silenceBeforeFrames > 0) {
        feeder_.push(std::vector<std::byte>(arrival.silenceBeforeFrames * frameBytes), *this);
    }
    // Audio the server held back while silence stood in for it: what would run ahead goes.
    const std::size_t skipped = std::min(length, arrival.dropLeadingFrames * frameBytes);
    if (skipped < length) {
        const void* rest =
            data == nullptr ? nullptr : static_cast<const std::byte*>(data) + skipped;
        feeder_.push(recordedChunk(rest, length - skipped), *this);
    }
    // Moving the timer wakes libpulse's loop once more (a write to its wake-up pipe), so it is
    // moved only when it would fire soon: at most every half gap, not at every chunk.
    if (timelineDeadline_ - now < TimelineKeeper::kGapAfter / 2) {
        armTimelineTimer();
    }
}

void PulseCaptureStream::keepTimeline() {
    HALVO_CHECK_THREAD(backend_->loop().isLoopThread(), "timers expire on the loop's thread");
    if (!timeline_) {
        return;
    }
    const auto now = TimelineKeeper::Clock::now();
    if (now < timeline_->nextTick()) {
        armTimelineTimer();  // audio came since the timer was set: not a gap yet
        return;
    }
    const TimelineKeeper::Tick tick = timeline_->tick(now);
    if (tick.silenceFrames > 0) {
        feeder_.push(std::vector<std::byte>(tick.silenceFrames * format_.bytesPerFrame()), *this);
    }
    if (tick.quietBegan) {
        log("No audio from the server for " +
            std::to_string(TimelineKeeper::kQuietAfter.count() / 1000) +
            " s: silence fills the gap until it delivers again");
    }
    armTimelineTimer();
}

void PulseCaptureStream::armTimelineTimer() {
    timelineDeadline_ = timeline_->nextTick();
    const auto due = std::chrono::ceil<std::chrono::microseconds>(timelineDeadline_ -
                                                                  TimelineKeeper::Clock::now());
    const auto timeout = std::max(due, std::chrono::microseconds::zero());
    auto expired = [this] { keepTimeline(); };
    if (timelineTimer_) {
        timelineTimer_->restart(timeout, std::move(expired));
    } else {
        // Without a timer (libpulse refused one) gaps stay unfilled; the audio still flows.
        timelineTimer_ = connection_->startTimer(
            std::chrono::ceil<std::chrono::milliseconds>(timeout), std::move(expired));
    }
}

void PulseCaptureStream::deviceChanged(Device device, std::uint32_t index) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (!plan_.running() || !active_) {
        return;
    }
    const MonitorSource& recorded = active_->source();
    if ((device == Device::sink && index == recorded.sinkIndex) ||
        (device == Device::source && index == recorded.index)) {
        askSilenceReasons();
    }
}

void PulseCaptureStream::askSilenceReasons() {
    if (silenceQuery_) {
        silenceReasonsStale_ = true;  // read again once this reading is in
        return;
    }
    if (!active_) {
        return;
    }
    silenceQuery_ = connection_->querySilenceReasons(
        active_->source(),
        [this](const Expected<SilenceReasons>& reasons) { silenceReasonsRead(reasons); });
}

void PulseCaptureStream::silenceReasonsRead(const Expected<SilenceReasons>& reasons) {
    silenceQuery_.reset();  // answered: nothing is out any more
    // A failed reading (the sink just went) changes nothing: what follows it is read anew.
    if (reasons) {
        for (const std::string& message : silenceReasonChanges(silenceReasons_, *reasons)) {
            log(message);
        }
        silenceReasons_ = *reasons;
    }
    if (std::exchange(silenceReasonsStale_, false)) {
        askSilenceReasons();
    }
}

void PulseCaptureStream::serverChanged() {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (plan_.running()) {
        askDefaultSink();
    }
}

void PulseCaptureStream::connectionLost(const std::string& description) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    take(plan_.connectionLost(description));
}

void PulseCaptureStream::take(const RecordingPlan::Step& step) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (step.stop) {
        closeRecording();
        reportStoppedBySystem(*step.stop);
        return;
    }
    if (step.closePending) {
        dropPending();
    }
    if (step.open) {
        defaultAwait_.reset();
        openPending(*step.open);
    }
    if (step.awaitDefault) {
        // Silence keeps the timeline meanwhile; a timer that cannot be set means no wait.
        defaultAwait_ =
            connection_->startTimer(kNewDefaultWait, [this] { take(plan_.defaultAwaitEnded()); });
        if (!defaultAwait_) {
            take(plan_.defaultAwaitEnded());
        }
    }
    if (step.promotePending) {
        promotePending();
    }
    if (step.askDefaultSink) {
        askDefaultSink();
    }
}

void PulseCaptureStream::openPending(const std::string& sink) {
    // The monitor's look-up, the stream's creation and its first audio get one deadline.
    pendingDeadline_ = connection_->startTimer(
        kRequestTimeout, [this] { pendingFailed(pa_strerror(PA_ERR_TIMEOUT)); });
    // The record stream opens once the new default's monitor checks out.
    monitorQuery_ = connection_->queryMonitorSource(
        sink, [this](const Expected<MonitorSource>& monitor) { openPendingOn(monitor); });
    if (!monitorQuery_) {
        pendingFailed(connection_->lastError());
    }
}

void PulseCaptureStream::openPendingOn(const Expected<MonitorSource>& monitor) {
    monitorQuery_.reset();  // answered: nothing is out any more
    if (!monitor) {
        pendingFailed(monitor.error().localizedDescription);
        return;
    }
    Expected<std::unique_ptr<PulseRecordStream>> opened =
        PulseRecordStream::open(connection_, *monitor, sampleFormat_, fragmentBytes(), *this);
    if (!opened) {
        pendingFailed(opened.error().localizedDescription);
        return;
    }
    pending_ = std::move(*opened);
}

void PulseCaptureStream::pendingFailed(std::string description) {
    dropPending();
    take(plan_.pendingFailed(std::move(description), !connection_->isReady()));
}

void PulseCaptureStream::promotePending() {
    if (active_) {
        active_->readAvailable();  // what the old monitor delivered still counts
    }
    active_ = std::move(pending_);
    pendingDeadline_.reset();
    log(followingMessage(active_->sourceName()));
    askSilenceReasons();  // another output: its own reasons, told as changes from the old one's
}

void PulseCaptureStream::askDefaultSink() {
    // A newer question replaces an older one, whose answer would be stale. No answer in time
    // counts as no default: the plan keeps what it records, or stops when it records nothing.
    const auto answered = [this](const std::string& sink) {
        defaultSinkQuery_.reset();
        defaultSinkDeadline_.reset();
        take(plan_.defaultSinkIs(sink));
    };
    defaultSinkQuery_ = connection_->queryDefaultSink(
        [answered](const Expected<std::string>& sink) { answered(sink ? *sink : std::string()); });
    defaultSinkDeadline_ = connection_->startTimer(kRequestTimeout, [answered] { answered(""); });
    if (!defaultSinkQuery_) {
        answered("");
    }
}

void PulseCaptureStream::reportStoppedBySystem(const std::string& description) {
    backend_->queue().async([weakSelf = weak_from_this(), delegate = delegate_, description] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        if (auto strongDelegate = delegate.lock()) {
            strongDelegate->didStopWithError(*self, Error{description});
        }
    });
}

void PulseCaptureStream::log(std::string message) {
    backend_->queue().async([message = std::move(message)] { logErr(message); });
}

}  // namespace halvo::pulse
