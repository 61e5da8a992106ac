#pragma once

#include <memory>

#include "capture/capture_service.h"
#include "services/pipewire/pipewire_backend.h"

namespace halvo::pipewire {

// The capture service on the PipeWire daemon itself (libpipewire): content queries read the
// registry's clients and the kernel's screens; streams are capture nodes of the helper's own,
// linked to the default sink's monitor ports.
class PipeWireCaptureService final : public CaptureService {
  public:
    // Keeps libpipewire's own log off standard error, so that only the helper's lines reach it.
    // Constructed before any other thread of the process exists.
    PipeWireCaptureService();
    ~PipeWireCaptureService() override;

    // Removes PIPEWIRE_DEBUG from the environment (as the constructor does). Only while the
    // process has no other thread.
    static void removeLibraryLogSettings();

    // Any thread; returns at once. Completes on the service thread with the content (naming the
    // daemon's version), or with the library's text when the daemon cannot be reached or does not
    // answer within kRequestTimeout. The flags change nothing.
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    // Any thread; returns at once. Completes on the service thread with the playing nodes'
    // applications, or with the library's text when the daemon cannot be reached.
    void listPlayingApplications(PlayingCompletion completion) override;
    // Any thread. A stream, not started, in the configuration's sample rate and channel count.
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamDelegate> delegate) override;

  private:
    const std::shared_ptr<PipeWireBackend> backend_;
};

}  // namespace halvo::pipewire
