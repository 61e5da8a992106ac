#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halvo {

// What PipeWire's pulse server names as the default sink while no sink is the default (for a
// moment after the default sink went away): a placeholder, not a sink.
inline constexpr std::string_view kDefaultSinkPlaceholder = "@DEFAULT_SINK@";

// The diagnostic line a running capture logs when it follows the default output to the monitor
// source `monitorSource`. The server's name is escaped: it cannot break the line.
std::string followingMessage(std::string_view monitorSource);

// The life of one capture stream and of the record streams under it, with no sound server in
// sight: each method takes an event and answers with the step the caller takes next.
//
// A running capture records the monitor of one sink (the active record stream). When the
// default sink changes it opens a record stream on the new default's monitor (the pending one)
// and, once that delivers audio, retires the active one. When the active stream dies with the
// server still there (its sink vanished), it waits a while for a new default: it asks for the
// default sink and follows whichever the server names, the vanished one's name included (an
// output that comes back under it, a replugged device, is followed like any other; while it is
// still gone its look-up fails and the wait goes on). When nothing is followed in time, or when
// the server is gone, the service has stopped the capture and says so exactly once.
class RecordingPlan {
  public:
    enum class Phase { idle, starting, running, stopped };

    struct Step {
        bool closePending = false;        // close the pending record stream first
        std::optional<std::string> open;  // open a pending record stream on this sink
        bool promotePending = false;      // the pending stream becomes the active one
        bool askDefaultSink = false;      // ask the server, answer with defaultSinkIs()
        std::optional<std::string> stop;  // stopped by the service: report this description
        bool awaitDefault = false;  // nothing to follow yet: call defaultAwaitEnded() in a while

        bool operator==(const Step&) const = default;
    };

    // False (and nothing changes) unless the capture was never started.
    bool beginStart();
    void started(std::string sink);
    void startFailed();
    // True when the capture was running; the capture is stopped either way.
    bool requestStop();

    // The server's default sink (empty: it has none), after a server change or askDefaultSink.
    Step defaultSinkIs(std::string_view sink);
    // The active record stream ended; `serverLost` when the whole connection went with it.
    Step activeEnded(std::string description, bool serverLost);
    // The pending record stream delivered its first audio.
    Step pendingReady();
    Step pendingFailed(std::string description, bool serverLost);
    Step connectionLost(std::string description);
    // The while that awaitDefault asked for has passed.
    Step defaultAwaitEnded();
    // True while no stream records and a new default is waited for.
    bool awaitingDefault() const { return awaitingDefault_; }

    Phase phase() const { return phase_; }
    bool running() const { return phase_ == Phase::running; }
    const std::optional<std::string>& activeSink() const { return active_; }
    const std::optional<std::string>& pendingSink() const { return pending_; }

  private:
    Step stopWith(std::string description);
    Step follow(std::string_view sink);
    Step awaitDefault();

    Phase phase_ = Phase::idle;
    std::optional<std::string> active_;
    std::optional<std::string> pending_;
    std::string lossDescription_;   // why the last active stream ended
    bool awaitingDefault_ = false;  // no active stream, and a new default is waited for
};

}  // namespace halvo
