#include "services/pulse/application_capture.h"

#include <pulse/introspect.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/process.h"
#include "platform/thread_check.h"
#include "services/common/pcm_chunk.h"
#include "services/pulse/playing_applications.h"

namespace halvo::pulse {

namespace {

// Only thread checks read it, and release builds compile them away.
[[maybe_unused]] const char* const kLockRule = "applications are followed with the lock held";

}  // namespace

ApplicationCapture::ApplicationCapture(std::shared_ptr<PulseContext> connection,
                                       ApplicationRule rule, std::uint32_t sampleRate,
                                       std::size_t maxFrames, std::function<void(std::string)> log,
                                       std::function<void(std::shared_ptr<PulseContext>)> letGo,
                                       std::set<std::string>& unmatchedNamed)
    : connection_(std::move(connection)),
      rule_(std::move(rule)),
      sampleRate_(sampleRate),
      log_(std::move(log)),
      letGo_(std::move(letGo)),
      roster_(log_),
      mix_(maxFrames, kMaxLeadSeconds * sampleRate),
      unmatchedNamed_(unmatchedNamed) {
    HALVO_CHECK_THREAD(connection_->loop().holdsLock(), kLockRule);
    connection_->addListener(*this);
    connection_->watchPlaybackStreams();
}

ApplicationCapture::~ApplicationCapture() {
    HALVO_CHECK_THREAD(connection_->loop().holdsLock(), kLockRule);
    connection_->removeListener(*this);
    requests_.clear();
    std::vector<std::shared_ptr<PulseContext>> connections;
    for (auto& [index, recording] : recordings_) {
        connections.push_back(std::move(recording.connection));
    }
    recordings_.clear();  // the streams, before their connections
    for (std::shared_ptr<PulseContext>& connection : connections) {
        release(std::move(connection));
    }
}

void ApplicationCapture::release(std::shared_ptr<PulseContext> connection) {
    if (connection && connection != connection_) {
        connection->forgetSettled();
        letGo_(std::move(connection));
    }
}

void ApplicationCapture::follow(const MonitorSource& monitor) {
    HALVO_CHECK_THREAD(connection_->loop().holdsLock(), kLockRule);
    // Applications that play on the new output too stay in without a line: those left out once
    // its streams are listed go out (the roster's sweep).
    while (!recordings_.empty()) {
        drop(recordings_.begin()->first, false);
    }
    requests_.clear();
    monitor_ = monitor;
    mix_.beginOutput();
    // Answers come in the order asked: the levels are known before any stream records.
    askLevels();
    askPlaybackStreams(kNoIndex);
}

std::vector<std::byte> ApplicationCapture::take(std::size_t frames) {
    HALVO_CHECK_THREAD(connection_->loop().holdsLock(), kLockRule);
    const std::vector<float> mixed = mix_.take(frames);
    if (const std::uint64_t dropped = mix_.takeDropped(); dropped > 0) {
        log_("An application's audio waited too long for the output's clock: " +
             std::to_string(dropped) + " frames dropped");
    }
    for (const std::uint64_t key : mix_.takeStalled()) {
        for (const auto& [index, recording] : recordings_) {
            if (recording.key == key) {
                log_("No audio from " + recording.label + " for over " +
                     std::to_string(kMaxLeadSeconds) +
                     " s: silence in its place until it delivers again");
            }
        }
    }
    std::vector<std::byte> bytes(mixed.size() * sizeof(float));
    std::memcpy(bytes.data(), mixed.data(), bytes.size());
    return bytes;
}

void ApplicationCapture::deviceChanged(Device device, std::uint32_t index) {
    if ((device == Device::sink && index == monitor_.sinkIndex) ||
        (device == Device::source && index == monitor_.index)) {
        askLevels();
    }
}

void ApplicationCapture::playbackStreamChanged(std::uint32_t index, bool removed) {
    if (removed) {
        drop(index);
    } else {
        askPlaybackStreams(index);  // new, or changed: moved, renamed
    }
}

void ApplicationCapture::askLevels() {
    pa_context* const context = connection_->raw();
    const auto send = [this](const auto& ask) {
        Request& request = requests_.emplace_back(*this, kNoIndex);
        request.operation.reset(ask(&request));
        if (!request.operation.sent()) {
            requests_.pop_back();
        }
    };
    send([&](Request* request) {
        return pa_context_get_server_info(context, &ApplicationCapture::onServer, request);
    });
    send([&](Request* request) {
        return pa_context_get_sink_info_by_index(context, monitor_.sinkIndex,
                                                 &ApplicationCapture::onSink, request);
    });
    send([&](Request* request) {
        return pa_context_get_source_info_by_index(context, monitor_.index,
                                                   &ApplicationCapture::onSource, request);
    });
}

void ApplicationCapture::Level::read(const pa_cvolume& volume, int mute) {
    muted = mute != 0;
    gains.clear();
    for (std::uint8_t channel = 0; channel < volume.channels; ++channel) {
        gains.push_back(static_cast<float>(pa_sw_volume_to_linear(volume.values[channel])));
    }
}

float ApplicationCapture::Level::of(std::uint32_t channel) const {
    return muted ? 0.0f : channel < gains.size() ? gains[channel] : 1.0f;
}

void ApplicationCapture::onServer(pa_context*, const pa_server_info* info, void* userdata) {
    auto& request = *static_cast<Request*>(userdata);
    ApplicationCapture& self = request.owner;
    // Measured: PulseAudio scales a per-stream recording by the monitor's volume and mute, as
    // it does the whole monitor's; PipeWire's pulse server ("PulseAudio (on PipeWire ...)")
    // does not.
    self.appliesMonitorLevel_ = info != nullptr && info->server_name != nullptr &&
                                std::strstr(info->server_name, "PipeWire") != nullptr;
    self.finished(request);
}

void ApplicationCapture::onSource(pa_context*, const pa_source_info* info, int endOfList,
                                  void* userdata) {
    auto& request = *static_cast<Request*>(userdata);
    if (endOfList != 0) {
        request.owner.finished(request);
        return;
    }
    request.owner.monitorLevel_.read(info->volume, info->mute);
}

void ApplicationCapture::askPlaybackStreams(std::uint32_t index) {
    Request& request = requests_.emplace_back(*this, index);
    request.operation.reset(
        index == kNoIndex
            ? pa_context_get_sink_input_info_list(connection_->raw(),
                                                  &ApplicationCapture::onSinkInput, &request)
            : pa_context_get_sink_input_info(connection_->raw(), index,
                                             &ApplicationCapture::onSinkInput, &request));
    if (!request.operation.sent()) {
        requests_.pop_back();
        if (index == kNoIndex) {
            roster_.sweep();  // no list is coming
        }
    }
}

void ApplicationCapture::finished(Request& request) {
    requests_.remove_if([&request](const Request& each) { return &each == &request; });
}

void ApplicationCapture::onSink(pa_context*, const pa_sink_info* info, int endOfList,
                                void* userdata) {
    auto& request = *static_cast<Request*>(userdata);
    ApplicationCapture& self = request.owner;
    HALVO_CHECK_THREAD(self.connection_->loop().isLoopThread(), "answers run on the loop's thread");
    if (endOfList != 0) {
        self.finished(request);
        return;
    }
    self.output_.read(info->volume, info->mute);
    self.output_.clips = info->sample_spec.format != PA_SAMPLE_FLOAT32LE &&
                         info->sample_spec.format != PA_SAMPLE_FLOAT32BE;
}

void ApplicationCapture::onSinkInput(pa_context*, const pa_sink_input_info* info, int endOfList,
                                     void* userdata) {
    auto& request = *static_cast<Request*>(userdata);
    ApplicationCapture& self = request.owner;
    HALVO_CHECK_THREAD(self.connection_->loop().isLoopThread(), "answers run on the loop's thread");
    if (endOfList != 0) {
        if (endOfList < 0 && request.asked != kNoIndex) {
            self.drop(request.asked);  // gone before the server could say
        }
        if (request.asked == kNoIndex) {
            self.roster_.sweep();  // the output's streams are all in: who is left out has gone
            if (endOfList > 0) {
                self.nameUnmatched();
            }
        }
        self.finished(request);
        return;
    }
    if (!self.ruleChecked_ && request.asked == kNoIndex) {
        self.seen_.push_back(playbackStreamOf(*info));
    }
    self.consider(playbackStreamOf(*info));
}

void ApplicationCapture::nameUnmatched() {
    if (std::exchange(ruleChecked_, true)) {
        return;
    }
    roster_.nameUnmatched(rule_, seen_, unmatchedNamed_);
    seen_.clear();
}

void ApplicationCapture::consider(const PlaybackStream& playback) {
    if (playback.sink != monitor_.sinkIndex ||
        !admits(rule_, playback, platform::processIdentifier())) {
        drop(playback.index);  // moved to another output, or no longer admitted
        return;
    }
    if (recordings_.count(playback.index) != 0) {
        return;
    }
    const std::string key = applicationKey(playback);
    Recording& recording =
        recordings_
            .emplace(playback.index, Recording{nextKey_++, key, applicationLabel(playback), nullptr,
                                               nullptr, nullptr})
            .first->second;
    roster_.streamIn(playback);
    const std::uint32_t index = playback.index;
    Expected<std::shared_ptr<PulseContext>> begun = PulseContext::beginConnecting(
        connection_->sharedLoop(), [this, index](bool ready) { connected(index, ready); });
    if (begun) {
        recording.connection = std::move(*begun);
        recording.connecting =
            connection_->startTimer(kRequestTimeout, [this, index] { connected(index, false); });
    }
    if (!begun || !recording.connecting) {
        connected(index, false);
    }
}

void ApplicationCapture::connected(std::uint32_t index, bool ready) {
    const auto found = recordings_.find(index);
    if (found == recordings_.end() || found->second.stream) {
        return;
    }
    Recording& recording = found->second;
    recording.connecting.reset();
    if (!ready) {
        release(std::move(recording.connection));
        log_("The server took no connection of its own for " + recording.label +
             ": it shares the capture's, where it may fall silent beside another application");
        recording.connection = connection_;
    }
    Expected<std::unique_ptr<PulseRecordStream>> opened = PulseRecordStream::open(
        recording.connection, monitor_, sampleRate_, kFragmentFrames, *this, index);
    if (!opened) {
        drop(index);  // the connection is failing
        return;
    }
    recording.stream = std::move(*opened);
}

void ApplicationCapture::drop(std::uint32_t index, bool leaves) {
    const auto found = recordings_.find(index);
    if (found == recordings_.end()) {
        return;
    }
    if (found->second.stream) {
        found->second.stream->readAvailable();  // what it delivered still counts
    }
    mix_.end(found->second.key);
    const std::string key = found->second.application;
    std::shared_ptr<PulseContext> connection = std::move(found->second.connection);
    recordings_.erase(found);  // the stream, before its connection
    release(std::move(connection));
    roster_.streamOut(key, leaves);
}

void ApplicationCapture::recordStreamStateChanged(PulseRecordStream& stream) {
    const pa_stream_state_t state = stream.state();
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED ||
        (state == PA_STREAM_READY && !stream.recordsItsSource())) {
        for (auto& [index, recording] : recordings_) {
            if (recording.stream.get() == &stream) {
                drop(index);  // its sink input has gone, or it records something else
                return;
            }
        }
    }
}

