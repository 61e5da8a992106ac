#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace halvo {

// Both writers queue their line for a thread that writes it to standard error in one write, in
// the order the lines were queued: a parent that does not read standard error never holds up
// the caller (audio, commands). Callable from any thread.

// Writes "[<UTC timestamp>] <message>\n". For people and logs.
void logErr(std::string_view message);

// Writes "<signal>\n". For the parent's code.
void sendSignal(std::string_view signal);

// Waits until every line queued so far is written, or `timeout` has passed: before the process
// exits. True when everything is out.
bool flushLines(std::chrono::milliseconds timeout);

// The line logErr writes for `message` at `timestamp`, for callers that need it unwritten.
std::string diagnosticLine(std::string_view timestamp, std::string_view message);

}  // namespace halvo
