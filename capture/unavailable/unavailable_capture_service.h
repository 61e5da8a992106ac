#pragma once

#include "capture/capture_service.h"

namespace halvo {

// A service for machines where system audio cannot be captured: every content query fails with
// a description that says so.
class UnavailableCaptureService : public CaptureService {
  public:
    UnavailableCaptureService();
    ~UnavailableCaptureService() override;

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamDelegate> delegate) override;

  private:
    platform::SerialQueue completions_;
};

}  // namespace halvo
