#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/error.h"
#include "capture/shareable_content.h"

namespace halvo::sim {

// What one content query answers.
struct ContentAnswer {
    std::optional<Error> error;
    std::vector<Display> displays{Display{1, 1920, 1080}};
    // Process ids of the running applications; kSelf stands for the helper's own.
    std::vector<std::int64_t> applicationProcessIDs;
    static constexpr std::int64_t kSelf = -1;
};

// A batch of 48 kHz mono float buffers that a started stream delivers.
struct BufferBatch {
    std::int64_t count = 1;    // kForever: until the stream stops
    std::size_t bytes = 4096;  // at most kMostBytes
    std::int64_t intervalMs = 0;
    bool beforeStartCompletes = false;
    static constexpr std::int64_t kForever = -1;
    static constexpr std::size_t kMostBytes = 1 << 20;
};

struct SystemStop {
    Error error;
};

using StreamEvent = std::variant<BufferBatch, SystemStop>;

// A scripted capture service. Lists indexed by occurrence take their entries in order and
// repeat the last one; an empty list means success.
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

    const std::vector<StreamEvent>& eventsForStream(int ordinal) const {
        static const std::vector<StreamEvent> none;
        const auto found = streams.find(streams.contains(ordinal) ? ordinal : 0);
        return found == streams.end() ? none : found->second;
    }
};

struct ParseResult {
    std::optional<Scenario> scenario;
    std::string error;  // "line N: what is wrong" when scenario is empty
};

ParseResult parseScenario(const std::string& text);

// The byte the simulated service puts at position `index` of everything it ever delivers, so
// that a reader can check any stretch of the stream.
constexpr std::uint8_t patternByte(std::uint64_t index) {
    return static_cast<std::uint8_t>(index % 251);
}

}  // namespace halvo::sim
