#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/dispatch.h"
#include "services/common/expected.h"
#include "services/pipewire/pipewire_graph.h"
#include "services/pipewire/pipewire_loop.h"

namespace halvo::pipewire {

// What the native service and its streams share: libpipewire's thread loop, the service's own
// thread, and the one connection to the daemon that content queries and streams reuse.
class PipeWireBackend {
  public:
    PipeWireBackend();
    ~PipeWireBackend();
    PipeWireBackend(const PipeWireBackend&) = delete;
    PipeWireBackend& operator=(const PipeWireBackend&) = delete;

    PipeWireLoop& loop() const { return *loop_; }
    // The service's thread: content queries, starts and stops run here, and so does every
    // completion, delegate call and diagnostic line of the service.
    platform::SerialQueue& queue() { return queue_; }

    // Service thread. The connection, made anew when there is none yet or the last one broke;
    // the library's text when the daemon cannot be reached within kRequestTimeout.
    Expected<std::shared_ptr<PipeWireGraph>> connection();

    // The rule's entries already said to match no application, so that each is said once in a
    // run; guarded by the loop's lock.
    std::set<std::string>& unmatchedNamed() { return unmatchedNamed_; }

  private:
    const std::shared_ptr<PipeWireLoop> loop_;
    std::shared_ptr<PipeWireGraph> connection_;  // service thread only
    std::set<std::string> unmatchedNamed_;       // the loop's lock
    platform::SerialQueue queue_;                // last member: joined first on destruction
};

}  // namespace halvo::pipewire
