#pragma once

#include <memory>

#include "capture/capture_service.h"
#include "services/pulse/pulse_backend.h"

namespace halvo::pulse {

// The capture service over a PulseAudio sound server (or PipeWire's pulse server): content
// queries read the server's clients and the kernel's screens; streams record the monitor of
// the default sink.
//
// The helper plays no sound, so recording the whole mix already leaves its own audio out; the
// monitor cannot leave out other applications, and the filter's exclusions are not applied.
class PulseCaptureService final : public CaptureService {
  public:
    // Removes libpulse's logging settings (PULSE_LOG*) from the environment, so that only the
    // helper's own lines reach standard error. Constructed before any other thread of the process
    // exists.
    PulseCaptureService();
    ~PulseCaptureService() override;

    // Removes PULSE_LOG* from the environment (as the constructor does). Only while the process
    // has no other thread.
    static void removeLibraryLogSettings();

    // Any thread; returns at once. Completes on the service thread with the content, or with
    // libpulse's description when the server cannot be reached. The flags change nothing.
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    // Any thread; returns at once. Completes on the service thread with the playback streams on the
    // default sink, or with libpulse's description when the server cannot be reached or does not
    // answer within the deadline.
    void listPlayingApplications(PlayingCompletion completion) override;
    // Any thread. A stream, not started, in the configuration's sample rate and channel count.
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamDelegate> delegate) override;

  private:
    const std::shared_ptr<PulseBackend> backend_;
};

}  // namespace halvo::pulse
