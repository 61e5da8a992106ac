#pragma once

#include <string>
#include <string_view>

namespace halvo {

// Writes "[<UTC timestamp>] <message>\n" to standard error in one write. For people and logs.
void logErr(std::string_view message);

// Writes "<signal>\n" to standard error in one write. For the parent's code.
void sendSignal(std::string_view signal);

// The line logErr writes for `message` at `timestamp`, for callers that need it unwritten.
std::string diagnosticLine(std::string_view timestamp, std::string_view message);

}  // namespace halvo
