#pragma once

#include <pulse/context.h>
#include <pulse/introspect.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/pulse/monitor_source.h"
#include "capture/pulse/pulse_main_loop.h"
#include "capture/pulse/server_snapshot.h"

namespace halvo::pulse {

// How long the server gets to answer any one request, connecting included.
inline constexpr std::chrono::milliseconds kRequestTimeout{5000};

// How a wait for the server ended.
enum class WaitResult {
    done,      // what was waited for holds
    failed,    // the connection failed meanwhile
    timedOut,  // the deadline passed first
};

// Learns what happens to the server while a capture runs. Called on the loop's thread with the
// lock held; may remove itself (and only itself) from the context; must not block.
class ServerListener {
  public:
    virtual ~ServerListener() = default;
    // The server's settings changed: the default sink may be another one now.
    virtual void serverChanged() = 0;
    // The connection failed for good; `description` is the library's text.
    virtual void connectionLost(const std::string& description) = 0;
};

// A request for the default sink that is still out. Destroying it (lock held) cancels it.
class DefaultSinkQuery {
  public:
    ~DefaultSinkQuery();
    DefaultSinkQuery(const DefaultSinkQuery&) = delete;
    DefaultSinkQuery& operator=(const DefaultSinkQuery&) = delete;

  private:
    friend class PulseContext;
    explicit DefaultSinkQuery(std::function<void(const std::string&)> answer)
        : answer_(std::move(answer)) {}
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);

    std::function<void(const std::string&)> answer_;
    pa_operation* operation_ = nullptr;
};

// A one-shot timer on the main loop (a libpulse time event). Destroying it (lock held) cancels it.
class LoopTimer {
  public:
    ~LoopTimer();
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

  private:
    friend class PulseContext;
    LoopTimer(pa_mainloop_api* api, std::function<void()> expired)
        : api_(api), expired_(std::move(expired)) {}
    static void onExpired(pa_mainloop_api* api, pa_time_event* event, const struct timeval* time,
                          void* userdata);

    pa_mainloop_api* const api_;
    std::function<void()> expired_;
    pa_time_event* event_ = nullptr;
};

// A look-up of a sink's monitor source that is still out: the sink's info, then the info of the
// source it names as its monitor. Destroying it (lock held) cancels it.
class MonitorQuery {
  public:
    // The monitor, or nothing when the sink or its monitor is missing, the source is not that
    // sink's monitor, or the connection failed.
    using Answer = std::function<void(const std::optional<MonitorSource>&)>;

    ~MonitorQuery();
    MonitorQuery(const MonitorQuery&) = delete;
    MonitorQuery& operator=(const MonitorQuery&) = delete;

  private:
    friend class PulseContext;
    explicit MonitorQuery(Answer answer) : answer_(std::move(answer)) {}
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int endOfList,
                           void* userdata);
    static void onSourceInfo(pa_context* context, const pa_source_info* info, int endOfList,
                             void* userdata);
    // Runs the answer once; the query may be gone when it returns.
    void finish(const std::optional<MonitorSource>& monitor);

    Answer answer_;
    SinkFacts sink_;
    std::optional<SourceFacts> source_;
    pa_operation* sinkOperation_ = nullptr;
    pa_operation* sourceOperation_ = nullptr;
};

// The connection to the sound server, a pa_context on the service's main loop. Unless a method
// says otherwise it needs the loop's lock, and the waiting ones are called off the loop's thread.
class PulseContext {
  public:
    // Connects to the server libpulse finds by its usual rules (PULSE_SERVER, client.conf, the
    // user's runtime directory) and waits until the connection is ready, for kRequestTimeout at
    // most; null with the library's description when it fails or times out. Never spawns a
    // server: a fresh one would have nothing to record.
    static std::shared_ptr<PulseContext> connect(std::shared_ptr<PulseMainLoop> loop,
                                                 std::string* error);
    // Takes the lock itself. Disconnects; no callback reaches anyone afterwards.
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    bool isReady() const;
    // The library's description of the last failure on this connection.
    std::string lastError() const;
    pa_context* raw() const { return context_; }
    PulseMainLoop& loop() const { return *loop_; }

    // Waits until `done` holds, re-checking whenever a callback signals the loop; gives up as
    // soon as the connection has failed or kRequestTimeout has passed. Whatever `done` reads must
    // be kept alive by the caller until the requests it waits for are cancelled.
    WaitResult waitUntil(const std::function<bool()>& done);
    // The library's description of why a wait ended without `done`.
    std::string describe(WaitResult result) const;

    // Asks for the clients and waits for the answer.
    bool readSnapshot(ServerSnapshot* snapshot, std::string* error);
    // Asks for the default sink and waits for it (empty when the server has none).
    bool readDefaultSink(std::string* sink, std::string* error);

    // Any thread. `answer` runs on the loop's thread, unless the query is destroyed first or the
    // connection fails. Null when the request cannot be sent.
    std::unique_ptr<DefaultSinkQuery> queryDefaultSink(
        std::function<void(const std::string&)> answer);

    // Any thread. Calls `expired` on the loop's thread once `timeout` has passed, unless the timer
    // is destroyed first; the call may destroy the timer. Null when the timer cannot be set.
    std::unique_ptr<LoopTimer> startTimer(std::chrono::milliseconds timeout,
                                          std::function<void()> expired);

    // Any thread. Looks up the monitor source of `sink` and checks that the server lists it as
    // that sink's monitor; `answer` runs on the loop's thread, unless the query is destroyed
    // first. Null when the request cannot be sent.
    std::unique_ptr<MonitorQuery> queryMonitorSource(const std::string& sink,
                                                     MonitorQuery::Answer answer);
    // The same, waiting for the answer. False with kNoMonitorSource when there is no such monitor,
    // or with the library's description when the connection failed or the deadline passed.
    bool readMonitorSource(const std::string& sink, MonitorSource* monitor, std::string* error);

    void addListener(ServerListener& listener);
    void removeListener(ServerListener& listener);

  private:
    explicit PulseContext(std::shared_ptr<PulseMainLoop> loop) : loop_(std::move(loop)) {}
    static void onStateChanged(pa_context* context, void* userdata);
    static void onServerEvent(pa_context* context, pa_subscription_event_type_t type,
                              std::uint32_t index, void* userdata);
    void notifyListeners(const std::function<void(ServerListener&)>& call);
    // waitUntil's loop, with what counts as the connection still being usable.
    WaitResult waitWhile(const std::function<bool()>& done, const std::function<bool()>& usable);

    const std::shared_ptr<PulseMainLoop> loop_;
    pa_context* context_ = nullptr;
    std::vector<ServerListener*> listeners_;  // guarded by the loop's lock
    bool lossReported_ = false;               // guarded by the loop's lock
};

}  // namespace halvo::pulse
