#pragma once

#include <pipewire/client.h>
#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "services/common/expected.h"
#include "services/common/server_snapshot.h"
#include "services/pipewire/pipewire_loop.h"

namespace halvo::pipewire {

// Every request to the daemon, connecting included, has this deadline.
inline constexpr std::chrono::milliseconds kRequestTimeout{5000};

// What the registry says of a node, a port and a client.
struct NodeFacts {
    std::uint32_t id = 0;
    std::string name;        // node.name
    std::string mediaClass;  // media.class, such as Audio/Sink
    std::uint32_t clientId = SPA_ID_INVALID;
};
struct PortFacts {
    std::uint32_t id = 0;
    std::uint32_t nodeId = SPA_ID_INVALID;
    bool output = false;
    std::string channel;  // audio.channel: FL, FR, MONO ...
};
struct ClientFacts {
    std::string name;       // application.name
    std::string processID;  // see clientProcessID(); unparsed
    std::string binary;     // application.process.binary
};
struct LinkFacts {
    std::uint32_t outputNode = SPA_ID_INVALID;
    std::uint32_t inputNode = SPA_ID_INVALID;
};

// The process a client speaks for: the daemon's pipewire.sec.pid (the peer of its socket, which
// a sandbox cannot fake), else the application.process.id it reports. A client of the pulse
// server (client.api "pipewire-pulse") reports its own, since its socket's peer is the pulse
// server.
std::string clientProcessID(const spa_dict* props);

// Told of the graph's changes. Called on the loop's thread with the lock held; may not wait for
// the daemon (no waitUntil) nor destroy the graph.
class GraphListener {
  public:
    virtual ~GraphListener() = default;
    // A node, port or link came or went, a client told its facts, or the default output's name
    // changed.
    virtual void graphChanged() = 0;
    // The daemon is gone (or broke the connection): at most once.
    virtual void connectionLost(const std::string& description) = 0;
};

// A link the helper made between two ports; the daemon removes it when this is destroyed (lock
// held) or the connection ends.
class GraphLink {
  public:
    explicit GraphLink(pw_proxy* proxy) : proxy_(proxy) {}
    ~GraphLink();
    GraphLink(const GraphLink&) = delete;
    GraphLink& operator=(const GraphLink&) = delete;

  private:
    pw_proxy* const proxy_;
};

// One connection to the PipeWire daemon and what its registry holds: nodes, ports, clients and
// the "default" metadata's default output. Everything but connect() is called with the loop's
// lock held; the state changes only on the loop's thread.
class PipeWireGraph {
  public:
    // Service thread, without the lock: connects and waits, within kRequestTimeout, until the
    // registry and the default output are known. The library's text when it cannot.
    static Expected<std::shared_ptr<PipeWireGraph>> connect(std::shared_ptr<PipeWireLoop> loop);
    // Takes the lock; not on the loop's thread.
    ~PipeWireGraph();
    PipeWireGraph(const PipeWireGraph&) = delete;
    PipeWireGraph& operator=(const PipeWireGraph&) = delete;

    PipeWireLoop& loop() const { return *loop_; }
    pw_core* core() const { return core_; }
    bool isReady() const { return lost_.empty(); }
    // The daemon's version, such as 0.3.65.
    const std::string& daemonVersion() const { return version_; }
    // The default output's node name; empty when none is named.
    const std::string& defaultSink() const { return defaultSink_; }
    // The Audio/Sink node of that name, or null.
    const NodeFacts* sinkNamed(std::string_view name) const;
    const NodeFacts* node(std::uint32_t id) const;
    // The node's client, or null.
    const ClientFacts* clientOf(const NodeFacts& node) const;
    // Whether a link leads from one node to the other.
    bool linked(std::uint32_t outputNode, std::uint32_t inputNode) const;
    // Every node of a media class, in the registry's order.
    std::vector<const NodeFacts*> nodesOfClass(std::string_view mediaClass) const;
    // The node's ports of one direction, in the registry's order.
    std::vector<PortFacts> portsOf(std::uint32_t node, bool output) const;
    // The clients that name their process.
    ServerSnapshot snapshot() const;
    // The applications whose nodes play (Stream/Output/Audio) to the default output, one entry
    // per node.
    std::vector<PlayingApplication> playing() const;

    // A proxy of the node, for its events; null when the registry refused. The caller destroys
    // it (pw_proxy_destroy), lock held.
    pw_node* bindNode(std::uint32_t id);
    // Links two ports; null when the daemon's link factory refused.
    std::unique_ptr<GraphLink> link(const PortFacts& from, const PortFacts& to);
    // Links output ports to input ports by channel position: a MONO port feeds every input, a
    // position the inputs lack stays unlinked. The links made.
    std::vector<std::unique_ptr<GraphLink>> linkByPosition(const std::vector<PortFacts>& from,
                                                           const std::vector<PortFacts>& to);

    // Lock held, off the loop's thread: waits until the daemon answered everything asked so far.
    Expected<void> roundTrip();

    void addListener(GraphListener& listener) { listeners_.push_back(&listener); }
    void removeListener(GraphListener& listener);

  private:
    explicit PipeWireGraph(std::shared_ptr<PipeWireLoop> loop) : loop_(std::move(loop)) {}

    static void onCoreInfo(void* data, const pw_core_info* info);
    static void onCoreDone(void* data, std::uint32_t id, int seq);
    static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                         std::uint32_t version, const spa_dict* props);
    static void onGlobalRemove(void* data, std::uint32_t id);
    static int onMetadataProperty(void* data, std::uint32_t subject, const char* key,
                                  const char* type, const char* value);
    void changed();
    static void onClientInfo(void* data, const pw_client_info* info);

    // A client bound for its properties, which the registry leaves out of its announcement.
    struct BoundClient {
        PipeWireGraph* graph = nullptr;
        std::uint32_t id = 0;
        pw_client* proxy = nullptr;
        spa_hook listener{};
        ~BoundClient();
    };

    const std::shared_ptr<PipeWireLoop> loop_;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    pw_metadata* metadata_ = nullptr;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook metadataListener_{};
    int doneSeq_ = -1;
    std::string lost_;  // why the connection ended; empty while it stands
    std::string version_;
    std::string defaultSink_;
    std::map<std::uint32_t, NodeFacts> nodes_;
    std::map<std::uint32_t, PortFacts> ports_;
    std::map<std::uint32_t, ClientFacts> clients_;
    std::map<std::uint32_t, std::unique_ptr<BoundClient>> boundClients_;
    std::map<std::uint32_t, LinkFacts> links_;
    std::vector<GraphListener*> listeners_;
};

}  // namespace halvo::pipewire
