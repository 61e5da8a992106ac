#include "capture/unavailable/unavailable_capture_service.h"

namespace halvo {

namespace {

const char* const kDescription = "System audio capture is not available on this machine.";

class UnavailableStream : public CaptureStream {
  public:
    explicit UnavailableStream(platform::SerialQueue& completions) : completions_(completions) {}
    std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput>, StreamOutputType,
                                         std::shared_ptr<platform::SerialQueue>) override {
        return Error{kDescription};
    }
    void startCapture(CaptureCompletion completion) override { fail(std::move(completion)); }
    void stopCapture(CaptureCompletion completion) override { fail(std::move(completion)); }

  private:
    void fail(CaptureCompletion completion) {
        completions_.async(
            [completion = std::move(completion)] { completion(Error{kDescription}); });
    }
    platform::SerialQueue& completions_;
};

}  // namespace

UnavailableCaptureService::UnavailableCaptureService()
    : completions_("capture.unavailable", platform::QualityOfService::utility) {}

UnavailableCaptureService::~UnavailableCaptureService() = default;

void UnavailableCaptureService::getShareableContent(bool, bool, ContentCompletion completion) {
    completions_.async(
        [completion = std::move(completion)] { completion(std::nullopt, Error{kDescription}); });
}

std::shared_ptr<CaptureStream> UnavailableCaptureService::makeStream(
    const ContentFilter&, const StreamConfiguration&, std::weak_ptr<StreamDelegate>) {
    return std::make_shared<UnavailableStream>(completions_);
}

}  // namespace halvo
