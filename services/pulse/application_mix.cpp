#include "services/pulse/application_mix.h"

#include <algorithm>
#include <utility>

namespace halvo::pulse {

void ApplicationMix::add(std::uint64_t key, const float* frames, std::size_t count) {
    const auto [found, added] = streams_.try_emplace(key);
    Stream& stream = found->second;
    if (added) {
        stream.output = output_;
    }
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
    // Keys grow with time, so earlier outputs' streams come first: where the last of them ended
    // in this block, and whether any is left, for a later output's streams to start after it.
    std::size_t earlierEnd = 0;
    bool earlierLeft = false;
    bool outputLeft = false;  // of the output of the streams so far
    std::uint64_t output = streams_.empty() ? 0 : streams_.begin()->second.output;
    for (auto it = streams_.begin(); it != streams_.end();) {
        Stream& stream = it->second;
        if (stream.output != output) {
            output = stream.output;
            earlierLeft = earlierLeft || std::exchange(outputLeft, false);
        }
        stream.burst = std::max(stream.burst, std::exchange(stream.sinceTake, 0));
        const std::size_t startLead =
            std::min(std::max(kLeadFrames, stream.burst + kLeadFrames / 2), maxFrames_ / 2);
        std::size_t from = 0;
        if (!stream.counting && (stream.ended || stream.waiting() >= startLead)) {
            stream.counting = !earlierLeft;
            from = std::min(earlierEnd, count);
        }
        if (stream.counting) {
            const std::size_t n = std::min(count - from, stream.waiting());
            const float* frames = stream.frames.data() + stream.head;
            for (std::size_t i = 0; i < n; ++i) {
                mix[from + i] += frames[i];
            }
            stream.head += n;
            const std::size_t dry = count - from - n;
            if (stream.ended && stream.waiting() == 0) {
                earlierEnd = std::max(earlierEnd, from + n);
            } else if (dry > 0 && stream.lead + dry <= maxLeadFrames_) {
                stream.lead += dry;  // the server had nothing more of it yet: it goes on later
            } else if (dry > 0) {
                stream.counting = false;
                stream.lead = 0;
                stalled_.push_back(it->first);
            }
        }
        // What was taken goes once it is the larger part: each frame moves at most once more.
        if (stream.head > stream.waiting()) {
            stream.frames.erase(stream.frames.begin(),
                                stream.frames.begin() + static_cast<std::ptrdiff_t>(stream.head));
            stream.head = 0;
        }
        if (stream.ended && stream.waiting() == 0) {
            it = streams_.erase(it);
        } else {
            outputLeft = true;
            ++it;
        }
    }
    return mix;
}

}  // namespace halvo::pulse
