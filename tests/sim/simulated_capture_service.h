#pragma once

#include <memory>

#include "capture/capture_service.h"
#include "tests/sim/scenario.h"

namespace halvo::sim {

// A capture service that answers from a scenario: content, failures, delays, and the buffers
// each started stream delivers. Delivered bytes follow patternByte() across the whole run.
class SimulatedCaptureService : public CaptureService {
  public:
    explicit SimulatedCaptureService(Scenario scenario);

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    void listPlayingApplications(PlayingCompletion completion) override;
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamDelegate> delegate) override;

    // What the service has seen, for tests. An answer counts once its completion has returned.
    struct Record {
        int contentQueries = 0;
        int contentAnswers = 0;
        int streamsMade = 0;
        int startRequests = 0;
        int startAnswers = 0;
        int stopRequests = 0;
        int stopAnswers = 0;
        int systemStops = 0;  // counted once the delegate has returned
        ContentFilter lastFilter;
    };
    Record record() const;

    // The scenario, the record and the service's thread; shared with the streams.
    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace halvo::sim
