#include "services/pulse/pulse_capture_stream.h"

#include <pulse/error.h>

#include <algorithm>

#include "platform/thread_check.h"

namespace halvo::pulse {

namespace {

// Only thread checks read it, and release builds compile them away.
[[maybe_unused]] const char* const kCallbackRule = "libpulse's callbacks run with the lock held";

bool hasEnded(pa_stream_state_t state) {
    return state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
}

}  // namespace

PulseCaptureStream::PulseCaptureStream(std::shared_ptr<PulseBackend> backend, PcmFormat format,
                                       std::weak_ptr<StreamDelegate> delegate, ApplicationRule rule)
    : QueuedCaptureStream(std::move(backend), format, std::move(delegate)),
      rule_(std::move(rule)),
      silence_([this](std::string message) { log(std::move(message)); },
               [this] { updateAbsence(); }),
      follower_(plan_, *this, kRequestTimeout) {}

PulseCaptureStream::~PulseCaptureStream() {
    {
        MainLoopLock lock(backend_->loop());
        closeRecording();
    }
    feeder_.close();
}

Expected<void> PulseCaptureStream::start() {
    Expected<std::shared_ptr<PulseContext>> connection = backend_->connection();
    std::shared_ptr<PulseContext> streamConnection;
    if (connection) {
        if (Expected<std::shared_ptr<PulseContext>> made = backend_->streamConnection(); made) {
            streamConnection = std::move(*made);
        }
    }
    MainLoopLock lock(backend_->loop());
    if (!connection) {
        return failStart(connection.error());
    }
    if (format_.channels != 1) {  // channels are averaged to mono
        return failStart(Error{pa_strerror(PA_ERR_NOTSUPPORTED)});
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
    streamConnection_ = std::move(streamConnection);
    if (rule_.kind != ApplicationRule::Kind::everything) {
        // Before the output's stream: its very first delivery already stands for the mix.
        applications_ = std::make_unique<ApplicationCapture>(
            connection_, rule_, format_.sampleRate, kPendingSeconds * format_.sampleRate,
            [backend = backend_](std::string message) {
                backend->queue().async([message = std::move(message)] { logErr(message); });
            },
            [backend = backend_](std::shared_ptr<PulseContext> own) {
                backend->queue().async([own = std::move(own)] {});
            },
            backend_->unmatchedNamed());
        applications_->follow(*monitor);
    }
    feeder_.open(weak_from_this());
    Expected<std::unique_ptr<PulseRecordStream>> opened =
        PulseRecordStream::open(connection_, *monitor, format_.sampleRate, kFragmentFrames, *this);
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
    timeline_.begin(CaptureTimeline::Clock::now());
    updateAbsence();
    silence_.watch(connection_, active_->source());
    return {};
}

void PulseCaptureStream::closeRecording() {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), "the recording is closed with the lock held");
    if (listening_) {
        connection_->removeListener(*this);
        listening_ = false;
    }
    follower_.cancel();
    defaultSinkQuery_.reset();
    defaultSinkDeadline_.reset();
    closePending();
    active_.reset();
    applications_.reset();
    timelineTimer_.reset();
    timeline_.end();
    silence_.stop();
    // Let go on the service thread: this may run inside a callback of that very connection.
    if (streamConnection_) {
        backend_->queue().async([connection = std::move(streamConnection_)] {});
    }
}

void PulseCaptureStream::recordStreamStateChanged(PulseRecordStream& stream) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (!plan_.running()) {
        return;  // a start is waiting for this state itself
    }
    const pa_stream_state_t state = stream.state();
    if (&stream == active_.get() && hasEnded(state)) {
        activeEnded(stream.lastError(), !connection_->isReady());
    } else if (&stream == pending_.get() && hasEnded(state)) {
        pendingFailed(stream.lastError());
    } else if (&stream == pending_.get() && state == PA_STREAM_READY &&
               !stream.recordsItsSource()) {
        pendingFailed(kNoMonitorSource);
    }
    updateAbsence();
}

