#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace halvo::pulse {

// The mix of the admitted applications' streams, each recorded on its own, taken in step with
// the clock of the whole output. Every frame a stream delivers goes into the mix exactly once
// and in order; a stream that lags behind has its frames mixed in later, never dropped.
// Not thread-safe: its owner's lock guards it.
class ApplicationMix {
  public:
    // A stream starts to count once this many frames wait (two of the output's fragments), or
    // more than it has delivered between two takes, plus one of them. (A stream may come in
    // bursts: PipeWire's pulse server hands a per-stream recording over as the player's buffer
    // fills, which is in blocks of 150 ms for pacat's defaults.)
    static constexpr std::size_t kLeadFrames = 2048;

    // `maxLeadFrames`: how far a counting stream's dry spells may put it behind (see take()).
    ApplicationMix(std::size_t maxFrames, std::size_t maxLeadFrames)
        : maxFrames_(maxFrames), maxLeadFrames_(maxLeadFrames) {}

    // Mono frames of stream `key`, in order. Beyond `maxFrames` waiting, the oldest are dropped
    // (the clock has stopped taking; it never does for long) and counted.
    void add(std::uint64_t key, const float* frames, std::size_t count);
    // The stream delivers no more: what waits is still mixed in, then it is forgotten.
    void end(std::uint64_t key);
    // Another output's streams follow: streams that deliver first from now on start to count
    // only once every earlier stream has been played out, so the two outputs' audio follows
    // one another, none of it cut.
    void beginOutput() { ++output_; }
    // The next `count` frames: the sum of what each counting stream has, from the start of the
    // block; silence where none has any. A counting stream that runs dry goes on at once with
    // what comes next: the silence in its place puts it that much further behind, which is the
    // lead that keeps it from running dry again. Past `maxLeadFrames` of it, it stops counting
    // (see takeStalled()) until it has a start's lead again.
    std::vector<float> take(std::size_t count);
    // Frames dropped since the last call.
    std::uint64_t takeDropped() { return std::exchange(dropped_, 0); }
    // The streams that stopped counting since the last call.
    std::vector<std::uint64_t> takeStalled() { return std::exchange(stalled_, {}); }

  private:
    struct Stream {
        std::vector<float> frames;  // from `head` on
        std::size_t head = 0;
        std::size_t waiting() const { return frames.size() - head; }
        std::size_t sinceTake = 0;  // frames added since the last take
        std::size_t burst = 0;      // the most added between two takes
        std::size_t lead = 0;       // the silence its dry spells put in while counting
        std::uint64_t output = 0;   // the output it belongs to
        bool counting = false;
        bool ended = false;
    };
    const std::size_t maxFrames_;
    const std::size_t maxLeadFrames_;
    std::map<std::uint64_t, Stream> streams_;
    std::uint64_t output_ = 0;
    std::uint64_t dropped_ = 0;
    std::vector<std::uint64_t> stalled_;
};

}  // namespace halvo::pulse
