#pragma once

#include "services/common/queued_capture_service.h"
#include "services/pipewire/pipewire_backend.h"
#include "services/pipewire/pipewire_capture_stream.h"

namespace halvo::pipewire {

// The capture service on the PipeWire daemon itself (libpipewire): content queries read the
// registry's clients and the kernel's screens (naming the daemon's version), the list of who
// plays reads the playing nodes' applications (both fail with the library's text when the
// daemon cannot be reached within kRequestTimeout); streams are capture nodes of the helper's
// own, linked to the default sink's monitor ports.
class PipeWireCaptureService final
    : public QueuedCaptureService<PipeWireBackend, PipeWireCaptureStream> {
  public:
    // Keeps libpipewire's own log off standard error, so that only the helper's lines reach it.
    // Constructed before any other thread of the process exists.
    PipeWireCaptureService();

    // Removes PIPEWIRE_DEBUG from the environment (as the constructor does). Only while the
    // process has no other thread.
    static void removeLibraryLogSettings();
};

}  // namespace halvo::pipewire
