#include "services/pipewire/sink_watch.h"

#include <spa/param/audio/raw.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>

#include <algorithm>

namespace halvo::pipewire {

namespace {

// True when the pod is an array of floats that are all zero.
bool allZero(const spa_pod* pod) {
    float volumes[SPA_AUDIO_MAX_CHANNELS];
    const std::uint32_t count =
        spa_pod_copy_array(pod, SPA_TYPE_Float, volumes, SPA_AUDIO_MAX_CHANNELS);
    return count > 0 && std::all_of(volumes, volumes + count, [](float v) { return v <= 0.0f; });
}

bool boolOf(const spa_pod* pod) {
    bool value = false;
    return spa_pod_get_bool(pod, &value) == 0 && value;
}

}  // namespace

SinkWatch::SinkWatch(PipeWireGraph& graph, std::uint32_t node, Changed changed)
    : changed_(std::move(changed)) {
    node_ = graph.bindNode(node);
    if (node_ == nullptr) {
        return;
    }
    static const pw_node_events kEvents = [] {
        pw_node_events events{};
        events.version = PW_VERSION_NODE_EVENTS;
        events.info = &SinkWatch::onInfo;
        events.param = &SinkWatch::onParam;
        return events;
    }();
    pw_node_add_listener(node_, &listener_, &kEvents, this);
    std::uint32_t ids[] = {SPA_PARAM_Props};
    pw_node_subscribe_params(node_, ids, 1);
}

SinkWatch::~SinkWatch() {
    if (node_ != nullptr) {
        spa_hook_remove(&listener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(node_));
    }
}

void SinkWatch::onInfo(void* data, const pw_node_info* info) {
    auto* self = static_cast<SinkWatch*>(data);
    if ((info->change_mask & PW_NODE_CHANGE_MASK_STATE) != 0 || !self->stateKnown_) {
        self->stateKnown_ = true;
        self->reasons_.outputSuspended = info->state == PW_NODE_STATE_SUSPENDED;
        self->report();
    }
}

void SinkWatch::onParam(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                        const spa_pod* param) {
    auto* self = static_cast<SinkWatch*>(data);
    if (id != SPA_PARAM_Props || param == nullptr || !spa_pod_is_object(param)) {
        return;
    }
    SilenceReasons& reasons = self->reasons_;
    const auto* object = reinterpret_cast<const spa_pod_object*>(param);
    const spa_pod_prop* prop = nullptr;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        switch (prop->key) {
            case SPA_PROP_mute:
                reasons.outputMuted = boolOf(&prop->value);
                break;
            case SPA_PROP_channelVolumes:
                reasons.outputVolumeZero = allZero(&prop->value);
                break;
            case SPA_PROP_monitorMute:
                reasons.monitorMuted = boolOf(&prop->value);
                break;
            case SPA_PROP_monitorVolumes:
                reasons.monitorVolumeZero = allZero(&prop->value);
                break;
            default:
                break;
        }
    }
    self->propsKnown_ = true;
    self->report();
}

void SinkWatch::report() {
    if (stateKnown_ && propsKnown_) {
        changed_(reasons_);
    }
}

}  // namespace halvo::pipewire
