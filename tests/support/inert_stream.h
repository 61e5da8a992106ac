#pragma once

#include "capture/capture_service.h"

namespace halvo::testing {

// Enough of a stream to hand buffers to an output, which only passes the stream along: nothing
// of it is ever called.
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
