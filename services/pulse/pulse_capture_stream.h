#pragma once

#include <pulse/sample.h>

#include <memory>
#include <optional>

#include "capture/capture_service.h"
#include "services/common/capture_timeline.h"
#include "services/common/default_output_follower.h"
#include "services/common/pcm_chunk.h"
#include "services/common/queued_capture_stream.h"
#include "services/common/sample_feeder.h"
#include "services/pulse/application_capture.h"
#include "services/pulse/pulse_backend.h"
#include "services/pulse/pulse_record_stream.h"
#include "services/pulse/silence_watch.h"

namespace halvo::pulse {

// A capture stream over libpulse: records the monitor source of the server's default sink and
// feeds the registered output through a SampleFeeder. It owns the record streams (the active
// one, whose audio the output gets, and a new default's pending one until it takes over) and
// tells the timeline (QueuedCaptureStream's CaptureTimeline) of their audio; a
// DefaultOutputFollower decides when to follow the default, and a SilenceWatch reads what may
// silence the recorded output.
//
// It records nothing but a source the server lists as the default sink's monitor, and only while
// the stream is on that very source: a start that finds none fails, a new default without one is
// not followed, and a recording the server moves elsewhere ends.
//
// Threads: starts and stops run on the backend's queue; libpulse's callbacks arrive on the
// main loop's thread; buffers reach the output on the sample queue. Everything that touches
// libpulse, the plan and the timeline is guarded by the main loop's lock.
class PulseCaptureStream final : public QueuedCaptureStream<PulseCaptureStream, PulseBackend>,
                                 private PulseRecordStream::Listener,
                                 private ServerListener {
  public:
    // Frames per fragment the server sends: about every 21 ms at 48 kHz.
    static constexpr std::uint32_t kFragmentFrames = 1024;
    // A new default's stream takes over after this many deliveries: the earliest of them tells
    // best when it began recording, and so where it joins.
    static constexpr int kDeliveriesBeforeJoining = 3;

    // With a rule other than everything, the output's samples give way to the mix of the
    // applications the rule admits (see ApplicationCapture); the output's stream keeps the time.
    PulseCaptureStream(std::shared_ptr<PulseBackend> backend, PcmFormat format,
                       std::weak_ptr<StreamDelegate> delegate, ApplicationRule rule = {});
    // Ends the recording; no output or delegate call starts afterwards.
    ~PulseCaptureStream() override;

  private:
    friend class QueuedCaptureStream<PulseCaptureStream, PulseBackend>;
    using Lock = MainLoopLock;

    // Service thread, the plan begun. Succeeds once the recording is ready; else libpulse's
    // description of what failed.
    Expected<void> start();
    // Lock held, any thread: lets go of every libpulse object of the recording.
    void closeRecording();

    // Lock held, as libpulse's callbacks are; the contracts are PulseRecordStream::Listener's and
    // ServerListener's.
    void recordStreamStateChanged(PulseRecordStream& stream) override;
    void recordStreamReadable(PulseRecordStream& stream, std::size_t readableBytes) override;
    void recordStreamRead(PulseRecordStream& stream, const void* data, std::size_t length) override;
    void recordStreamSuspended(PulseRecordStream& stream) override;
    void recordStreamMoved(PulseRecordStream& stream) override;
    void serverChanged() override;
    void connectionLost(const std::string& description) override;
    void deviceChanged(Device device, std::uint32_t index) override;

    // Lock held: DefaultOutputFollower::Recorder's contracts.
    void openPending(const std::string& sink) override;
    void closePending() override;
    void promotePending() override;
    void pendingTimedOut() override;
    void askDefaultSink() override;
    std::unique_ptr<ServiceTimer> startTimer(std::chrono::milliseconds timeout,
                                             std::function<void()> expired) override;

    // Lock held.
    void openPendingOn(const Expected<MonitorSource>& monitor);
    void pendingFailed(std::string description);
    void activeEnded(std::string description, bool serverLost);
    // Reads what the active stream holds; `newStream` when it has just taken over.
    void readActive(bool newStream = false);
    void updateAbsence();  // whether the server has audio to give
    void setTimelineTimer(CaptureTimeline::Clock::duration timeout);

    const ApplicationRule rule_;

    // Guarded by the main loop's lock.
    std::shared_ptr<PulseContext> connection_;
    // A second connection, so that a new default's stream never shares one with the recorded
    // stream (see openPendingOn); null when it could not be made.
    std::shared_ptr<PulseContext> streamConnection_;
    std::unique_ptr<PulseRecordStream> active_;         // the recording the output gets
    std::unique_ptr<PulseRecordStream> pending_;        // the new default's, until it delivers
    std::unique_ptr<ApplicationCapture> applications_;  // with a rule: what the output gets
    std::unique_ptr<DefaultSinkQuery> defaultSinkQuery_;
    std::unique_ptr<LoopTimer> defaultSinkDeadline_;
    std::unique_ptr<MonitorQuery> monitorQuery_;  // the new default's monitor, until it is known
    bool listening_ = false;                      // registered with connection_ for server events
    std::unique_ptr<LoopTimer> timelineTimer_;
    std::uint64_t dropFrames_ = 0;  // of the active stream's next audio, which overlaps the old's
    // The pending stream: the earliest estimate of when it began recording, and its deliveries.
    std::optional<CaptureTimeline::Clock::time_point> pendingSince_;
    int pendingDeliveries_ = 0;
    SilenceWatch silence_;  // of the active stream's output
    DefaultOutputFollower follower_;
};

}  // namespace halvo::pulse
