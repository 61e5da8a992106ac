#include "services/common/timeline_lines.h"

#include <cstdio>

#include "logging/lines.h"

namespace halvo {

std::string driftMessage(const TimelineKeeper::Drift& drift) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(drift.offset).count();
    char text[160];
    std::snprintf(text, sizeof text,
                  "The audio is %lld ms %s the system clock (the output's clock: %+.0f ppm); "
                  "nothing is added or cut",
                  static_cast<long long>(ms < 0 ? -ms : ms), ms < 0 ? "behind" : "ahead of",
                  drift.ppm);
    return text;
}

std::string quietBeganMessage(bool absent) {
    return "No audio from the server for " +
           std::to_string(TimelineKeeper::kQuietAfter.count() / 1000) + " s: " +
           (absent ? "silence fills the gap until it delivers again"
                   : "what it delivers late follows in order");
}

std::string quietEndedMessage(TimelineKeeper::Clock::duration quiet) {
    return "Audio from the server again after " +
           secondsText(std::chrono::duration<double>(quiet).count(), 1) + " s";
}

}  // namespace halvo
