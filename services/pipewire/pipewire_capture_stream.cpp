#include "services/pipewire/pipewire_capture_stream.h"

#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <utility>

#include "logging/lines.h"
#include "platform/thread_check.h"
#include "services/common/monitor_source.h"
#include "services/common/timeline_lines.h"

namespace halvo::pipewire {

namespace {

// What a recording whose output vanished ends with, as libpulse words it.
const char* const kEntityKilled = "Entity killed";
const char* const kNoEntity = "No such entity";
const char* const kTimeout = "Timeout";

[[maybe_unused]] const char* const kCallbackRule = "libpipewire's callbacks run with the lock held";

std::string monitorName(const std::string& sink) {
    return sink + ".monitor";
}

std::uint32_t channelPosition(const std::string& name) {
    return spa_debug_type_find_type_short(spa_type_audio_channel, name.c_str());
}

}  // namespace

PipeWireCaptureStream::PipeWireCaptureStream(std::shared_ptr<PipeWireBackend> backend,
                                             PcmFormat format,
                                             std::weak_ptr<StreamDelegate> delegate,
                                             ApplicationRule rule)
    : QueuedCaptureStream(std::move(backend), format, std::move(delegate)),
      rule_(std::move(rule)),
      follower_(plan_, *this, kRequestTimeout) {}

PipeWireCaptureStream::~PipeWireCaptureStream() {
    {
        LoopLock lock(backend_->loop());
        closeRecording();
        graph_.reset();
    }
    feeder_.close();
}

Expected<void> PipeWireCaptureStream::start() {
    Expected<std::shared_ptr<PipeWireGraph>> connection = backend_->connection();
    LoopLock lock(backend_->loop());
    if (!connection) {
        return failStart(connection.error());
    }
    graph_ = *connection;
    if (format_.channels != 1) {  // channels are averaged to mono
        return failStart(Error{"Not supported"});
    }
    const std::string sink = graph_->defaultSink();
    const NodeFacts* sinkNode = sink.empty() ? nullptr : graph_->sinkNamed(sink);
    if (sinkNode == nullptr) {
        return failStart(Error{kNoEntity});
    }
    const std::vector<PortFacts> monitorPorts = graph_->portsOf(sinkNode->id, true);
    if (monitorPorts.empty() || monitorPorts.size() > SPA_AUDIO_MAX_CHANNELS) {
        return failStart(Error{kNoMonitorSource});
    }

    // The capture node, in the output's channel positions.
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_NODE_NAME, "halvo-audio-helper", PW_KEY_NODE_AUTOCONNECT, "false",
                          PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", kQuantumFrames, format_.sampleRate);
    stream_ = pw_stream_new(graph_->core(), "halvo-audio-helper", props);
    if (stream_ == nullptr) {
        return failStart(Error{std::strerror(errno)});
    }
    static const pw_stream_events kEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &PipeWireCaptureStream::onStateChanged;
        events.process = &PipeWireCaptureStream::onProcess;
        events.add_buffer = &PipeWireCaptureStream::onAddBuffer;
        return events;
    }();
    pw_stream_add_listener(stream_, &streamListener_, &kEvents, this);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = format_.sampleRate;
    info.channels = static_cast<std::uint32_t>(monitorPorts.size());
    for (std::size_t index = 0; index < monitorPorts.size(); ++index) {
        info.position[index] = channelPosition(monitorPorts[index].channel);
    }
    channels_ = info.channels;
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    if (const int result =
            pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
        result < 0) {
        return failStart(Error{std::strerror(-result)});
    }
    // The node and its ports, in the registry, before anything can link them.
    feeder_.open(weak_from_this());
    const bool ready = backend_->loop().waitUntil(kRequestTimeout, [this] {
        if (!graph_->isReady() || state_ == PW_STREAM_STATE_ERROR) {
            return true;
        }
        const std::uint32_t node = pw_stream_get_node_id(stream_);
        return node != SPA_ID_INVALID && graph_->portsOf(node, false).size() == channels_;
    });
    if (!graph_->isReady()) {
        return failStart(Error{"Connection terminated"});
    }
    if (state_ == PW_STREAM_STATE_ERROR) {
        return failStart(Error{streamError_.empty() ? "Internal error" : streamError_});
    }
    if (!ready) {
        return failStart(Error{kTimeout});
    }
    if (rule_.kind != ApplicationRule::Kind::everything) {
        applications_ = std::make_unique<ApplicationLinks>(
            *graph_, rule_, pw_stream_get_node_id(stream_),
            [this](std::string message) { log(std::move(message)); }, backend_->unmatchedNamed());
    }
    if (!linkTo(sink)) {
        return failStart(Error{kNoMonitorSource});
    }
    plan_.started(sink);
    graph_->addListener(*this);
    listening_ = true;
    streamSince_ = CaptureTimeline::Clock::now();
    timeline_.begin(streamSince_);
    updateAbsence();
    return {};
}

