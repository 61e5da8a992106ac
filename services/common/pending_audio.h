#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace halvo {

// Recorded chunks the output has not taken yet, at most `capacityBytes` of them.
//
// When a new chunk would take the total past the capacity, the oldest chunks are dropped until
// it fits: what a reader finds when it comes back is the most recent audio, running straight
// on into the live stream, with the gap where it stopped reading. Dropping happens in episodes:
// one begins with the first drop and ends once the reader has caught up (nothing pending), and
// each ended episode is reported once with the bytes it dropped. Not thread-safe.
class PendingAudio {
  public:
    using Chunk = std::vector<std::byte>;

    explicit PendingAudio(std::size_t capacityBytes) : capacity_(capacityBytes) {}

    void push(Chunk chunk);
    // The oldest pending chunk, if any.
    std::optional<Chunk> pop();

    // The bytes dropped in an episode that has ended, once per episode.
    std::optional<std::uint64_t> takeEndedEpisode();
    // Ends the current episode, if any, and reports it like takeEndedEpisode().
    std::optional<std::uint64_t> endEpisode();

    std::size_t pendingBytes() const { return pendingBytes_; }
    bool empty() const { return chunks_.empty(); }

  private:
    void finishEpisode();

    const std::size_t capacity_;
    std::deque<Chunk> chunks_;
    std::size_t pendingBytes_ = 0;
    std::uint64_t droppedInEpisode_ = 0;  // > 0 while an episode is under way
    std::optional<std::uint64_t> endedEpisode_;
};

}  // namespace halvo
