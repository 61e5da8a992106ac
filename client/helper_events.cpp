#include "halvo/client/helper_events.h"

#include <charconv>
#include <cmath>

namespace halvo::client {

namespace {

// Reads an unsigned number at the front of `text` and the `suffix` right after it.
std::optional<std::uint32_t> takeNumberThen(std::string_view& text, std::string_view suffix) {
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data()) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (!text.starts_with(suffix)) {
        return std::nullopt;
    }
    text.remove_prefix(suffix.size());
    return value;
}

}  // namespace

std::optional<AudioFormat> parseFormatMessage(std::string_view message) {
    if (!message.starts_with(protocol::kAudioFormatPrefix)) {
        return std::nullopt;
    }
    std::string_view rest = message.substr(protocol::kAudioFormatPrefix.size());
    AudioFormat format;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(),
                                           format.sampleRate, std::chars_format::fixed);
    if (ec != std::errc() || end == rest.data()) {
        return std::nullopt;
    }
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    if (!rest.starts_with(protocol::kRateUnit)) {
        return std::nullopt;
    }
    rest.remove_prefix(protocol::kRateUnit.size());
    const auto channels = takeNumberThen(rest, protocol::kChannelsUnit);
    if (!channels) {
        return std::nullopt;
    }
    const auto bits = takeNumberThen(rest, protocol::kBitsUnit);
    if (!bits || !rest.empty()) {
        return std::nullopt;
    }
    format.channels = *channels;
    format.bitsPerChannel = *bits;
    const bool plausible = std::isfinite(format.sampleRate) && format.sampleRate >= 1 &&
                           format.channels >= 1 && format.channels <= 64 &&
                           format.bitsPerChannel >= 8 && format.bitsPerChannel <= 64 &&
                           format.bitsPerChannel % 8 == 0;
    return plausible ? std::optional(format) : std::nullopt;
}

std::optional<Signal> parseSignalLine(std::string_view line) {
    using namespace protocol;
    if (line == kWaiting) {
        return Signal{SignalKind::waiting, {}};
    }
    if (line == kCaptureStarted) {
        return Signal{SignalKind::captureStarted, {}};
    }
    if (line == kStopped) {
        return Signal{SignalKind::stopped, {}};
    }
    if (line == kPermissionDenied) {
        return Signal{SignalKind::permissionDenied, {}};
    }
    if (line == kNoDisplay) {
        return Signal{SignalKind::noDisplay, {}};
    }
    if (line.starts_with(kStreamStoppedPrefix)) {
        return Signal{SignalKind::streamStopped,
                      std::string(line.substr(kStreamStoppedPrefix.size()))};
    }
    if (line.starts_with(kErrorPrefix)) {
        return Signal{SignalKind::captureFailed, std::string(line.substr(kErrorPrefix.size()))};
    }
    return std::nullopt;
}

const char* signalName(SignalKind kind) {
    switch (kind) {
        case SignalKind::waiting:
            return "waiting";
        case SignalKind::captureStarted:
            return "capture started";
        case SignalKind::stopped:
            return "stopped";
        case SignalKind::permissionDenied:
            return "permission denied";
        case SignalKind::noDisplay:
            return "no display";
        case SignalKind::captureFailed:
            return "capture failed";
        case SignalKind::streamStopped:
            return "stream stopped";
    }
    return "unknown";
}

}  // namespace halvo::client
