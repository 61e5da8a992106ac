#include "services/pipewire/pipewire_graph.h"

#include <pipewire/extensions/metadata.h>
#include <spa/utils/json.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/process.h"
#include "platform/thread_check.h"

namespace halvo::pipewire {

namespace {

// The description a broken connection ends a recording with, as libpulse words it.
const char* const kConnectionTerminated = "Connection terminated";

std::string property(const spa_dict* props, const char* key) {
    const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
    return value != nullptr ? value : "";
}

std::uint32_t idProperty(const spa_dict* props, const char* key) {
    const std::string value = property(props, key);
    return value.empty() ? SPA_ID_INVALID
                         : static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
}

// {"name": "<node name>"}, as the session manager stores the default output: the name.
std::string nameInJson(const char* value) {
    if (value == nullptr) {
        return "";
    }
    spa_json outer;
    spa_json object;
    spa_json_init(&outer, value, std::strlen(value));
    if (spa_json_enter_object(&outer, &object) <= 0) {
        return "";
    }
    char key[64];
    while (spa_json_get_string(&object, key, sizeof key) > 0) {
        char name[1024];
        if (std::strcmp(key, "name") == 0 && spa_json_get_string(&object, name, sizeof name) > 0) {
            return name;
        }
        const char* skipped = nullptr;
        if (spa_json_next(&object, &skipped) <= 0) {
            break;
        }
    }
    return "";
}

}  // namespace

std::string clientProcessID(const spa_dict* props) {
    const std::string secure = property(props, PW_KEY_SEC_PID);
    if (!secure.empty() && property(props, PW_KEY_CLIENT_API) != "pipewire-pulse") {
        return secure;
    }
    return property(props, PW_KEY_APP_PROCESS_ID);
}

GraphLink::~GraphLink() {
    pw_proxy_destroy(proxy_);
}

Expected<std::shared_ptr<PipeWireGraph>> PipeWireGraph::connect(
    std::shared_ptr<PipeWireLoop> loop) {
    if (loop->get() == nullptr) {
        return Error{std::strerror(ENOMEM)};
    }
    std::shared_ptr<PipeWireGraph> graph(new PipeWireGraph(loop));
    LoopLock lock(*loop);
    // client-rt.conf, as PipeWire's own recorders have it: libpipewire's data thread, which
    // takes each cycle's wake-up from the graph, runs at real-time priority where the system
    // allows (and stays as it is where not). Otherwise every hand-over between it and the
    // loop's thread preempts one of them. The helper's own code never runs on that thread.
    graph->context_ = pw_context_new(
        loop->loop(), pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (graph->context_ == nullptr) {
        return Error{std::strerror(errno)};
    }
    graph->core_ = pw_context_connect(
        graph->context_, pw_properties_new(PW_KEY_APP_NAME, "halvo-audio-helper", nullptr), 0);
    if (graph->core_ == nullptr) {
        return Error{std::strerror(errno)};
    }
    static const pw_core_events kCoreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.info = &PipeWireGraph::onCoreInfo;
        events.done = &PipeWireGraph::onCoreDone;
        events.error = &PipeWireGraph::onCoreError;
        return events;
    }();
    pw_core_add_listener(graph->core_, &graph->coreListener_, &kCoreEvents, graph.get());
    graph->registry_ = pw_core_get_registry(graph->core_, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events kRegistryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = &PipeWireGraph::onGlobal;
        events.global_remove = &PipeWireGraph::onGlobalRemove;
        return events;
    }();
    pw_registry_add_listener(graph->registry_, &graph->registryListener_, &kRegistryEvents,
                             graph.get());
    // The first round trip lists the registry (and binds the metadata), the second brings the
    // metadata's properties.
    for (int trip = 0; trip < 2; ++trip) {
        if (Expected<void> answered = graph->roundTrip(); !answered) {
            return answered.error();
        }
    }
    return graph;
}

PipeWireGraph::~PipeWireGraph() {
    LoopLock lock(*loop_);
    boundClients_.clear();
    if (metadata_ != nullptr) {
        spa_hook_remove(&metadataListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata_));
    }
    if (registry_ != nullptr) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    if (core_ != nullptr) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
    }
    if (context_ != nullptr) {
        pw_context_destroy(context_);
    }
}

Expected<void> PipeWireGraph::roundTrip() {
    HALVO_CHECK_THREAD(!loop_->isLoopThread(), "a round trip waits off the loop's thread");
    if (!lost_.empty()) {
        return Error{lost_};
    }
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    const bool answered =
        loop_->waitUntil(kRequestTimeout, [&] { return doneSeq_ == seq || !lost_.empty(); });
    if (!lost_.empty()) {
        return Error{lost_};
    }
    if (!answered) {
        return Error{"Timeout"};
    }
    return {};
}

