#pragma once

#include <pipewire/node.h>

#include <functional>
#include <optional>
#include <vector>

#include "services/common/silence_reasons.h"
#include "services/pipewire/pipewire_graph.h"

namespace halvo::pipewire {

// The sink's volume and mute, and its monitor's, as its Props last said (all 1, unmuted, until
// they do): what a recording that bypasses the sink's own processing applies itself.
struct SinkLevels {
    std::vector<float> volumes;  // per channel, linear
    bool muted = false;
    std::vector<float> monitorVolumes;
    bool monitorMuted = false;

    // The factor for the sink's `channel`th channel.
    float gainOf(std::uint32_t channel) const;
};

// Watches one sink node for what may silence its monitor: its state (suspended) and its Props
// (mute, channel volumes, and the monitor's own mute and volumes). Made, used and destroyed with
// the loop's lock held; `changed` runs on the loop's thread with the lock held, with each new
// reading once the node has said both its state and its Props.
class SinkWatch {
  public:
    using Changed = std::function<void(const SilenceReasons& reasons)>;

    SinkWatch(PipeWireGraph& graph, std::uint32_t node, Changed changed);
    ~SinkWatch();
    SinkWatch(const SinkWatch&) = delete;
    SinkWatch& operator=(const SinkWatch&) = delete;

    const SinkLevels& levels() const { return levels_; }

  private:
    static void onInfo(void* data, const pw_node_info* info);
    static void onParam(void* data, int seq, std::uint32_t id, std::uint32_t index,
                        std::uint32_t next, const spa_pod* param);
    void report();

    pw_node* node_ = nullptr;
    spa_hook listener_{};
    Changed changed_;
    SilenceReasons reasons_;
    SinkLevels levels_;
    bool stateKnown_ = false;
    bool propsKnown_ = false;
};

}  // namespace halvo::pipewire
