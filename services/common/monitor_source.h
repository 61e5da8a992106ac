#pragma once

#include <cstdint>
#include <string>

namespace halvo {

// The server's "no index" (PA_INVALID_INDEX).
inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

// The description a start fails with, and a following ends with, when the default output has no
// source the helper may record. Fixed: never built from the server's names.
inline constexpr const char* kNoMonitorSource = "The default output has no monitor source.";
// The description when the server moved a recording off the monitor it was made for.
inline constexpr const char* kMovedOffMonitor = "The recording was moved off the output's monitor.";

// What the server says about a sink.
struct SinkFacts {
    std::uint32_t index = kNoIndex;
    std::string monitorSourceName;  // empty when it names none
};

// What the server says about a source.
struct SourceFacts {
    std::uint32_t index = kNoIndex;
    std::string name;
    std::uint32_t monitorOfSink = kNoIndex;  // kNoIndex: not a monitor
};

// A source the helper may record: the monitor of the default sink, checked.
struct MonitorSource {
    std::uint32_t index = kNoIndex;
    std::string name;
    std::uint32_t sinkIndex = kNoIndex;  // the sink it monitors
    std::uint8_t channels = 1;           // as the source has them
};

// True when `source` is the monitor `sink` names and the server says it monitors that very sink.
// A source that merely carries the name "<sink>.monitor" is not.
bool isMonitorOf(const SourceFacts& source, const SinkFacts& sink);

}  // namespace halvo
