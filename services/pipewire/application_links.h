#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/application_rule.h"
#include "services/common/application_roster.h"
#include "services/pipewire/pipewire_graph.h"
#include "services/pipewire/sink_watch.h"

namespace halvo::pipewire {

// The applications a rule admits, linked into the capture node in place of the output's
// monitor: every node of class Stream/Output/Audio that plays to the recorded sink (a link leads
// from it to the sink) and that the rule admits has its output ports linked to the capture
// node's input ports by channel position (a MONO port to every channel; a position the capture
// node, which has the sink's positions, lacks stays unlinked). The graph mixes them, sample for
// sample. The helper's own process is never admitted. The rule is applied anew at every change
// of the graph, so nodes that come, go or move to another output are followed.
//
// These links bypass the sink, whose volume and mute are applied inside it: applyLevels() gives
// the mix the sink's volume and mute, and its monitor's, as the monitor's audio has them.
//
// Made, used and destroyed with the loop's lock held; `log` must not block.
class ApplicationLinks {
  public:
    // `unmatchedNamed` (borrowed, guarded by the loop's lock, outlives this) holds the rule's
    // entries already said to match nothing, so that each is said once in a run.
    ApplicationLinks(PipeWireGraph& graph, ApplicationRule rule, std::uint32_t captureNode,
                     std::function<void(std::string)> log, std::set<std::string>& unmatchedNamed);
    // Removes every link it made.
    ~ApplicationLinks();
    ApplicationLinks(const ApplicationLinks&) = delete;
    ApplicationLinks& operator=(const ApplicationLinks&) = delete;

    // From now on the applications of `sink` (a node id) are linked; those of the sink before
    // are unlinked (the ones that play on both stay without a line). The first call names the
    // rule's entries that match none of the sink's applications.
    void follow(std::uint32_t sink);
    // The graph changed: links the newly admitted nodes (and nodes whose ports changed), unlinks
    // those gone, moved away or no longer admitted.
    void update();
    // Whether nothing is linked (no application admitted, or none with a position the capture
    // node has): then the graph has no audio for the capture.
    bool empty() const;

    // Scales `frames` interleaved frames of `channels` channels in place by `levels`.
    static void applyLevels(float* samples, std::size_t frames, std::uint32_t channels,
                            const SinkLevels& levels);

  private:
    struct Linked {
        std::string application;  // applicationKey()
        std::vector<std::uint32_t> ports;
        std::vector<std::unique_ptr<GraphLink>> links;
    };
    // The node's stream when it plays to the followed sink; nothing when it does not, or its
    // client's facts are not known yet.
    std::optional<PlaybackStream> streamOf(const NodeFacts& node) const;
    void unlink(std::uint32_t node, bool leaves = true);

    PipeWireGraph& graph_;
    const ApplicationRule rule_;
    const std::uint32_t captureNode_;
    std::set<std::string>& unmatchedNamed_;
    std::uint32_t sink_ = SPA_ID_INVALID;
    bool ruleChecked_ = false;
    std::map<std::uint32_t, Linked> linked_;  // by application node
    ApplicationRoster roster_;
};

}  // namespace halvo::pipewire