void PulseCaptureStream::recordStreamMoved(PulseRecordStream& stream) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (!plan_.running()) {
        return;  // a start checks recordsItsSource() itself
    }
    if (&stream == active_.get()) {
        activeEnded(kMovedOffMonitor, false);
    } else if (&stream == pending_.get()) {
        pendingFailed(kMovedOffMonitor);
    }
}

void PulseCaptureStream::activeEnded(std::string description, bool serverLost) {
    active_.reset();
    silence_.unwatch();
    follower_.take(plan_.activeEnded(std::move(description), serverLost));
}

void PulseCaptureStream::recordStreamReadable(PulseRecordStream& stream,
                                              std::size_t readableBytes) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (&stream == active_.get()) {
        readActive();
        return;
    }
    if (&stream != pending_.get() || !stream.recordsItsSource()) {
        return;  // what it records is not the new default's monitor
    }
    // The new monitor's audio stays in libpulse's buffer until it takes over. Each delivery says
    // when the stream began at the latest: the audio that waits ended about now, and began no
    // earlier than the stream.
    const auto now = CaptureTimeline::Clock::now();
    const auto frames =
        static_cast<std::int64_t>(readableBytes / (sizeof(float) * stream.channels()));
    const auto since =
        std::max(now - std::chrono::duration_cast<CaptureTimeline::Clock::duration>(
                           std::chrono::microseconds(frames * 1'000'000 / format_.sampleRate)),
                 stream.readyAt());
    pendingSince_ = std::min(pendingSince_.value_or(since), since);
    if (++pendingDeliveries_ >= kDeliveriesBeforeJoining) {
        follower_.take(plan_.pendingReady());
    } else {
        updateAbsence();
    }
}

void PulseCaptureStream::recordStreamRead(PulseRecordStream& stream, const void* data,
                                          std::size_t length) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (&stream != active_.get()) {
        return;
    }
    const std::uint32_t channels = stream.channels();
    const std::size_t frameBytes = sizeof(float) * channels;
    const std::size_t frames = length / frameBytes;
    // The start of a new stream's audio that the old one's already covered.
    const auto skipped = static_cast<std::size_t>(std::min<std::uint64_t>(frames, dropFrames_));
    dropFrames_ -= skipped;
    if (skipped < frames) {
        const void* rest =
            data == nullptr ? nullptr : static_cast<const std::byte*>(data) + skipped * frameBytes;
        feeder_.push(applications_ ? applications_->take(frames - skipped)
                                   : monoChunk(rest, frames - skipped, channels),
                     *this);
    }
}

void PulseCaptureStream::recordStreamSuspended(PulseRecordStream& stream) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (&stream == active_.get()) {
        updateAbsence();
    }
}

void PulseCaptureStream::readActive(bool newStream) {
    // Audio that came before the start was through is not timed.
    if (timeline_.running()) {
        const std::size_t frames = active_->readableBytes() / (sizeof(float) * active_->channels());
        const auto since =
            newStream ? pendingSince_.value_or(CaptureTimeline::Clock::now()) : active_->readyAt();
        dropFrames_ = timeline_.audioArrived(frames, since, newStream);
    }
    active_->readAvailable();
}

void PulseCaptureStream::updateAbsence() {
    // Suspended, or nothing recording that delivers: silence stands in. A new stream that has
    // begun to deliver ends the stretch, so the silence stops short of where its audio begins.
    timeline_.setAbsent(active_ ? active_->suspended() || silence_.reasons().outputSuspended
                                : pendingDeliveries_ == 0);
}

void PulseCaptureStream::setTimelineTimer(CaptureTimeline::Clock::duration timeout) {
    const auto due = std::max(std::chrono::ceil<std::chrono::microseconds>(timeout),
                              std::chrono::microseconds::zero());
    auto expired = [this] {
        HALVO_CHECK_THREAD(backend_->loop().isLoopThread(), "timers expire on the loop's thread");
        timeline_.expired();
    };
    if (timelineTimer_) {
        timelineTimer_->restart(due, std::move(expired));
    } else {
        // Without a timer (libpulse refused one) gaps stay unfilled; the audio still flows.
        timelineTimer_ = connection_->startTimer(std::chrono::ceil<std::chrono::milliseconds>(due),
                                                 std::move(expired));
    }
}

