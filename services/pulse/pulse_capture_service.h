#pragma once

#include "services/common/queued_capture_service.h"
#include "services/pulse/pulse_backend.h"
#include "services/pulse/pulse_capture_stream.h"

namespace halvo::pulse {

// The capture service over a PulseAudio sound server (or PipeWire's pulse server): content
// queries read the server's clients and the kernel's screens, the list of who plays reads the
// playback streams on the default sink (both within the request deadline), and streams record the
// monitor of the default sink.
//
// The helper plays no sound, so recording the whole mix already leaves its own audio out; the
// monitor cannot leave out other applications, and the filter's exclusions are not applied.
class PulseCaptureService final : public QueuedCaptureService<PulseBackend, PulseCaptureStream> {
  public:
    // Removes libpulse's logging settings (PULSE_LOG*) from the environment, so that only the
    // helper's own lines reach standard error. Constructed before any other thread of the process
    // exists.
    PulseCaptureService();

    // Removes PULSE_LOG* from the environment (as the constructor does). Only while the process
    // has no other thread.
    static void removeLibraryLogSettings();
};

}  // namespace halvo::pulse
