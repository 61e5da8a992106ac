#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/application_rule.h"

namespace halvo {

// What the server says of one playback stream that a rule is judged by: a sink input (pulse) or
// a node of class Stream/Output/Audio (native).
struct PlaybackStream {
    std::uint32_t index = 0;      // the sink input's index, or the node's id
    std::uint32_t sink = 0;       // the output it plays on
    std::string applicationName;  // application.name; may be empty
    std::string binary;           // application.process.binary; may be empty
    std::string processID;        // the process id the service reports, unparsed; may be empty
};

// Whether `rule` lets `stream` into the capture. A name matches, ignoring case, the whole
// application name or the basename of the binary; a process id matches that process and its
// descendants (read from /proc). The process `self` (the helper) is always left out.
bool admits(const ApplicationRule& rule, const PlaybackStream& stream, std::int32_t self);

// Which application a stream belongs to, so lines speak of applications, not streams: its
// process when it names one, else its name.
std::string applicationKey(const PlaybackStream& stream);
// How lines name it: the name (or the binary's) and the process id, made printable.
std::string applicationLabel(const PlaybackStream& stream);

// The entries of `rule` that admit none of `streams` (the process `self` left out), in the
// rule's order: what "No application matches <APP> yet" names.
std::vector<std::string> unmatchedEntries(const ApplicationRule& rule,
                                          const std::vector<PlaybackStream>& streams,
                                          std::int32_t self);

}  // namespace halvo
