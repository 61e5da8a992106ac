#pragma once

#include <pulse/context.h>
#include <pulse/introspect.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "services/common/expected.h"
#include "services/common/monitor_source.h"
#include "services/common/silence_reasons.h"
#include "services/pulse/pulse_main_loop.h"

namespace halvo::pulse {

// The requests a capture sends the server while it runs, each answered once on the loop's
// thread (PulseContext sends them: queryDefaultSink, queryMonitorSource, querySilenceReasons).

// libpulse's description of the last failure on `context` (null: an internal error).
std::string describeFailure(const pa_context* context);

// Runs a one-shot callback. The call may destroy the object that holds it: it is taken out first,
// and nothing of that object is touched afterwards.
template <typename... Parameters, typename... Arguments>
void callOnce(std::function<void(Parameters...)>& callback, Arguments&&... arguments) {
    std::function<void(Parameters...)> call = std::exchange(callback, nullptr);
    if (call) {
        call(std::forward<Arguments>(arguments)...);
    }
}

// Owns one reference to a request that may still be out. Dropping it (lock held) cancels the
// request first, so that its callback never reaches what it was given.
class OperationRef {
  public:
    explicit OperationRef(PulseMainLoop& loop, pa_operation* operation = nullptr)
        : loop_(loop), operation_(operation) {}
    ~OperationRef() { reset(nullptr); }
    OperationRef(const OperationRef&) = delete;
    OperationRef& operator=(const OperationRef&) = delete;

    // Cancels and lets go of the request held so far, then holds `operation`.
    void reset(pa_operation* operation);
    bool sent() const { return operation_ != nullptr; }
    PulseMainLoop& loop() const { return loop_; }

  private:
    PulseMainLoop& loop_;
    pa_operation* operation_;
};

// A request for the default sink that is still out. Destroying it (lock held) cancels it.
class DefaultSinkQuery {
  public:
    // The default sink's name (empty when the server has none), or the library's description of
    // why the server did not say.
    using Answer = std::function<void(const Expected<std::string>&)>;

  private:
    friend class PulseContext;
    DefaultSinkQuery(PulseMainLoop& loop, Answer answer)
        : answer_(std::move(answer)), operation_(loop) {}
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);

    Answer answer_;
    OperationRef operation_;
};

// A reading of what may silence a capture: the info of the recorded sink, then of its monitor
// source, by index. Destroying it (lock held) cancels it.
class SilenceQuery {
  public:
    // What was read, or the library's description of why it could not be.
    using Answer = std::function<void(const Expected<SilenceReasons>&)>;

  private:
    friend class PulseContext;
    SilenceQuery(PulseMainLoop& loop, std::uint32_t sourceIndex, Answer answer)
        : sourceIndex_(sourceIndex),
          answer_(std::move(answer)),
          sinkOperation_(loop),
          sourceOperation_(loop) {}
    // A list answer's query, or null when the list failed: then the failure is its answer.
    static SilenceQuery* queryOf(pa_context* context, int endOfList, void* userdata);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int endOfList,
                           void* userdata);
    static void onSourceInfo(pa_context* context, const pa_source_info* info, int endOfList,
                             void* userdata);

    const std::uint32_t sourceIndex_;
    Answer answer_;
    SilenceReasons reasons_;
    OperationRef sinkOperation_;
    OperationRef sourceOperation_;
};

// A look-up of a sink's monitor source that is still out: the sink's info, then the info of the
// source it names as its monitor. Destroying it (lock held) cancels it.
class MonitorQuery {
  public:
    // The monitor, or why there is none: kNoMonitorSource when the sink or its monitor is missing
    // or the source is not that sink's monitor, the library's description when the connection
    // failed.
    using Answer = std::function<void(const Expected<MonitorSource>&)>;

  private:
    friend class PulseContext;
    MonitorQuery(PulseMainLoop& loop, Answer answer)
        : answer_(std::move(answer)), sinkOperation_(loop), sourceOperation_(loop) {}
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int endOfList,
                           void* userdata);
    static void onSourceInfo(pa_context* context, const pa_source_info* info, int endOfList,
                             void* userdata);

    Answer answer_;
    SinkFacts sink_;
    std::optional<SourceFacts> source_;
    std::uint8_t channels_ = 1;  // the source's
    OperationRef sinkOperation_;
    OperationRef sourceOperation_;
};

}  // namespace halvo::pulse
