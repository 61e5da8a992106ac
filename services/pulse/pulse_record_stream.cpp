#include "services/pulse/pulse_record_stream.h"

#include <pulse/error.h>

#include <algorithm>

#include "platform/thread_check.h"

namespace halvo::pulse {

namespace {

// Takes over a stream whose owner let go while the server was still creating it: such a stream
// cannot be disconnected yet, and left alone it would become ready and record into nowhere
// until the connection ends. Owns the caller's reference, and lets go of it exactly once: it
// uninstalls itself first, since the disconnect's own TERMINATED would call it again.
void disconnectOnceCreated(pa_stream* stream, void*) {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_CREATING || state == PA_STREAM_UNCONNECTED) {
        return;
    }
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (state == PA_STREAM_READY) {
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);  // libpulse holds its own reference during the callback
}

}  // namespace

Expected<std::unique_ptr<PulseRecordStream>> PulseRecordStream::open(
    std::shared_ptr<PulseContext> context, const MonitorSource& source, std::uint32_t sampleRate,
    std::uint32_t fragmentFrames, Listener& listener, std::uint32_t playbackStream) {
    HALVO_CHECK_THREAD(context->loop().holdsLock(), "record streams are opened with the lock held");
    std::unique_ptr<PulseRecordStream> recorder(
        new PulseRecordStream(std::move(context), source, listener));
    // The source's own channels: a server that mixes them down does it at its own level
    // (PipeWire's pulse server 3 dB hotter than PulseAudio), so the service averages them itself.
    // PA_STREAM_FIX_CHANNELS keeps them should the source have changed since it was looked up.
    const pa_sample_spec sampleFormat{
        PA_SAMPLE_FLOAT32LE, sampleRate,
        static_cast<std::uint8_t>(std::clamp<int>(source.channels, 1, PA_CHANNELS_MAX))};
    if (pa_sample_spec_valid(&sampleFormat) == 0) {
        return Error{pa_strerror(PA_ERR_INVALID)};
    }
    recorder->stream_ =
        pa_stream_new(recorder->context_->raw(), "System audio", &sampleFormat, nullptr);
    if (recorder->stream_ == nullptr) {
        return Error{recorder->lastError()};
    }
    pa_stream_set_state_callback(recorder->stream_, &PulseRecordStream::onStateChanged,
                                 recorder.get());
    pa_stream_set_read_callback(recorder->stream_, &PulseRecordStream::onReadable, recorder.get());
    // PA_STREAM_DONT_MOVE should keep the server from moving it; a move still ends the recording.
    pa_stream_set_moved_callback(recorder->stream_, &PulseRecordStream::onMoved, recorder.get());
    pa_stream_set_suspended_callback(recorder->stream_, &PulseRecordStream::onSuspended,
                                     recorder.get());

    if (playbackStream != kNoIndex &&
        pa_stream_set_monitor_stream(recorder->stream_, playbackStream) < 0) {
        return Error{recorder->lastError()};
    }

    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(fragmentFrames * pa_frame_size(&sampleFormat));
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY | PA_STREAM_FIX_CHANNELS);
    if (pa_stream_connect_record(recorder->stream_, source.name.c_str(), &attributes, flags) < 0) {
        return Error{recorder->lastError()};
    }
    return recorder;
}

PulseRecordStream::~PulseRecordStream() {
    if (stream_ == nullptr) {
        return;
    }
    MainLoopLock lock(context_->loop());
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    switch (pa_stream_get_state(stream_)) {
        case PA_STREAM_CREATING:
            pa_stream_set_state_callback(stream_, &disconnectOnceCreated, nullptr);
            return;  // the reference is disconnectOnceCreated's now
        case PA_STREAM_READY:
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            if (context_->isReady()) {  // a lost connection has nothing left to disconnect
                pa_stream_disconnect(stream_);
            }
            break;
        default:
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            break;
    }
    pa_stream_unref(stream_);
}

pa_stream_state_t PulseRecordStream::state() const {
    HALVO_CHECK_THREAD(context_->loop().holdsLock(), "record streams are read with the lock held");
    return pa_stream_get_state(stream_);
}

bool PulseRecordStream::recordsItsSource() const {
    return !moved_ && state() == PA_STREAM_READY &&
           pa_stream_get_device_index(stream_) == source_.index;
}

std::uint32_t PulseRecordStream::channels() const {
    HALVO_CHECK_THREAD(context_->loop().holdsLock(), "record streams are read with the lock held");
    const pa_sample_spec* format = pa_stream_get_sample_spec(stream_);
    return format != nullptr && format->channels > 0 ? format->channels : 1;
}

bool PulseRecordStream::suspended() const {
    return state() == PA_STREAM_READY && pa_stream_is_suspended(stream_) > 0;
}

std::size_t PulseRecordStream::readableBytes() const {
    if (state() != PA_STREAM_READY) {
        return 0;
    }
    const std::size_t readable = pa_stream_readable_size(stream_);
    return readable == static_cast<std::size_t>(-1) ? 0 : readable;
}

void PulseRecordStream::readAvailable() {
    HALVO_CHECK_THREAD(context_->loop().holdsLock(), "record streams are read with the lock held");
    for (;;) {
        const void* data = nullptr;
        std::size_t length = 0;
        if (pa_stream_peek(stream_, &data, &length) < 0 || length == 0) {
            return;  // not readable, or nothing left
        }
        listener_.recordStreamRead(*this, data, length);
        pa_stream_drop(stream_);
    }
}

void PulseRecordStream::onStateChanged(pa_stream*, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    HALVO_CHECK_THREAD(self->context_->loop().holdsLock(),
                       "state changes arrive with the lock held");
    self->context_->loop().signal();
    if (self->state() == PA_STREAM_READY) {
        self->readyAt_ = std::chrono::steady_clock::now();
    }
    // The listener may destroy the stream: nothing here touches it afterwards, and libpulse keeps
    // its own reference to the pa_stream until this callback has returned.
    Listener& listener = self->listener_;
    listener.recordStreamStateChanged(*self);
}

void PulseRecordStream::onReadable(pa_stream*, std::size_t, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    HALVO_CHECK_THREAD(self->context_->loop().isLoopThread(), "listeners run on the loop's thread");
    if (const std::size_t readable = self->readableBytes(); readable > 0) {
        self->listener_.recordStreamReadable(*self, readable);
    }
}

void PulseRecordStream::onSuspended(pa_stream*, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    HALVO_CHECK_THREAD(self->context_->loop().isLoopThread(), "listeners run on the loop's thread");
    self->listener_.recordStreamSuspended(*self);
}

void PulseRecordStream::onMoved(pa_stream*, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    HALVO_CHECK_THREAD(self->context_->loop().isLoopThread(), "listeners run on the loop's thread");
    self->moved_ = true;
    self->context_->loop().signal();
    Listener& listener = self->listener_;  // the listener may destroy the stream
    listener.recordStreamMoved(*self);
}

}  // namespace halvo::pulse
