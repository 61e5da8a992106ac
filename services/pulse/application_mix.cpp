#include "services/pulse/application_mix.h"

#include <algorithm>
#include <utility>

namespace halvo::pulse {

void ApplicationMix::add(std::uint64_t key, const float* frames, std::size_t count) {
    Stream& stream = streams_[key];
    stream.frames.insert(stream.frames.end(), frames, frames + count);
    stream.sinceTake += count;
    if (stream.waiting() > maxFrames_) {
        dropped_ += stream.waiting() - maxFrames_;
        stream.head = stream.frames.size() - maxFrames_;
    }
}

void ApplicationMix::end(std::uint64_t key) {
    if (auto found = streams_.find(key); found != streams_.end()) {
        found->second.ended = true;
    }
}

std::vector<float> ApplicationMix::take(std::size_t count) {
    std::vector<float> mix(count, 0.0f);
    for (auto it = streams_.begin(); it != streams_.end();) {
        Stream& stream = it->second;
        stream.burst = std::max(stream.burst, std::exchange(stream.sinceTake, 0));
        const std::size_t lead =
            std::min(std::max(kLeadFrames, stream.burst + kLeadFrames / 2), maxFrames_ / 2);
        stream.counting = stream.counting || stream.ended || stream.waiting() >= lead;
        if (stream.counting) {
            const std::size_t n = std::min(count, stream.waiting());
            const float* from = stream.frames.data() + stream.head;
            for (std::size_t i = 0; i < n; ++i) {
                mix[i] += from[i];
            }
            stream.head += n;
            stream.counting = n == count;  // ran dry: the server had nothing more of it yet
        }
        // What was taken goes once it is the larger part: each frame moves at most once more.
        if (stream.head > stream.waiting()) {
            stream.frames.erase(stream.frames.begin(),
                                stream.frames.begin() + static_cast<std::ptrdiff_t>(stream.head));
            stream.head = 0;
        }
        it = stream.ended && stream.waiting() == 0 ? streams_.erase(it) : std::next(it);
    }
    return mix;
}

}  // namespace halvo::pulse