void PulseCaptureStream::deviceChanged(Device device, std::uint32_t index) {
    HALVO_CHECK_THREAD(backend_->loop().holdsLock(), kCallbackRule);
    if (!plan_.running()) {
        return;
    }
    if (active_) {
        silence_.deviceChanged(device, index);
    } else if (device == Device::sink && plan_.awaitingDefault()) {
        // Waiting for a new default: a sink that came may be one the server already names.
        askDefaultSink();
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
    follower_.take(plan_.connectionLost(description));
}

void PulseCaptureStream::openPending(const std::string& sink) {
    // The monitor's look-up, the stream's creation and its first audio share the follower's
    // deadline. The record stream opens once the new default's monitor checks out.
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
    // PipeWire's pulse server sends a connection's recorded audio only while nothing else waits
    // to go out on it, and what one stream hands over goes out a turn of its loop later: of two
    // streams whose audio comes in the same turn, turn after turn (two outputs ticking in step),
    // the second never delivers. So the new default's stream goes on the connection that the
    // recorded one does not use.
    const bool apart = streamConnection_ && streamConnection_->isReady() &&
                       !(active_ && active_->connection() == streamConnection_);
    Expected<std::unique_ptr<PulseRecordStream>> opened =
        PulseRecordStream::open(apart ? streamConnection_ : connection_, *monitor,
                                format_.sampleRate, kFragmentFrames, *this);
    if (!opened) {
        pendingFailed(opened.error().localizedDescription);
        return;
    }
    pending_ = std::move(*opened);
}

void PulseCaptureStream::closePending() {
    monitorQuery_.reset();
    pending_.reset();
    pendingSince_.reset();
    pendingDeliveries_ = 0;
}

void PulseCaptureStream::pendingTimedOut() {
    pendingFailed(pa_strerror(PA_ERR_TIMEOUT));
}

void PulseCaptureStream::pendingFailed(std::string description) {
    const std::string wanted = pending_ ? pending_->sourceName() : "the new default output";
    closePending();
    follower_.take(plan_.pendingFailed(description, !connection_->isReady()));
    if (plan_.running() && active_) {
        log(notFollowedMessage(wanted, description, active_->sourceName()));
    }
}

void PulseCaptureStream::promotePending() {
    if (active_) {
        readActive();  // what the old monitor delivered still counts
    }
    active_ = std::move(pending_);
    if (applications_) {
        applications_->follow(active_->source());
    }
    log(followingMessage(active_->sourceName()));
    // Another output: its own reasons, told as changes from the old one's.
    silence_.watch(connection_, active_->source());
    updateAbsence();
    readActive(true);  // joins where the clock says, its overlap with the old audio dropped
    closePending();
}

void PulseCaptureStream::askDefaultSink() {
    // A newer question replaces an older one, whose answer would be stale. No answer in time
    // counts as no default: the plan keeps what it records, or stops when it records nothing.
    const auto answered = [this](const std::string& sink) {
        defaultSinkQuery_.reset();
        defaultSinkDeadline_.reset();
        follower_.take(plan_.defaultSinkIs(sink));
    };
    defaultSinkQuery_ = connection_->queryDefaultSink(
        [answered](const Expected<std::string>& sink) { answered(sink ? *sink : std::string()); });
    defaultSinkDeadline_ = connection_->startTimer(kRequestTimeout, [answered] { answered(""); });
    if (!defaultSinkQuery_) {
        answered("");
    }
}

std::unique_ptr<ServiceTimer> PulseCaptureStream::startTimer(std::chrono::milliseconds timeout,
                                                             std::function<void()> expired) {
    return connection_->startTimer(timeout, std::move(expired));
}

}  // namespace halvo::pulse
