#include "logging/lines.h"

#include <atomic>

#include "logging/line_writer.h"
#include "platform/file_handle.h"
#include "platform/process.h"

namespace halvo {

namespace {

// Set once by the entry point before other threads start; read by every caller afterwards.
std::atomic<platform::LineWriter*> installedWriter{nullptr};

void writeLine(std::string line, platform::LineKind kind) {
    if (auto* writer = installedWriter.load(std::memory_order_acquire)) {
        writer->post(std::move(line), kind);
    } else {
        platform::FileHandle::standardError().writeAll(line);
    }
}

}  // namespace

void installLineWriter(platform::LineWriter& writer) {
    installedWriter.store(&writer, std::memory_order_release);
}

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
    writeLine(diagnosticLine(platform::iso8601Now(), message), platform::LineKind::diagnostic);
}

void sendSignal(std::string_view signal) {
    std::string line(signal);
    line += '\n';
    writeLine(std::move(line), platform::LineKind::signal);
}

void waitForSignalRoom() {
    if (auto* writer = installedWriter.load(std::memory_order_acquire)) {
        writer->waitForSignalRoom();
    }
}

bool flushLines(std::chrono::milliseconds stall) {
    auto* writer = installedWriter.load(std::memory_order_acquire);
    return writer == nullptr || writer->flush(stall);
}

}  // namespace halvo