void PipeWireCaptureStream::closeRecording() {
    if (listening_) {
        graph_->removeListener(*this);
        listening_ = false;
    }
    follower_.cancel();
    deferred_.reset();
    timelineTimer_.reset();
    timeline_.end();
    links_.clear();
    applications_.reset();
    linkedSink_ = SPA_ID_INVALID;
    sinkWatch_.reset();
    silenceReasons_ = {};
    if (stream_ != nullptr) {
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
}

bool PipeWireCaptureStream::linkTo(const std::string& sink) {
    const NodeFacts* sinkNode = graph_->sinkNamed(sink);
    if (sinkNode == nullptr || stream_ == nullptr) {
        return false;
    }
    const std::vector<PortFacts> from = graph_->portsOf(sinkNode->id, true);
    const std::vector<PortFacts> to = graph_->portsOf(pw_stream_get_node_id(stream_), false);
    if (from.empty() || to.empty()) {
        return false;
    }
    linkedSink_ = sinkNode->id;
    if (applications_) {
        links_.clear();
        applications_->follow(linkedSink_);
    } else {
        links_ = graph_->linkByPosition(from, to);
    }
    watchSink();
    return true;
}

void PipeWireCaptureStream::graphChanged() {
    HALVO_CHECK_THREAD(backend_->loop().isLoopThread(), kCallbackRule);
    if (!plan_.running()) {
        return;
    }
    if (linkedSink_ != SPA_ID_INVALID && graph_->node(linkedSink_) == nullptr) {
        // The recorded output went; the daemon took its links with it.
        links_.clear();
        linkedSink_ = SPA_ID_INVALID;
        sinkWatch_.reset();
        follower_.take(plan_.activeEnded(kEntityKilled, false));
        if (!plan_.running()) {
            return;
        }
    }
    follower_.take(plan_.defaultSinkIs(graph_->defaultSink()));
    if (plan_.running() && plan_.pendingSink()) {
        tryPending();
    }
    if (plan_.running() && applications_) {
        applications_->update();
        updateAbsence();
    }
}

void PipeWireCaptureStream::connectionLost(const std::string& description) {
    HALVO_CHECK_THREAD(backend_->loop().isLoopThread(), kCallbackRule);
    follower_.take(plan_.connectionLost(description));
}

void PipeWireCaptureStream::openPending(const std::string&) {
    tryPending();
}

void PipeWireCaptureStream::promotePending() {
    if (!plan_.activeSink()) {
        return;
    }
    log(followingMessage(monitorName(*plan_.activeSink())));
    // Another driver's cycles: its first audio joins where the wall clock says.
    streamSince_ = CaptureTimeline::Clock::now();
    joinPending_ = true;
    graphFrames_.reset();
}

void PipeWireCaptureStream::pendingTimedOut() {
    pendingFailed(kTimeout);
}

void PipeWireCaptureStream::askDefaultSink() {
    follower_.take(plan_.defaultSinkIs(graph_->defaultSink()));
}

std::unique_ptr<ServiceTimer> PipeWireCaptureStream::startTimer(std::chrono::milliseconds timeout,
                                                                std::function<void()> expired) {
    auto timer = std::make_unique<LoopTimer>(backend_->loop(), std::move(expired));
    timer->arm(timeout);
    return timer;
}

void PipeWireCaptureStream::tryPending() {
    const std::optional<std::string> pending = plan_.pendingSink();
    if (pending && linkTo(*pending)) {
        follower_.take(plan_.pendingReady());
    }
}

void PipeWireCaptureStream::pendingFailed(const std::string& description) {
    const std::optional<std::string> wanted = plan_.pendingSink();
    follower_.take(plan_.pendingFailed(description, !graph_->isReady()));
    if (plan_.running() && plan_.activeSink()) {
        log(notFollowedMessage(wanted ? monitorName(*wanted) : "the new default output",
                               description, monitorName(*plan_.activeSink())));
    }
}

void PipeWireCaptureStream::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                           const char* error) {
    auto* self = static_cast<PipeWireCaptureStream*>(data);
    self->state_ = state;
    if (error != nullptr) {
        self->streamError_ = error;
    }
    self->backend_->loop().signal();
    if (state == PW_STREAM_STATE_ERROR && self->plan_.running()) {
        // Not inside the stream's own callback: the stream is destroyed on the way.
        self->deferred_ = std::make_unique<LoopTimer>(self->backend_->loop(), [self] {
            self->deferred_.reset();
            self->follower_.take(self->plan_.connectionLost(
                self->streamError_.empty() ? "Internal error" : self->streamError_));
        });
        self->deferred_->arm(std::chrono::nanoseconds::zero());
    }
}

void PipeWireCaptureStream::onProcess(void* data) {
    static_cast<PipeWireCaptureStream*>(data)->process();
}

void PipeWireCaptureStream::onAddBuffer(void*, pw_buffer* buffer) {
    // Each buffer counts one in the clock's report (pw_time::queued): see process().
    buffer->size = 1;
}

