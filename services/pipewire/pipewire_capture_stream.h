#pragma once

#include <pipewire/stream.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/capture_service.h"
#include "services/common/capture_timeline.h"
#include "services/common/default_output_follower.h"
#include "services/common/pcm_chunk.h"
#include "services/common/queued_capture_stream.h"
#include "services/common/sample_feeder.h"
#include "services/pipewire/application_links.h"
#include "services/pipewire/pipewire_backend.h"
#include "services/pipewire/sink_watch.h"

namespace halvo::pipewire {

// A capture stream on the PipeWire graph: a capture node of its own (node.autoconnect=false, in
// the default output's channel positions) that the helper links to the default sink's monitor
// ports itself, and links anew when the default changes, so it records nothing but an output's
// monitor. It owns the capture node and its links, and hands the recorded frames through the
// timeline (QueuedCaptureStream's CaptureTimeline) to a SampleFeeder; a DefaultOutputFollower
// decides when to follow the default, and a SinkWatch reads what may silence the recorded output.
//
// Threads: starts and stops run on the backend's queue; libpipewire's callbacks arrive on the
// loop's thread; buffers reach the output on the sample queue. Everything that touches
// libpipewire, the plan and the timeline is guarded by the loop's lock.
class PipeWireCaptureStream final
    : public QueuedCaptureStream<PipeWireCaptureStream, PipeWireBackend>,
      private GraphListener {
  public:
    // The quantum the capture node asks the graph for: about 21 ms at 48 kHz.
    static constexpr std::uint32_t kQuantumFrames = 1024;
    static constexpr std::size_t kMaxBuffers = 64;  // libpipewire's most for one stream

    // With a `rule` other than everything the admitted applications are linked to the capture
    // node in place of the monitor (ApplicationLinks).
    PipeWireCaptureStream(std::shared_ptr<PipeWireBackend> backend, PcmFormat format,
                          std::weak_ptr<StreamDelegate> delegate, ApplicationRule rule = {});
    // Ends the recording; no output or delegate call starts afterwards. Not on the loop's thread.
    ~PipeWireCaptureStream() override;

  private:
    friend class QueuedCaptureStream<PipeWireCaptureStream, PipeWireBackend>;
    using Lock = LoopLock;

    // Service thread, the plan begun. Succeeds once the capture node is linked to the default
    // output's monitor; else what failed.
    Expected<void> start();
    // Lock held: lets go of the capture node, its links and everything else of the recording.
    void closeRecording();

    // Lock held, on the loop's thread: GraphListener's contracts.
    void graphChanged() override;
    void connectionLost(const std::string& description) override;

    // Lock held: DefaultOutputFollower::Recorder's contracts.
    void openPending(const std::string& sink) override;
    void closePending() override {}  // a link is made at once: nothing leads up to it
    void promotePending() override;
    void pendingTimedOut() override;
    void askDefaultSink() override;
    std::unique_ptr<ServiceTimer> startTimer(std::chrono::milliseconds timeout,
                                             std::function<void()> expired) override;

    // Lock held.
    // Links the capture node to `sink`'s monitor ports, by channel position (a MONO port to
    // every channel), in place of the links before; false (nothing changed) while the sink or
    // the ports are not there.
    bool linkTo(const std::string& sink);
    void tryPending();
    void pendingFailed(const std::string& description);
    void process();
    // One buffer's `frames` interleaved frames, through the timeline to the feeder.
    void deliver(const std::byte* data, std::size_t frames);
    void updateAbsence();
    void setTimelineTimer(CaptureTimeline::Clock::duration timeout);
    void watchSink();  // the recorded sink's reasons for silence, logged as they change

    // The whole frames a buffer holds; empty for one without data.
    std::span<const std::byte> audioOf(const pw_buffer& buffer) const;

    static void onProcess(void* data);
    static void onAddBuffer(void* data, pw_buffer* buffer);
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error);

    const ApplicationRule rule_;

    // Guarded by the loop's lock.
    std::shared_ptr<PipeWireGraph> graph_;
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
    std::string streamError_;
    std::uint32_t channels_ = 0;                      // of the capture node
    std::vector<std::unique_ptr<GraphLink>> links_;   // from the recorded sink's monitor ports
    std::uint32_t linkedSink_ = SPA_ID_INVALID;       // the recorded sink's node
    std::unique_ptr<ApplicationLinks> applications_;  // under a rule: linked in place of links_
    std::vector<float> leveled_;  // under a rule: a buffer at the output's levels, kept for reuse
    bool listening_ = false;
    std::unique_ptr<LoopTimer> deferred_;  // a stream error, handled outside its callback
    std::unique_ptr<LoopTimer> timelineTimer_;
    CaptureTimeline::Clock::time_point streamSince_;  // since when the recorded sink is linked
    std::unique_ptr<SinkWatch> sinkWatch_;            // the recorded sink's reasons for silence
    SilenceReasons silenceReasons_;                   // as last logged
    bool joinPending_ = false;  // the next audio is a newly linked sink's: it joins by the clock
    // The graph's clock, in frames of the capture's rate, where the audio taken so far ends;
    // unset until the first audio of a driver (a newly linked sink has a clock of its own).
    std::optional<std::uint64_t> graphFrames_;
    DefaultOutputFollower follower_;
};

}  // namespace halvo::pipewire
