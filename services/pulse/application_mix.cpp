#include "services/pulse/application_mix.h"

#include <algorithm>
#include <utility>

namespace halvo::pulse {

void ApplicationMix::add(std::uint64_t key, const float* frames, std::size_t count) {
    Stream& stream = streams_[key];
    stream.frames.insert(stream.frames.end(), frames, frames + count);
    stream.sinceTake += count;
    if (stream.frames.size() > maxFrames_) {
        const std::size_t excess = stream.frames.size() - maxFrames_;
        stream.frames.erase(stream.frames.begin(),
                            stream.frames.begin() + static_cast<std::ptrdiff_t>(excess));
        dropped_ += excess;
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
        stream.counting = stream.counting || stream.ended || stream.frames.size() >= kLeadFrames;
        if (stream.counting) {
            const std::size_t n = std::min(count, stream.frames.size());
            for (std::size_t i = 0; i < n; ++i) {
                mix[i] += stream.frames[i];
            }
            stream.frames.erase(stream.frames.begin(),
                                stream.frames.begin() + static_cast<std::ptrdiff_t>(n));
            stream.counting = n == count;  // ran dry: the server had nothing more of it yet
        }
        it = stream.ended && stream.frames.empty() ? streams_.erase(it) : std::next(it);
    }
    return mix;
}

}  // namespace halvo::pulse
