#include "capture/pulse/pulse_capture_stream.h"

#include <pulse/error.h>

#include "logging/lines.h"
#include "platform/thread_check.h"

namespace halvo::pulse {

namespace {

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
    dropPending();
    active_.reset();
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
        feeder_.push(recordedChunk(data, length));
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
        openPending(*step.open);
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
