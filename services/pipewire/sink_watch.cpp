#include "services/pipewire/sink_watch.h"

#include <spa/param/audio/raw.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>

#include <algorithm>

namespace halvo::pipewire {

namespace {

// The pod's array of floats.
std::vector<float> floatsOf(const spa_pod* pod) {
    float volumes[SPA_AUDIO_MAX_CHANNELS];
    const std::uint32_t count =
        spa_pod_copy_array(pod, SPA_TYPE_Float, volumes, SPA_AUDIO_MAX_CHANNELS);
    return std::vector<float>(volumes, volumes + count);
}

// True when there are volumes and all are zero.
bool allZero(const std::vector<float>& volumes) {
    return !volumes.empty() &&
           std::all_of(volumes.begin(), volumes.end(), [](float v) { return v <= 0.0f; });
}

bool boolOf(const spa_pod* pod) {
    bool value = false;
    return spa_pod_get_bool(pod, &value) == 0 && value;
}

}  // namespace

float SinkLevels::gainOf(std::uint32_t channel) const {
    if (muted || monitorMuted) {
        return 0.0f;
    }
    const float volume = channel < volumes.size() ? volumes[channel] : 1.0f;
    return volume * (channel < monitorVolumes.size() ? monitorVolumes[channel] : 1.0f);
}

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
    SinkLevels& levels = self->levels_;
    const auto* object = reinterpret_cast<const spa_pod_object*>(param);
    const spa_pod_prop* prop = nullptr;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        switch (prop->key) {
            case SPA_PROP_mute:
                levels.muted = reasons.outputMuted = boolOf(&prop->value);
                break;
            case SPA_PROP_channelVolumes:
                levels.volumes = floatsOf(&prop->value);
                reasons.outputVolumeZero = allZero(levels.volumes);
                break;
            case SPA_PROP_monitorMute:
                levels.monitorMuted = reasons.monitorMuted = boolOf(&prop->value);
                break;
            case SPA_PROP_monitorVolumes:
                levels.monitorVolumes = floatsOf(&prop->value);
                reasons.monitorVolumeZero = allZero(levels.monitorVolumes);
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
