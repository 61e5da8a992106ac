#pragma once

#include <pulse/volume.h>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "capture/application_rule.h"
#include "services/common/application_roster.h"
#include "services/pulse/application_mix.h"
#include "services/pulse/pulse_record_stream.h"

namespace halvo::pulse {

// Records the playback streams (sink inputs) of one output that a rule admits, each by its own
// record stream on the output's monitor tied to that sink input, and mixes them: what
// PulseCaptureStream writes in place of the whole monitor's samples. The rule is applied to
// every stream as the server reports it, so applications that start, restart or go later are
// followed. Levels match a recording of the whole output: the output's volume and mute, which a
// per-stream recording leaves out, are applied here, and so are the monitor's on PipeWire's
// pulse server, which leaves those out too (PulseAudio applies them itself).
//
// Threads: every method, like every callback it gets, runs with the main loop's lock held.
// Lines go through `log`, which must not block.
class ApplicationCapture final : private PulseRecordStream::Listener, private ServerListener {
  public:
    // Frames per fragment of a stream's recording: about every 85 ms at 48 kHz. Four times the
    // whole output's: each admitted stream adds its recording's wake-ups, and with the output's
    // fragment three players cost PipeWire's helper 2.7 times the CPU of a whole-output capture
    // (about 1.5 times with these; see docs/benchmarks.md). What it costs is latency: a stream's
    // audio joins the mix about a fragment and a lead later than the output's clock.
    static constexpr std::uint32_t kFragmentFrames = 4096;
    // How far a stream's dry spells may put its audio behind the output's clock (see
    // ApplicationMix::take).
    static constexpr std::uint32_t kMaxLeadSeconds = 2;

    // `letGo` takes the last reference to a connection of a stream's own, to drop it later off
    // the loop's thread (this may run inside one of its callbacks); it must not block.
    // `unmatchedNamed` (borrowed, guarded by the loop's lock, outlives the capture) holds the
    // rule's entries already said to match nothing, so that each is said once in a run.
    ApplicationCapture(std::shared_ptr<PulseContext> connection, ApplicationRule rule,
                       std::uint32_t sampleRate, std::size_t maxFrames,
                       std::function<void(std::string)> log,
                       std::function<void(std::shared_ptr<PulseContext>)> letGo,
                       std::set<std::string>& unmatchedNamed);
    // Ends every recording and request; no callback reaches it afterwards.
    ~ApplicationCapture() override;
    ApplicationCapture(const ApplicationCapture&) = delete;
    ApplicationCapture& operator=(const ApplicationCapture&) = delete;

    // Records the admitted streams of the output `monitor` belongs to, from now on; the streams
    // of an output followed before are let go (what they delivered is still mixed in).
    void follow(const MonitorSource& monitor);
    // The next `frames` frames of the mix, as float32 bytes: the clock's delivery they stand for.
    std::vector<std::byte> take(std::size_t frames);

  private:
    // A sink input's recording, on a connection of its own: the server starves a second stream
    // of a busy connection. Until that connection is ready there is no stream yet.
    struct Recording {
        std::uint64_t key;  // in the mix
        std::string application;
        std::string label;
        std::shared_ptr<PulseContext> connection;
        std::unique_ptr<LoopTimer> connecting;  // the deadline of the connection being made
        std::unique_ptr<PulseRecordStream> stream;
    };
    // A request still out; dropping it cancels it.
    struct Request {
        Request(ApplicationCapture& requester, std::uint32_t playbackStream)
            : owner(requester), asked(playbackStream), operation(requester.connection_->loop()) {}
        ApplicationCapture& owner;
        const std::uint32_t asked;  // the sink input asked about; kNoIndex: all of them
        OperationRef operation;
    };

    // ServerListener's contracts.
    void serverChanged() override {}
    void connectionLost(const std::string&) override {}
    void deviceChanged(Device device, std::uint32_t index) override;
    void playbackStreamChanged(std::uint32_t index, bool removed) override;
    // PulseRecordStream::Listener's contracts.
    void recordStreamStateChanged(PulseRecordStream& stream) override;
    void recordStreamReadable(PulseRecordStream& stream, std::size_t readableBytes) override;
    void recordStreamRead(PulseRecordStream& stream, const void* data, std::size_t length) override;
    void recordStreamSuspended(PulseRecordStream&) override {}
    void recordStreamMoved(PulseRecordStream& stream) override;

    void consider(const PlaybackStream& playback);
    // Sink input `index`'s own connection is ready, or failed (then its stream shares the
    // capture's): its stream starts recording.
    void connected(std::uint32_t index, bool ready);
    // Hands a recording's own connection to `letGo_`, never to be heard of again.
    void release(std::shared_ptr<PulseContext> connection);
    // Ends the recording of sink input `index`; what it delivered is still mixed in. Unless
    // `leaves` is false (another output is being followed), an application whose last stream
    // this was leaves the capture at once.
    void drop(std::uint32_t index, bool leaves = true);
    // The first listing of a start is in: says which of the rule's entries match none of it.
    void nameUnmatched();
    // Requests: the output's volume and mute, and one sink input's facts (or all of them).
    void askLevels();
    void askPlaybackStreams(std::uint32_t index);
    void finished(Request& request);
    static void onSinkInput(pa_context*, const pa_sink_input_info* info, int endOfList,
                            void* userdata);
    static void onServer(pa_context*, const pa_server_info* info, void* userdata);
    static void onSink(pa_context*, const pa_sink_info* info, int endOfList, void* userdata);
    static void onSource(pa_context*, const pa_source_info* info, int endOfList, void* userdata);

    const std::shared_ptr<PulseContext> connection_;
    const ApplicationRule rule_;
    const std::uint32_t sampleRate_;
    const std::function<void(std::string)> log_;
    const std::function<void(std::shared_ptr<PulseContext>)> letGo_;
    MonitorSource monitor_;
    std::map<std::uint32_t, Recording> recordings_;  // by sink input
    ApplicationRoster roster_;                       // the applications with a stream recorded
    std::list<Request> requests_;
    // A volume per channel as factors, and a mute.
    struct Level {
        std::vector<float> gains;
        bool muted = false;
        bool clips = false;  // an output of integer samples clips each channel to ±1.0
        void read(const pa_cvolume& volume, int mute);
        float of(std::uint32_t channel) const;
    };
    Level output_;
    Level monitorLevel_;
    bool appliesMonitorLevel_ = false;  // the server leaves it out of per-stream recordings
    ApplicationMix mix_;
    std::uint64_t nextKey_ = 0;
    std::set<std::string>& unmatchedNamed_;
    bool ruleChecked_ = false;          // nameUnmatched() has run
    std::vector<PlaybackStream> seen_;  // listed until then
};

}  // namespace halvo::pulse
