#include "app/lines.h"

#include "platform/file_handle.h"
#include "platform/process.h"

namespace halvo {

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
    platform::FileHandle::standardError().writeAll(diagnosticLine(platform::iso8601Now(), message));
}

void sendSignal(std::string_view signal) {
    std::string line(signal);
    line += '\n';
    platform::FileHandle::standardError().writeAll(line);
}

}  // namespace halvo
