#include "services/common/pending_audio.h"

#include <utility>

namespace halvo {

void PendingAudio::push(Chunk chunk) {
    pendingBytes_ += chunk.size();
    chunks_.push_back(std::move(chunk));
    while (pendingBytes_ > capacity_ && !chunks_.empty()) {
        pendingBytes_ -= chunks_.front().size();
        droppedInEpisode_ += chunks_.front().size();
        chunks_.pop_front();
    }
}

std::optional<PendingAudio::Chunk> PendingAudio::pop() {
    if (chunks_.empty()) {
        return std::nullopt;
    }
    Chunk chunk = std::move(chunks_.front());
    chunks_.pop_front();
    pendingBytes_ -= chunk.size();
    if (chunks_.empty() && droppedInEpisode_ > 0) {
        finishEpisode();  // the reader has caught up
    }
    return chunk;
}

std::optional<std::uint64_t> PendingAudio::takeEndedEpisode() {
    return std::exchange(endedEpisode_, std::nullopt);
}

std::optional<std::uint64_t> PendingAudio::endEpisode() {
    finishEpisode();
    return takeEndedEpisode();
}

void PendingAudio::finishEpisode() {
    if (droppedInEpisode_ > 0) {
        endedEpisode_ = endedEpisode_.value_or(0) + std::exchange(droppedInEpisode_, 0);
    }
}

}  // namespace halvo
