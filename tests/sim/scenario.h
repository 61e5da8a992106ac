#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture/error.h"
#include "capture/shareable_content.h"

namespace halvo::sim {

// What one content query answers.
struct ContentAnswer {
    std::optional<ShareableContent> content = ShareableContent{{Display{1, 1920, 1080}}, {}, {}};
    std::optional<Error> error;
};

// One step of a started stream: a batch of 48 kHz mono float buffers, or the system stopping it.
struct StreamEvent {
    std::int64_t count = 1;    // kForever: until the stream stops
    std::size_t bytes = 4096;  // at most kMostBytes
    std::int64_t intervalMs = 0;
    bool early = false;               // delivered before the start completes
    std::optional<Error> systemStop;  // set: no buffers, the system stops the stream
    static constexpr std::int64_t kForever = -1;
    static constexpr std::size_t kMostBytes = 1 << 20;
};

// A scripted capture service. The lists of answers are taken in order, the last one repeating;
// an empty list means success.
struct Scenario {
    std::vector<ContentAnswer> contentAnswers;      // the probe first, then one per start
    std::vector<std::optional<Error>> startErrors;  // one per start request
    std::int64_t contentDelayMs = 0;
    std::int64_t startDelayMs = 0;
    // Events of the nth started stream (1-based); those of 0 for streams without their own.
    std::map<int, std::vector<StreamEvent>> streams;
    // Who plays now, one entry per stream; listing them fails with the first content answer's
    // error, if it has one.
    std::vector<PlayingApplication> playing;
};

// The scenario a text describes; throws std::runtime_error("line N: what is wrong").
Scenario parseScenario(const std::string& text);

// The byte the simulated service puts at position `index` of everything it ever delivers, so
// that a reader can check any stretch of the stream.
constexpr std::uint8_t patternByte(std::uint64_t index) {
    return static_cast<std::uint8_t>(index % 251);
}

}  // namespace halvo::sim
