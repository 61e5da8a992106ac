#pragma once

#include <pipewire/node.h>

#include <functional>
#include <optional>

#include "services/common/silence_reasons.h"
#include "services/pipewire/pipewire_graph.h"

namespace halvo::pipewire {

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

  private:
    static void onInfo(void* data, const pw_node_info* info);
    static void onParam(void* data, int seq, std::uint32_t id, std::uint32_t index,
                        std::uint32_t next, const spa_pod* param);
    void report();

    pw_node* node_ = nullptr;
    spa_hook listener_{};
    Changed changed_;
    SilenceReasons reasons_;
    bool stateKnown_ = false;
    bool propsKnown_ = false;
};

}  // namespace halvo::pipewire
