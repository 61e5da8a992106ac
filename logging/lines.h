#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "halvo/protocol.h"

namespace halvo {

namespace platform {
class LineWriter;
}

// The two kinds of line on standard error. Services, the controller and the sink write through
// these; the entry point decides where the lines go by installing a writer once, before any other
// thread starts. Until one is installed (tests, benchmarks) each line is written to standard error
// directly, in one write. Callable from any thread.

// Makes every later line go through `writer`, which must outlive every caller (in the helper it is
// never destroyed). Called once, from the entry point, before any other thread exists.
void installLineWriter(platform::LineWriter& writer);

// Writes "[<UTC timestamp>] <message>\n". For people and logs.
void logErr(std::string_view message);

// Writes "<signal>\n". For the parent's code. Signal lines are never dropped; the writer drops
// only diagnostic lines when the parent leaves too many unread.
void sendSignal(std::string_view signal);

// Blocks while too many signal lines wait for a parent that does not read them: for the command
// reader, whose commands make the signals, so that they cannot pile up without bound. Never to be
// called on the audio path.
void waitForSignalRoom();

// Waits until every line queued so far is written, or until none has gone out for `stall`: before
// the process exits. True when everything is out.
bool flushLines(std::chrono::milliseconds stall);

// `seconds` with `decimals` digits after the point, the way every line writes a duration.
using protocol::secondsText;

// The line logErr writes for `message` at `timestamp`, for callers that need it unwritten.
std::string diagnosticLine(std::string_view timestamp, std::string_view message);

}  // namespace halvo
