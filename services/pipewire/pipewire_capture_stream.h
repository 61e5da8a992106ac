#pragma once

#include <pipewire/stream.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_service.h"
#include "services/common/pcm_chunk.h"
#include "services/common/queued_capture_stream.h"
#include "services/common/recording_plan.h"
#include "services/common/sample_feeder.h"
#include "services/common/timeline_keeper.h"
#include "services/pipewire/application_links.h"
#include "services/pipewire/pipewire_backend.h"
#include "services/pipewire/sink_watch.h"

namespace halvo::pipewire {

// A capture stream on the PipeWire graph: a capture node of its own (node.autoconnect=false, in
// the default output's channel positions) that the helper links to the default sink's monitor
// ports itself, and links anew when the default changes, so it records nothing but an output's
// monitor. The recorded frames go through the shared TimelineKeeper and SampleFeeder.
//
// Threads: starts and stops run on the backend's queue; libpipewire's callbacks arrive on the
// loop's thread; buffers reach the output on the sample queue. Everything that touches
// libpipewire, the plan and the timeline is guarded by the loop's lock.
class PipeWireCaptureStream final : public QueuedCaptureStream<PipeWireCaptureStream>,
                                    private GraphListener {
  public:
    // How long a capture whose output vanished waits for a new default.
    static constexpr std::chrono::milliseconds kNewDefaultWait{5000};
    // About ten seconds of audio may wait for an output that does not keep up.
    static constexpr std::size_t kPendingSeconds = 10;
    // The quantum the capture node asks the graph for: about 21 ms at 48 kHz.
    static constexpr std::uint32_t kQuantumFrames = 1024;

    // With a `rule` other than everything the admitted applications are linked to the capture
    // node in place of the monitor (ApplicationLinks).
    PipeWireCaptureStream(std::shared_ptr<PipeWireBackend> backend, PcmFormat format,
                          std::weak_ptr<StreamDelegate> delegate, ApplicationRule rule = {});
    // Ends the recording; no output or delegate call starts afterwards. Not on the loop's thread.
    ~PipeWireCaptureStream() override;

  private:
    friend class QueuedCaptureStream<PipeWireCaptureStream>;

    // Service thread. Succeeds once the capture node is linked to the default output's monitor;
    // else what failed.
    Expected<void> start();
    Expected<void> failStart(Error error);  // lock held
    Expected<void> stop();

    // Lock held, on the loop's thread: GraphListener's contracts.
    void graphChanged() override;
    void connectionLost(const std::string& description) override;

    // Lock held.
    void take(const RecordingPlan::Step& step);
    // Links the capture node to `sink`'s monitor ports, by channel position (a MONO port to
    // every channel), in place of the links before; false (nothing changed) while the sink or
    // the ports are not there.
    bool linkTo(const std::string& sink);
    void tryPending();
    void pendingFailed(const std::string& description);
    void closeRecording();
    void process();
    // One buffer's `frames` interleaved frames, through the timeline to the feeder.
    void deliver(const std::byte* data, std::size_t frames);
    void updateAbsence();
    void keepTimeline();
    void armTimelineTimer();
    void watchSink();  // the recorded sink's reasons for silence, logged as they change

    static void onProcess(void* data);
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error);

    // Any thread: hand-offs to the service's thread.
    void reportStoppedBySystem(const std::string& description);
    void log(std::string message);

    const std::shared_ptr<PipeWireBackend> backend_;
    const PcmFormat format_;  // what the output gets: mono
    const std::weak_ptr<StreamDelegate> delegate_;
    const ApplicationRule rule_;
    SampleFeeder feeder_;

    // Guarded by the loop's lock.
    RecordingPlan plan_;
    std::shared_ptr<PipeWireGraph> graph_;
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
    std::string streamError_;
    std::uint32_t channels_ = 0;                      // of the capture node
    std::vector<std::unique_ptr<GraphLink>> links_;   // from the recorded sink's monitor ports
    std::uint32_t linkedSink_ = SPA_ID_INVALID;       // the recorded sink's node
    std::unique_ptr<ApplicationLinks> applications_;  // under a rule: linked in place of links_
    bool listening_ = false;
    std::unique_ptr<LoopTimer> pendingDeadline_;  // until the new default is linked
    std::unique_ptr<LoopTimer> defaultAwait_;     // while no sink is recorded
    std::unique_ptr<LoopTimer> deferred_;         // a stream error, handled outside its callback
    std::optional<TimelineKeeper> timeline_;
    std::unique_ptr<LoopTimer> timelineTimer_;
    TimelineKeeper::Clock::time_point timelineDeadline_;  // when timelineTimer_ fires
    TimelineKeeper::Clock::time_point streamSince_;       // since when the recorded sink is linked
    std::unique_ptr<SinkWatch> sinkWatch_;                // the recorded sink's reasons for silence
    SilenceReasons silenceReasons_;                       // as last logged
    bool joinPending_ = false;  // the next audio is a newly linked sink's: it joins by the clock
    // The graph's clock, in frames of the capture's rate, where the audio handed on ends; unset
    // until the first audio of a driver (a newly linked sink has a clock of its own).
    std::optional<std::uint64_t> graphFrames_;
    std::uint64_t largestBuffer_ = 0;  // frames
};

}  // namespace halvo::pipewire