const NodeFacts* PipeWireGraph::sinkNamed(std::string_view name) const {
    for (const auto& [id, facts] : nodes_) {
        if (facts.name == name && facts.mediaClass == "Audio/Sink") {
            return &facts;
        }
    }
    return nullptr;
}

const NodeFacts* PipeWireGraph::node(std::uint32_t id) const {
    const auto found = nodes_.find(id);
    return found != nodes_.end() ? &found->second : nullptr;
}

const ClientFacts* PipeWireGraph::clientOf(const NodeFacts& node) const {
    const auto found = clients_.find(node.clientId);
    return found != clients_.end() ? &found->second : nullptr;
}

bool PipeWireGraph::linked(std::uint32_t outputNode, std::uint32_t inputNode) const {
    return std::any_of(links_.begin(), links_.end(), [&](const auto& link) {
        return link.second.outputNode == outputNode && link.second.inputNode == inputNode;
    });
}

std::vector<const NodeFacts*> PipeWireGraph::nodesOfClass(std::string_view mediaClass) const {
    std::vector<const NodeFacts*> found;
    for (const auto& [id, facts] : nodes_) {
        if (facts.mediaClass == mediaClass) {
            found.push_back(&facts);
        }
    }
    return found;
}

std::vector<PortFacts> PipeWireGraph::portsOf(std::uint32_t node, bool output) const {
    std::vector<PortFacts> ports;
    for (const auto& [id, facts] : ports_) {
        if (facts.nodeId == node && facts.output == output) {
            ports.push_back(facts);
        }
    }
    return ports;
}

ServerSnapshot PipeWireGraph::snapshot() const {
    ServerSnapshot snapshot;
    for (const auto& [id, client] : clients_) {
        snapshot.clients.push_back(ClientEntry{client.name, client.processID});
    }
    return snapshot;
}

std::vector<PlayingApplication> PipeWireGraph::playing() const {
    std::vector<PlayingApplication> playing;
    const NodeFacts* sink = sinkNamed(defaultSink_);
    for (const NodeFacts* node : nodesOfClass("Stream/Output/Audio")) {
        const ClientFacts* client = clientOf(*node);
        if (sink == nullptr || client == nullptr || !linked(node->id, sink->id)) {
            continue;
        }
        const std::optional<std::int32_t> pid = platform::parseProcessID(client->processID);
        std::string binary = client->binary;
        binary.erase(0, binary.rfind('/') + 1);  // npos + 1 == 0: a plain name stays
        playing.push_back(PlayingApplication{pid.value_or(0), client->name, std::move(binary)});
    }
    return playing;
}

pw_node* PipeWireGraph::bindNode(std::uint32_t id) {
    return static_cast<pw_node*>(
        pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
}

std::unique_ptr<GraphLink> PipeWireGraph::link(const PortFacts& from, const PortFacts& to) {
    pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", from.nodeId);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", from.id);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", to.nodeId);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", to.id);
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    return proxy != nullptr ? std::make_unique<GraphLink>(proxy) : nullptr;
}

std::vector<std::unique_ptr<GraphLink>> PipeWireGraph::linkByPosition(
    const std::vector<PortFacts>& from, const std::vector<PortFacts>& to) {
    std::vector<std::unique_ptr<GraphLink>> links;
    for (const PortFacts& input : to) {
        for (const PortFacts& output : from) {
            if (output.channel == input.channel || output.channel == "MONO") {
                if (std::unique_ptr<GraphLink> made = link(output, input)) {
                    links.push_back(std::move(made));
                }
            }
        }
    }
    return links;
}

void PipeWireGraph::removeListener(GraphListener& listener) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), &listener),
                     listeners_.end());
}

void PipeWireGraph::changed() {
    loop_->signal();  // a start may wait for a node or port
    // A copy: a listener may remove itself.
    for (GraphListener* listener : std::vector<GraphListener*>(listeners_)) {
        listener->graphChanged();
    }
}

PipeWireGraph::BoundClient::~BoundClient() {
    if (proxy != nullptr) {
        spa_hook_remove(&listener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(proxy));
    }
}

void PipeWireGraph::onClientInfo(void* data, const pw_client_info* info) {
    auto* bound = static_cast<BoundClient*>(data);
    if ((info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) == 0) {
        return;
    }
    bound->graph->clients_[bound->id] =
        ClientFacts{property(info->props, PW_KEY_APP_NAME), clientProcessID(info->props),
                    property(info->props, PW_KEY_APP_PROCESS_BINARY)};
    bound->graph->changed();
}

