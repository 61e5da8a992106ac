#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "services/common/monitor_source.h"
#include "services/common/silence_reasons.h"
#include "services/pulse/pulse_context.h"

namespace halvo::pulse {

// Watches what may silence a capture of one monitor: the mute, volume and state of the recorded
// sink and of its monitor source. Reads them when the watch begins and anew on each server event
// of either, one reading at a time (an event during a reading asks for one more once it is in),
// and logs each reason that begins or ends.
//
// Threads: every call with the main loop's lock held, as libpulse's callbacks are; readings are
// answered on the loop's thread. Its reading is cancelled when it is stopped or destroyed (lock
// held), so no answer reaches it afterwards.
class SilenceWatch {
  public:
    // Hands a diagnostic line to the service's thread; must not block.
    using Log = std::function<void(std::string message)>;
    // After each reading that came in: whether the output is suspended may have changed. Must not
    // destroy the watch.
    using Read = std::function<void()>;

    SilenceWatch(Log log, Read read);

    // Watches `monitor` on `connection` from now on: its reasons are told as changes from the
    // ones before (another output's).
    void watch(std::shared_ptr<PulseContext> connection, const MonitorSource& monitor);
    // Watches nothing; a reading still out comes in as usual.
    void unwatch() { monitor_.reset(); }
    // Watches nothing, and lets go of the reading still out.
    void stop();
    // A server event on the sink or source with this index.
    void deviceChanged(ServerListener::Device device, std::uint32_t index);

    // As last read and logged.
    const SilenceReasons& reasons() const { return reasons_; }

  private:
    void ask();
    void answered(const Expected<SilenceReasons>& reasons);

    const Log log_;
    const Read read_;
    std::shared_ptr<PulseContext> connection_;
    std::optional<MonitorSource> monitor_;
    std::unique_ptr<SilenceQuery> query_;
    SilenceReasons reasons_;
    bool stale_ = false;  // changed while a reading was out
};

}  // namespace halvo::pulse
