#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "halvo/protocol.h"

namespace halvo::client {

// What the helper announces with a signal line on its standard error (the lines are in
// halvo/protocol.h).
enum class SignalKind {
    waiting,           // "WAITING": the permission probe passed; capture starts by itself
    captureStarted,    // "CAPTURE_STARTED"
    stopped,           // "STOPPED": every STOP (and the end of input) ends with it
    permissionDenied,  // "ERROR:PERMISSION_DENIED": at start-up the helper then exits 1
    noDisplay,         // "ERROR:NO_DISPLAY"
    captureFailed,     // "ERROR:<detail>": setting up or starting the stream failed
    streamStopped,     // "ERROR:STREAM_STOPPED:<detail>": the system ended a running stream
};

struct Signal {
    SignalKind kind = SignalKind::waiting;
    // The description of captureFailed and streamStopped; may be empty or hold line feeds. For
    // permissionDenied, the reason the helper gave in the diagnostic line before it
    // ("Connection refused"), or empty.
    std::string detail;

    bool operator==(const Signal&) const = default;
};

// A line "[timestamp] message"; lines that fit no pattern arrive with an empty timestamp.
struct Diagnostic {
    std::string timestamp;
    std::string message;

    bool operator==(const Diagnostic&) const = default;
};

// The layout of the raw PCM on the helper's standard output, as the helper announced it.
struct AudioFormat {
    double sampleRate = 0;
    std::uint32_t channels = 0;
    std::uint32_t bitsPerChannel = 0;

    std::uint32_t bytesPerFrame() const { return channels * bitsPerChannel / 8; }
    bool operator==(const AudioFormat&) const = default;
};

// One thing read from the helper's standard error.
using StderrRecord = std::variant<Signal, Diagnostic, AudioFormat>;

// The format named by a diagnostic message "Audio format: 48000.0Hz, 1ch, 32bit"; nothing for
// any other message, or for a rate, channel count or sample size that no stream can have.
std::optional<AudioFormat> parseFormatMessage(std::string_view message);

// The signal a whole line stands for, or nothing when the line is not a signal line.
std::optional<Signal> parseSignalLine(std::string_view line);

const char* signalName(SignalKind kind);

}  // namespace halvo::client
