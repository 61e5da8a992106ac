#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/dispatch.h"
#include "services/common/expected.h"
#include "services/common/server_snapshot.h"
#include "services/pulse/pulse_context.h"
#include "services/pulse/pulse_main_loop.h"

namespace halvo::pulse {

// What the service and its streams share: libpulse's main loop, the service's own thread and
// the one connection to the sound server, which content queries and streams reuse (a capture
// adds one of its own for the stream of a new default output).
class PulseBackend {
  public:
    PulseBackend();
    ~PulseBackend();
    PulseBackend(const PulseBackend&) = delete;
    PulseBackend& operator=(const PulseBackend&) = delete;

    PulseMainLoop& loop() const { return *loop_; }
    // The service's thread. Content queries, starts and stops run here (they wait for the
    // server), and so does every completion, delegate call and diagnostic line of the service,
    // so that none of them ever runs on the main loop's thread or inside a caller.
    platform::SerialQueue& queue() { return queue_; }

    // Service thread. The connection, made anew when there is none yet or the last one failed;
    // the library's description when the server cannot be reached.
    Expected<std::shared_ptr<PulseContext>> connection();
    // Service thread. A connection beside that one, for streams alone: it hears of no server
    // events.
    Expected<std::shared_ptr<PulseContext>> streamConnection();
    // Service thread. Reads the clients.
    Expected<ServerSnapshot> readSnapshot();
    // Lock held. The applications of a rule already said to match nothing, so that each is said
    // once in a run, however often capture starts.
    std::set<std::string>& unmatchedNamed() { return unmatchedNamed_; }

  private:
    const std::shared_ptr<PulseMainLoop> loop_;
    std::shared_ptr<PulseContext> connection_;  // service thread only
    std::set<std::string> unmatchedNamed_;      // guarded by the loop's lock
    platform::SerialQueue queue_;               // last member: joined first on destruction
};

}  // namespace halvo::pulse
