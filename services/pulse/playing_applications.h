#pragma once

#include <vector>

#include <pulse/introspect.h>

#include "capture/shareable_content.h"
#include "services/common/application_match.h"
#include "services/common/expected.h"
#include "services/pulse/pulse_context.h"

namespace halvo::pulse {

// A sink input as the server describes it; missing properties are empty, the process id is
// application.process.id.
PlaybackStream playbackStreamOf(const pa_sink_input_info& info);

// Service thread, the loop's lock held. The playback streams (sink inputs) on the default sink,
// in the server's order, each with its application's process id, name and binary as the
// stream's properties give them (application.process.id, application.name,
// application.process.binary). Waits for the server, kRequestTimeout at most per request; the
// library's description when the connection fails or the deadline passes. No default sink, or
// one gone while it was read, means nobody plays: an empty list.
Expected<std::vector<PlayingApplication>> readPlayingApplications(PulseContext& connection);

}  // namespace halvo::pulse
