#include "services/pipewire/application_links.h"

#include <algorithm>
#include <utility>

#include "platform/process.h"

namespace halvo::pipewire {

namespace {

const char* const kPlaybackClass = "Stream/Output/Audio";

}  // namespace

ApplicationLinks::ApplicationLinks(PipeWireGraph& graph, ApplicationRule rule,
                                   std::uint32_t captureNode, std::function<void(std::string)> log,
                                   std::set<std::string>& unmatchedNamed)
    : graph_(graph),
      rule_(std::move(rule)),
      captureNode_(captureNode),
      unmatchedNamed_(unmatchedNamed),
      roster_(std::move(log)) {}

ApplicationLinks::~ApplicationLinks() = default;

void ApplicationLinks::follow(std::uint32_t sink) {
    // Applications that play on the new output too stay in without a line.
    while (!linked_.empty()) {
        unlink(linked_.begin()->first, false);
    }
    sink_ = sink;
    update();
    roster_.sweep();
    if (std::exchange(ruleChecked_, true)) {
        return;
    }
    std::vector<PlaybackStream> playing;
    for (const NodeFacts* node : graph_.nodesOfClass(kPlaybackClass)) {
        if (std::optional<PlaybackStream> stream = streamOf(*node)) {
            playing.push_back(std::move(*stream));
        }
    }
    roster_.nameUnmatched(rule_, playing, unmatchedNamed_);
}

void ApplicationLinks::update() {
    const std::int32_t self = platform::processIdentifier();
    std::set<std::uint32_t> admitted;
    for (const NodeFacts* node : graph_.nodesOfClass(kPlaybackClass)) {
        const std::optional<PlaybackStream> stream = streamOf(*node);
        if (!stream || stream->sink != sink_ || !admits(rule_, *stream, self)) {
            continue;
        }
        const std::vector<PortFacts> ports = graph_.portsOf(node->id, true);
        std::vector<std::uint32_t> portIds;
        for (const PortFacts& port : ports) {
            portIds.push_back(port.id);
        }
        if (ports.empty()) {
            continue;  // its ports come later, and so does this change
        }
        admitted.insert(node->id);
        const auto [entry, added] = linked_.try_emplace(node->id);
        if (!added && entry->second.ports == portIds) {
            continue;
        }
        // New, or its ports changed (another format): linked afresh.
        entry->second.links.clear();
        entry->second.links = graph_.linkByPosition(ports, graph_.portsOf(captureNode_, false));
        entry->second.ports = std::move(portIds);
        if (added) {
            entry->second.application = applicationKey(*stream);
            roster_.streamIn(*stream);
        }
    }
    std::vector<std::uint32_t> gone;
    for (const auto& [node, entry] : linked_) {
        if (admitted.count(node) == 0) {
            gone.push_back(node);
        }
    }
    for (const std::uint32_t node : gone) {
        unlink(node);
    }
}

bool ApplicationLinks::empty() const {
    return std::all_of(linked_.begin(), linked_.end(),
                       [](const auto& entry) { return entry.second.links.empty(); });
}

std::optional<PlaybackStream> ApplicationLinks::streamOf(const NodeFacts& node) const {
    const ClientFacts* client = graph_.clientOf(node);
    if (client == nullptr) {
        return std::nullopt;
    }
    const bool plays = sink_ != SPA_ID_INVALID && graph_.linked(node.id, sink_);
    return PlaybackStream{node.id, plays ? sink_ : SPA_ID_INVALID, client->name, client->binary,
                          client->processID};
}

void ApplicationLinks::unlink(std::uint32_t node, bool leaves) {
    const auto found = linked_.find(node);
    if (found == linked_.end()) {
        return;
    }
    const std::string application = std::move(found->second.application);
    linked_.erase(found);  // the daemon removes its links
    roster_.streamOut(application, leaves);
}

void ApplicationLinks::applyLevels(float* samples, std::size_t frames, std::uint32_t channels,
                                   const SinkLevels& levels) {
    std::vector<float> gains(channels);
    for (std::uint32_t channel = 0; channel < channels; ++channel) {
        gains[channel] = levels.gainOf(channel);
    }
    for (std::size_t at = 0; at < frames * channels; ++at) {
        samples[at] *= gains[at % channels];
    }
}

}  // namespace halvo::pipewire
