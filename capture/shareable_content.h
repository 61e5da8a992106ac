#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/application_rule.h"

namespace halvo {

struct Display {
    std::uint32_t displayID = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
};

struct RunningApplication {
    std::int32_t processID = 0;
    std::string applicationName;
};

// An application with a stream playing on the default output, as the service reports it: the
// texts are the application's own, unescaped, and may be empty when it does not say.
struct PlayingApplication {
    std::int32_t processID = 0;  // 0 when the application does not say
    std::string applicationName;
    std::string binaryName;  // the basename of its executable

    bool operator==(const PlayingApplication&) const = default;
};

struct Window {
    std::uint32_t windowID = 0;
};

// What may be captured, as the capture service sees it right now. Both lists keep the
// service's order.
struct ShareableContent {
    std::vector<Display> displays;
    std::vector<RunningApplication> applications;
    // What records, for the start-up line "Sound server: ..." (such as "PipeWire 0.3.65
    // (native)"); empty when the service does not say.
    std::string soundServer;
};

// What a stream captures: one display, less the sound and pictures of the excluded applications.
struct ContentFilter {
    Display display;
    std::vector<RunningApplication> excludedApplications;
    std::vector<Window> exceptedWindows;
    // Narrows the sound further, by application; the excluded applications above always stay out.
    ApplicationRule applicationRule;
};

struct Time {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
};

struct StreamConfiguration {
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    Time minimumFrameInterval{0, 0};
    bool showsCursor = true;
    bool capturesAudio = false;
    std::int64_t sampleRate = 48000;
    std::int64_t channelCount = 2;
    bool excludesCurrentProcessAudio = false;
};

}  // namespace halvo