void PipeWireCaptureStream::process() {
    // The graph reports its clock as it hands over each buffer, with how many it has handed over
    // by then: of those waiting, the first `queued` end where the report says. Those alone are
    // taken now; one handed over since waits for the next call, which its own report brings.
    pw_time time{};
    const bool timed = pw_stream_get_time_n(stream_, &time, sizeof time) == 0 &&
                       time.rate.denom > 0 && time.rate.num > 0 && time.queued <= kMaxBuffers;
    struct Taken {
        pw_buffer* buffer;
        std::span<const std::byte> audio;
    };
    std::array<Taken, kMaxBuffers> taken{};
    const std::size_t frameBytes = sizeof(float) * std::max<std::uint32_t>(channels_, 1);
    std::size_t count = 0;
    std::uint64_t frames = 0;
    std::uint64_t lastFrames = 0;
    while (count < (timed ? time.queued : kMaxBuffers)) {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
        if (buffer == nullptr) {
            break;
        }
        taken[count] = {buffer, audioOf(*buffer)};
        lastFrames = taken[count++].audio.size() / frameBytes;
        frames += lastFrames;
    }
    if (timed && count > 0 && count == time.queued) {
        const auto end =
            static_cast<std::uint64_t>(static_cast<unsigned __int128>(time.ticks) * time.rate.num *
                                       format_.sampleRate / time.rate.denom) +
            lastFrames;
        // Cycles the graph ran while this process did not take them (a stalled helper) left no
        // buffers: silence of the same length on the graph's clock, where they were missed.
        // Less than half a buffer is a resampler's rounding, not a cycle.
        const std::uint64_t reached = graphFrames_.value_or(end) + frames;
        if (timeline_.running() && graphFrames_ && end > reached &&
            2 * (end - reached) >= lastFrames) {
            const std::uint64_t missed = end - reached;
            log("The graph ran " +
                secondsText(static_cast<double>(missed) / format_.sampleRate, 3) +
                " s without the helper: silence of that length stands in");
            timeline_.audioLost(missed, streamSince_);
        }
        graphFrames_ = end;
    }
    for (const Taken& each : std::span(taken).first(count)) {
        if (!each.audio.empty() && timeline_.running()) {
            deliver(each.audio.data(), each.audio.size() / frameBytes);
        }
        pw_stream_queue_buffer(stream_, each.buffer);
    }
}

std::span<const std::byte> PipeWireCaptureStream::audioOf(const pw_buffer& buffer) const {
    const spa_data& block = buffer.buffer->datas[0];
    if (block.data == nullptr || block.chunk == nullptr || channels_ == 0) {
        return {};
    }
    const std::size_t frameBytes = sizeof(float) * channels_;
    const std::uint32_t offset = std::min(block.chunk->offset, block.maxsize);
    const std::size_t bytes = std::min(block.chunk->size, block.maxsize - offset);
    return {static_cast<const std::byte*>(block.data) + offset, bytes / frameBytes * frameBytes};
}

void PipeWireCaptureStream::deliver(const std::byte* data, std::size_t frames) {
    const std::size_t frameBytes = sizeof(float) * channels_;
    if (applications_) {  // the applications' mix, at the output's levels
        leveled_.assign(reinterpret_cast<const float*>(data),
                        reinterpret_cast<const float*>(data) + frames * channels_);
        ApplicationLinks::applyLevels(leveled_.data(), frames, channels_,
                                      sinkWatch_ ? sinkWatch_->levels() : SinkLevels{});
        data = reinterpret_cast<const std::byte*>(leveled_.data());
    }
    const auto skipped = static_cast<std::size_t>(std::min<std::uint64_t>(
        frames, timeline_.audioArrived(frames, streamSince_, std::exchange(joinPending_, false))));
    if (skipped < frames) {
        feeder_.push(monoChunk(data + skipped * frameBytes, frames - skipped, channels_), *this);
    }
}

void PipeWireCaptureStream::updateAbsence() {
    // Nothing linked: the graph has no audio for the capture, and silence stands in.
    const bool absent = linkedSink_ == SPA_ID_INVALID || (applications_ && applications_->empty());
    if (timeline_.setAbsent(absent) && !absent && applications_) {
        // Applications linked after none: the graph ran on without the capture node, whose
        // first audio joins where the wall clock says.
        streamSince_ = CaptureTimeline::Clock::now();
        joinPending_ = true;
        graphFrames_.reset();
    }
}

void PipeWireCaptureStream::setTimelineTimer(CaptureTimeline::Clock::duration timeout) {
    if (!timelineTimer_) {
        timelineTimer_ =
            std::make_unique<LoopTimer>(backend_->loop(), [this] { timeline_.expired(); });
    }
    timelineTimer_->arm(timeout);
}

void PipeWireCaptureStream::watchSink() {
    // Another output: its own reasons, told as changes from the old one's.
    sinkWatch_ =
        std::make_unique<SinkWatch>(*graph_, linkedSink_, [this](const SilenceReasons& now) {
            for (const std::string& message : silenceReasonChanges(silenceReasons_, now)) {
                log(message);
            }
            silenceReasons_ = now;
        });
}

}  // namespace halvo::pipewire
