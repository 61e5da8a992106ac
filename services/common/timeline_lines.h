#pragma once

#include <string>

#include "services/common/timeline_keeper.h"

namespace halvo {

// The diagnostic lines every capture service logs for what its TimelineKeeper finds.

// How far the audio has drifted from the system clock, and at what rate.
std::string driftMessage(const TimelineKeeper::Drift& drift);
// No audio for TimelineKeeper::kQuietAfter; `absent`: while the server has none to give.
std::string quietBeganMessage(bool absent);
// Audio again after `quiet` without.
std::string quietEndedMessage(TimelineKeeper::Clock::duration quiet);

}  // namespace halvo
