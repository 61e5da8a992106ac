#include "app/lines.h"

#include "platform/file_handle.h"
#include "platform/line_writer.h"
#include "platform/process.h"

namespace halvo {

namespace {

// Lines waiting for a parent that does not read standard error; beyond this they are dropped.
constexpr std::size_t kQueuedLineBytes = 1 << 20;

platform::LineWriter& standardErrorLines() {
    // Never destroyed: threads may still log while the process exits.
    static auto* const writer = new platform::LineWriter(
        platform::FileHandle::standardError(), kQueuedLineBytes, [](std::uint64_t dropped) {
            return diagnosticLine(
                platform::iso8601Now(),
                std::to_string(dropped) + " lines dropped: standard error was not read");
        });
    return *writer;
}

}  // namespace

std::string diagnosticLine(std::string_view timestamp, std::string_view message) {
    std::string line;
    line.reserve(timestamp.size() + message.size() + 4);
    line += '[';
    line += timestamp;
    line += "] ";
    line += message;
    line += '\n';
    return line;
}

void logErr(std::string_view message) {
    standardErrorLines().post(diagnosticLine(platform::iso8601Now(), message));
}

void sendSignal(std::string_view signal) {
    std::string line(signal);
    line += '\n';
    standardErrorLines().post(std::move(line));
}

bool flushLines(std::chrono::milliseconds timeout) {
    return standardErrorLines().flush(timeout);
}

}  // namespace halvo
