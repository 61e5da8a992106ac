#pragma once

#include <pulse/context.h>
#include <pulse/introspect.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "services/common/expected.h"
#include "services/common/monitor_source.h"
#include "services/common/server_snapshot.h"
#include "services/common/service_timer.h"
#include "services/common/silence_reasons.h"
#include "services/pulse/pulse_main_loop.h"
#include "services/pulse/pulse_queries.h"

namespace halvo::pulse {

// How long the server gets to answer any one request, connecting included.
inline constexpr std::chrono::milliseconds kRequestTimeout{5000};

// Learns what happens to the server while a capture runs. Called with the loop's lock held, on the
// loop's thread or inside a call into libpulse that failed the connection; may remove itself (and
// only itself) from the context; must not block.
class ServerListener {
  public:
    virtual ~ServerListener() = default;
    // The server's settings changed: the default sink may be another one now.
    virtual void serverChanged() = 0;
    // The connection failed for good; `description` is the library's text.
    virtual void connectionLost(const std::string& description) = 0;
    // Something of the sink or source with this index changed (its volume, mute or state), or it
    // came or went.
    enum class Device { sink, source };
    virtual void deviceChanged(Device device, std::uint32_t index) = 0;
    // A playback stream (sink input) with this index came or changed, or went (`removed`). Only
    // once someone asked for these events (PulseContext::watchPlaybackStreams).
    virtual void playbackStreamChanged(std::uint32_t /*index*/, bool /*removed*/) {}
};

// A one-shot timer on the main loop (a libpulse time event). Destroying it (lock held) cancels it.
class LoopTimer final : public ServiceTimer {
  public:
    ~LoopTimer() override;
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

    // Lock held. Sets the timer again, whether it has expired or not: `expired` runs once
    // `timeout` has passed. Cheaper than a new timer when done for every chunk of audio.
    void restart(std::chrono::microseconds timeout, std::function<void()> expired);

  private:
    friend class PulseContext;
    LoopTimer(PulseMainLoop& loop, pa_context* context, std::function<void()> expired)
        : loop_(loop), context_(context), expired_(std::move(expired)) {}
    static void onExpired(pa_mainloop_api* api, pa_time_event* event, const struct timeval* time,
                          void* userdata);

    PulseMainLoop& loop_;
    pa_context* const context_;
    std::function<void()> expired_;
    pa_time_event* event_ = nullptr;
};

// The connection to the sound server, a pa_context on the service's main loop. Unless a method
// says otherwise it needs the loop's lock, and the waiting ones are called off the loop's thread.
class PulseContext {
  public:
    // Connects to the server libpulse finds by its usual rules (PULSE_SERVER, client.conf, the
    // user's runtime directory) and waits until the connection is ready, for kRequestTimeout at
    // most; the library's description when it fails or times out. Never spawns a server: a fresh
    // one would have nothing to record. A PULSE_SERVER longer than any real address is refused
    // as an invalid server before libpulse reads it. Unless `watchServer` is false, the listeners
    // hear of the server's events.
    static Expected<std::shared_ptr<PulseContext>> connect(std::shared_ptr<PulseMainLoop> loop,
                                                           bool watchServer = true);
    // Lock held, any thread (the loop's too). The same without waiting, for streams alone (it
    // hears of no server events): `settled` runs once on the loop's thread when the connection
    // is ready (true) or has failed (false), unless the connection is destroyed first; it must
    // not destroy the connection nor block. The library's description when it cannot begin.
    static Expected<std::shared_ptr<PulseContext>> beginConnecting(
        std::shared_ptr<PulseMainLoop> loop, std::function<void(bool ready)> settled);
    // Takes the lock itself. Disconnects; no callback reaches anyone afterwards.
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    bool isReady() const;
    // The library's description of the last failure on this connection.
    std::string lastError() const;
    pa_context* raw() const { return context_; }
    PulseMainLoop& loop() const { return *loop_; }
    const std::shared_ptr<PulseMainLoop>& sharedLoop() const { return loop_; }
    // Lock held. beginConnecting()'s `settled` will not run: its owner is letting go.
    void forgetSettled() { settled_ = nullptr; }

    // Waits until `done` holds, re-checking whenever a callback signals the loop; gives up with
    // the library's description as soon as the connection has failed or kRequestTimeout has
    // passed. Whatever `done` reads must be kept alive by the caller until the requests it waits
    // for are cancelled.
    Expected<void> waitUntil(const std::function<bool()>& done);

    // Asks for the clients and waits for the answer.
    Expected<ServerSnapshot> readSnapshot();
    // Asks for the default sink and waits for it (empty when the server has none).
    Expected<std::string> readDefaultSink();

    // Any thread. `answer` runs on the loop's thread, unless the query is destroyed first or the
    // connection fails. Null when the request cannot be sent.
    std::unique_ptr<DefaultSinkQuery> queryDefaultSink(DefaultSinkQuery::Answer answer);

    // Any thread. Calls `expired` on the loop's thread once `timeout` has passed, unless the timer
    // is destroyed first; the call may destroy the timer. Null when the timer cannot be set.
    std::unique_ptr<LoopTimer> startTimer(std::chrono::milliseconds timeout,
                                          std::function<void()> expired);

    // Any thread. Looks up the monitor source of `sink` and checks that the server lists it as
    // that sink's monitor; `answer` runs on the loop's thread, unless the query is destroyed
    // first. Null when the request cannot be sent.
    std::unique_ptr<MonitorQuery> queryMonitorSource(const std::string& sink,
                                                     MonitorQuery::Answer answer);
    // The same, waiting for the answer; the library's description also when the deadline passed.
    Expected<MonitorSource> readMonitorSource(const std::string& sink);

    // Any thread. Reads what may silence a capture of `monitor`; `answer` runs on the loop's
    // thread, unless the query is destroyed first. Null when the request cannot be sent.
    std::unique_ptr<SilenceQuery> querySilenceReasons(const MonitorSource& monitor,
                                                      SilenceQuery::Answer answer);

    // From now on the listeners also hear of playback streams. Nobody waits for the
    // acknowledgement: the events simply start arriving.
    void watchPlaybackStreams();

    void addListener(ServerListener& listener);
    void removeListener(ServerListener& listener);

  private:
    explicit PulseContext(std::shared_ptr<PulseMainLoop> loop) : loop_(std::move(loop)) {}
    // Makes the connection and asks libpulse to connect it: the library's description when it
    // cannot.
    static Expected<std::shared_ptr<PulseContext>> begin(std::shared_ptr<PulseMainLoop> loop);
    static void onStateChanged(pa_context* context, void* userdata);
    static void onServerEvent(pa_context* context, pa_subscription_event_type_t type,
                              std::uint32_t index, void* userdata);
    void notifyListeners(const std::function<void(ServerListener&)>& call);
    // waitUntil's loop, with what counts as the connection still being usable.
    Expected<void> waitWhile(const std::function<bool()>& done,
                             const std::function<bool()>& usable);

    const std::shared_ptr<PulseMainLoop> loop_;
    pa_context* context_ = nullptr;
    std::vector<ServerListener*> listeners_;  // guarded by the loop's lock
    bool lossReported_ = false;               // guarded by the loop's lock
    std::function<void(bool)> settled_;       // guarded by the loop's lock
};

}  // namespace halvo::pulse
