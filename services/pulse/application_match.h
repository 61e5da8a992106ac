#pragma once

#include <pulse/introspect.h>

#include <cstdint>
#include <string>

#include "capture/application_rule.h"

namespace halvo::pulse {

// What the server says of one playback stream (a sink input) that a rule is judged by.
struct PlaybackStream {
    std::uint32_t index = 0;
    std::uint32_t sink = 0;
    std::string applicationName;  // application.name; may be empty
    std::string binary;           // application.process.binary; may be empty
    std::string processID;        // application.process.id, unparsed; may be empty
};

// The stream as the server describes it; missing properties are empty.
PlaybackStream playbackStreamOf(const pa_sink_input_info& info);

// Whether `rule` lets `stream` into the capture. A name matches, ignoring case, the whole
// application name or the basename of the binary; a process id matches that process and its
// descendants (read from /proc). The process `self` (the helper) is always left out.
bool admits(const ApplicationRule& rule, const PlaybackStream& stream, std::int32_t self);

// Which application a stream belongs to, so lines speak of applications, not streams: its
// process when it names one, else its name.
std::string applicationKey(const PlaybackStream& stream);
// How lines name it: the name (or the binary's) and the process id, made printable.
std::string applicationLabel(const PlaybackStream& stream);

}  // namespace halvo::pulse
