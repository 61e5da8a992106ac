#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// The words the helper and its parents share on the helper's standard error, defined here once:
// the helper writes them and the client parses them. A parent may use them too; this header is
// installed with the client's.
namespace halvo::protocol {

// Signal lines, each a line of its own, for the parent's code.
inline constexpr std::string_view kWaiting = "WAITING";  // probed; capture starts by itself
inline constexpr std::string_view kCaptureStarted = "CAPTURE_STARTED";
inline constexpr std::string_view kStopped = "STOPPED";  // every STOP (and end of input) ends so
inline constexpr std::string_view kPermissionDenied = "ERROR:PERMISSION_DENIED";
inline constexpr std::string_view kNoDisplay = "ERROR:NO_DISPLAY";
// "ERROR:STREAM_STOPPED:<description>": the system ended a running stream.
inline constexpr std::string_view kStreamStoppedPrefix = "ERROR:STREAM_STOPPED:";
// "ERROR:<description>": setting up or starting a stream failed. Every error signal starts so.
inline constexpr std::string_view kErrorPrefix = "ERROR:";

inline std::string errorSignal(std::string_view description) {
    return std::string(kErrorPrefix).append(description);
}
inline std::string streamStoppedSignal(std::string_view description) {
    return std::string(kStreamStoppedPrefix).append(description);
}

// Diagnostic messages a parent reads. The reason for ERROR:PERMISSION_DENIED comes in a
// diagnostic before it, "Permission denied: <reason>" at start-up or "Content error: <reason>"
// for a START; other threads' lines may come between the two.
inline constexpr std::string_view kPermissionDeniedReason = "Permission denied: ";
inline constexpr std::string_view kContentErrorReason = "Content error: ";

// "Audio format: 48000.0Hz, 2ch, 32bit": the layout of the audio on standard output, announced
// before its first byte.
inline constexpr std::string_view kAudioFormatPrefix = "Audio format: ";
inline constexpr std::string_view kRateUnit = "Hz, ";
inline constexpr std::string_view kChannelsUnit = "ch, ";
inline constexpr std::string_view kBitsUnit = "bit";

// `rate`: the sample rate as written, such as "48000.0".
inline std::string audioFormatMessage(std::string_view rate, std::uint32_t channels,
                                      std::uint32_t bits) {
    std::string message(kAudioFormatPrefix);
    message.append(rate).append(kRateUnit).append(std::to_string(channels));
    message.append(kChannelsUnit).append(std::to_string(bits)).append(kBitsUnit);
    return message;
}

// `seconds` with `decimals` digits after the point, the way every line writes a duration.
inline std::string secondsText(double seconds, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, seconds);
    return text;
}

}  // namespace halvo::protocol