void ApplicationCapture::recordStreamMoved(PulseRecordStream& stream) {
    recordStreamStateChanged(stream);
}

void ApplicationCapture::recordStreamReadable(PulseRecordStream& stream, std::size_t) {
    stream.readAvailable();
}

void ApplicationCapture::recordStreamRead(PulseRecordStream& stream, const void* data,
                                          std::size_t length) {
    const std::uint32_t channels = stream.channels();
    const std::size_t frames = length / (sizeof(float) * channels);
    // The output's volume, then its clipping, as the output applies them; then the monitor's.
    std::vector<float> samples(frames * channels, 0.0f);  // a hole is silence
    if (data != nullptr) {
        std::memcpy(samples.data(), data, samples.size() * sizeof(float));
    }
    for (std::size_t at = 0; at < samples.size(); ++at) {
        const auto channel = static_cast<std::uint32_t>(at % channels);
        float sample = samples[at] * output_.of(channel);
        if (output_.clips) {
            sample = std::clamp(sample, -1.0f, 1.0f);
        }
        samples[at] = sample * (appliesMonitorLevel_ ? monitorLevel_.of(channel) : 1);
    }
    const std::vector<float> mono = monoFrames(samples.data(), frames, channels);
    for (auto& [index, recording] : recordings_) {
        if (recording.stream.get() == &stream) {
            mix_.add(recording.key, mono.data(), mono.size());
            return;
        }
    }
}

}  // namespace halvo::pulse
