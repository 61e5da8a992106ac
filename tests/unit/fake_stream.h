#pragma once

#include "capture/capture_service.h"

namespace halvo::testing {

// A stream that does nothing: enough to hand buffers to an output directly.
class InertStream : public CaptureStream {
  public:
    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput>, StreamOutputType,
                                         std::shared_ptr<platform::SerialQueue>) override {
        return std::nullopt;
    }
    void startCapture(CaptureCompletion) override {}
    void stopCapture(CaptureCompletion) override {}
};

}  // namespace halvo::testing