void PipeWireGraph::onCoreInfo(void* data, const pw_core_info* info) {
    auto* self = static_cast<PipeWireGraph*>(data);
    if (info->version != nullptr) {
        self->version_ = info->version;
    }
}

void PipeWireGraph::onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* self = static_cast<PipeWireGraph*>(data);
    if (id == PW_ID_CORE) {
        self->doneSeq_ = seq;
        self->loop_->signal();
    }
}

void PipeWireGraph::onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<PipeWireGraph*>(data);
    // An object's error (a link refused) is not the connection's, nor is the daemon's answer
    // to a proxy let go of just as it removed the object ("unknown resource N", ENOENT).
    if (id != PW_ID_CORE || res == -ENOENT || !self->lost_.empty()) {
        return;
    }
    self->lost_ = res == -EPIPE || message == nullptr ? kConnectionTerminated : message;
    self->loop_->signal();
    for (GraphListener* listener : std::vector<GraphListener*>(self->listeners_)) {
        listener->connectionLost(self->lost_);
    }
}

void PipeWireGraph::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                             std::uint32_t, const spa_dict* props) {
    auto* self = static_cast<PipeWireGraph*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        NodeFacts node;
        node.id = id;
        node.name = property(props, PW_KEY_NODE_NAME);
        node.mediaClass = property(props, PW_KEY_MEDIA_CLASS);
        node.clientId = idProperty(props, PW_KEY_CLIENT_ID);
        self->nodes_[id] = std::move(node);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        PortFacts port;
        port.id = id;
        port.nodeId = idProperty(props, PW_KEY_NODE_ID);
        port.output = property(props, PW_KEY_PORT_DIRECTION) == "out";
        port.channel = property(props, PW_KEY_AUDIO_CHANNEL);
        self->ports_[id] = std::move(port);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        self->links_[id] = LinkFacts{idProperty(props, PW_KEY_LINK_OUTPUT_NODE),
                                     idProperty(props, PW_KEY_LINK_INPUT_NODE)};
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        // Known once its properties come (onClientInfo): the announcement names no process.
        auto bound = std::make_unique<BoundClient>();
        bound->graph = self;
        bound->id = id;
        bound->proxy = static_cast<pw_client*>(
            pw_registry_bind(self->registry_, id, type, PW_VERSION_CLIENT, 0));
        if (bound->proxy == nullptr) {
            return;
        }
        static const pw_client_events kClientEvents = [] {
            pw_client_events events{};
            events.version = PW_VERSION_CLIENT_EVENTS;
            events.info = &PipeWireGraph::onClientInfo;
            return events;
        }();
        pw_client_add_listener(bound->proxy, &bound->listener, &kClientEvents, bound.get());
        self->boundClients_[id] = std::move(bound);
        return;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
        if (self->metadata_ == nullptr && property(props, "metadata.name") == "default") {
            self->metadata_ = static_cast<pw_metadata*>(
                pw_registry_bind(self->registry_, id, type, PW_VERSION_METADATA, 0));
            static const pw_metadata_events kMetadataEvents = [] {
                pw_metadata_events events{};
                events.version = PW_VERSION_METADATA_EVENTS;
                events.property = &PipeWireGraph::onMetadataProperty;
                return events;
            }();
            if (self->metadata_ != nullptr) {
                pw_metadata_add_listener(self->metadata_, &self->metadataListener_,
                                         &kMetadataEvents, self);
            }
        }
        return;
    } else {
        return;
    }
    self->changed();
}

void PipeWireGraph::onGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<PipeWireGraph*>(data);
    self->boundClients_.erase(id);
    self->clients_.erase(id);
    if (self->nodes_.erase(id) + self->ports_.erase(id) + self->links_.erase(id) > 0) {
        self->changed();
    }
}

int PipeWireGraph::onMetadataProperty(void* data, std::uint32_t subject, const char* key,
                                      const char*, const char* value) {
    auto* self = static_cast<PipeWireGraph*>(data);
    // A null key clears every property of the subject.
    if (subject == PW_ID_CORE && (key == nullptr || std::strcmp(key, "default.audio.sink") == 0)) {
        std::string sink = key != nullptr ? nameInJson(value) : "";
        if (sink != self->defaultSink_) {
            self->defaultSink_ = std::move(sink);
            self->changed();
        }
    }
    return 0;
}

}  // namespace halvo::pipewire
