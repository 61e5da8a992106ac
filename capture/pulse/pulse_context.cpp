#include "capture/pulse/pulse_context.h"

#include <pulse/error.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/subscribe.h>

#include <algorithm>

namespace halvo::pulse {

static_assert(kNoIndex == PA_INVALID_INDEX);

namespace {

constexpr const char* kApplicationName = "Halvo Audio Helper";

// Owns one reference to an operation and cancels the operation if it is still out when dropped,
// so that its callback never reaches a reply record that has gone out of scope.
class OperationRef {
  public:
    explicit OperationRef(pa_operation* operation) : operation_(operation) {}
    ~OperationRef() {
        if (operation_ == nullptr) {
            return;
        }
        if (pa_operation_get_state(operation_) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(operation_);
        }
        pa_operation_unref(operation_);
    }
    OperationRef(const OperationRef&) = delete;
    OperationRef& operator=(const OperationRef&) = delete;

    bool sent() const { return operation_ != nullptr; }

  private:
    pa_operation* const operation_;
};

// Where the snapshot's answer lands; lives on the waiting thread's stack.
struct SnapshotReplies {
    PulseMainLoop& loop;
    ServerSnapshot& snapshot;
    bool done = false;
    bool failed = false;
};

void onSnapshotClient(pa_context*, const pa_client_info* info, int endOfList, void* userdata) {
    auto& replies = *static_cast<SnapshotReplies*>(userdata);
    if (endOfList != 0) {
        replies.failed = endOfList < 0;
        replies.done = true;
        replies.loop.signal();
        return;
    }
    ClientEntry client;
    const char* name = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_NAME);
    client.name = name != nullptr ? name : (info->name != nullptr ? info->name : "");
    if (const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID)) {
        client.processID = pid;
    }
    replies.snapshot.clients.push_back(std::move(client));
}

struct DefaultSinkReply {
    PulseMainLoop& loop;
    std::string sink;
    bool done = false;
    bool failed = false;
};

void onDefaultSinkInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto& reply = *static_cast<DefaultSinkReply*>(userdata);
    if (info == nullptr) {
        reply.failed = true;
    } else if (info->default_sink_name != nullptr) {
        reply.sink = info->default_sink_name;
    }
    reply.done = true;
    reply.loop.signal();
}

}  // namespace

DefaultSinkQuery::~DefaultSinkQuery() {
    if (operation_ == nullptr) {
        return;
    }
    if (pa_operation_get_state(operation_) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(operation_);
    }
    pa_operation_unref(operation_);
}

void DefaultSinkQuery::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* query = static_cast<DefaultSinkQuery*>(userdata);
    // The answer may destroy the query: take it out first and touch the query no more.
    std::function<void(const std::string&)> answer = std::move(query->answer_);
    query->answer_ = nullptr;
    const std::string sink =
        info != nullptr && info->default_sink_name != nullptr ? info->default_sink_name : "";
    if (answer) {
        answer(sink);
    }
}

namespace {

void release(pa_operation* operation) {
    if (operation == nullptr) {
        return;
    }
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
}

}  // namespace

LoopTimer::~LoopTimer() {
    api_->time_free(event_);
}

void LoopTimer::onExpired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* timer = static_cast<LoopTimer*>(userdata);
    // The call may destroy the timer: take it out first and touch the timer no more.
    std::function<void()> expired = std::move(timer->expired_);
    timer->expired_ = nullptr;
    if (expired) {
        expired();
    }
}

std::unique_ptr<LoopTimer> PulseContext::startTimer(std::chrono::milliseconds timeout,
                                                    std::function<void()> expired) {
    std::unique_ptr<LoopTimer> timer(new LoopTimer(loop_->api(), std::move(expired)));
    const auto microseconds = std::chrono::duration_cast<std::chrono::microseconds>(timeout);
    timer->event_ = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(microseconds.count()),
        &LoopTimer::onExpired, timer.get());
    if (timer->event_ == nullptr) {
        return nullptr;
    }
    return timer;
}

MonitorQuery::~MonitorQuery() {
    release(sinkOperation_);
    release(sourceOperation_);
}

void MonitorQuery::finish(const std::optional<MonitorSource>& monitor) {
    // The answer may destroy the query: take it out first and touch the query no more.
    Answer answer = std::move(answer_);
    answer_ = nullptr;
    if (answer) {
        answer(monitor);
    }
}

void MonitorQuery::onSinkInfo(pa_context* context, const pa_sink_info* info, int endOfList,
                              void* userdata) {
    auto* query = static_cast<MonitorQuery*>(userdata);
    if (endOfList == 0) {
        query->sink_.index = info->index;
        query->sink_.monitorSourceName =
            info->monitor_source_name != nullptr ? info->monitor_source_name : "";
        return;
    }
    if (query->sink_.monitorSourceName.empty()) {
        query->finish(std::nullopt);
        return;
    }
    query->sourceOperation_ = pa_context_get_source_info_by_name(
        context, query->sink_.monitorSourceName.c_str(), &MonitorQuery::onSourceInfo, query);
    if (query->sourceOperation_ == nullptr) {
        query->finish(std::nullopt);
    }
}

void MonitorQuery::onSourceInfo(pa_context*, const pa_source_info* info, int endOfList,
                                void* userdata) {
    auto* query = static_cast<MonitorQuery*>(userdata);
    if (endOfList == 0) {
        query->source_ = SourceFacts{info->index, info->name != nullptr ? info->name : "",
                                     info->monitor_of_sink};
        return;
    }
    if (!query->source_ || !isMonitorOf(*query->source_, query->sink_)) {
        query->finish(std::nullopt);
        return;
    }
    query->finish(MonitorSource{query->source_->index, query->source_->name});
}

std::shared_ptr<PulseContext> PulseContext::connect(std::shared_ptr<PulseMainLoop> loop,
                                                    std::string* error) {
    std::shared_ptr<PulseContext> connection(new PulseContext(std::move(loop)));
    pa_mainloop_api* api = connection->loop_->api();
    if (api == nullptr) {
        *error = pa_strerror(PA_ERR_INTERNAL);
        return nullptr;
    }
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kApplicationName);
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "halvo-audio-helper");
    connection->context_ = pa_context_new_with_proplist(api, kApplicationName, properties);
    pa_proplist_free(properties);
    if (connection->context_ == nullptr) {
        *error = pa_strerror(PA_ERR_INTERNAL);
        return nullptr;
    }
    pa_context* context = connection->context_;
    pa_context_set_state_callback(context, &PulseContext::onStateChanged, connection.get());
    pa_context_set_subscribe_callback(context, &PulseContext::onServerEvent, connection.get());
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        *error = connection->lastError();
        return nullptr;
    }
    const WaitResult connected = connection->waitWhile(
        [context] { return pa_context_get_state(context) == PA_CONTEXT_READY; },
        [context] { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) != 0; });
    if (connected != WaitResult::done) {
        *error = connection->describe(connected);
        return nullptr;
    }
    // Server events tell a running capture that the default sink changed. Nobody waits for the
    // acknowledgement: the events simply start arriving.
    if (pa_operation* subscribed =
            pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
        pa_operation_unref(subscribed);
    }
    return connection;
}

PulseContext::~PulseContext() {
    if (context_ == nullptr) {
        return;
    }
    MainLoopLock lock(*loop_);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
}

bool PulseContext::isReady() const {
    return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

std::string PulseContext::lastError() const {
    return pa_strerror(context_ != nullptr ? pa_context_errno(context_) : PA_ERR_INTERNAL);
}

WaitResult PulseContext::waitUntil(const std::function<bool()>& done) {
    return waitWhile(done, [this] { return isReady(); });
}

WaitResult PulseContext::waitWhile(const std::function<bool()>& done,
                                   const std::function<bool()>& usable) {
    if (done()) {
        return WaitResult::done;
    }
    // pa_threaded_mainloop_wait has no timeout of its own: a timer wakes the waiter. It lives on
    // this stack and is freed before the flag it sets goes out of scope.
    bool passed = false;
    const std::unique_ptr<LoopTimer> deadline = startTimer(kRequestTimeout, [this, &passed] {
        passed = true;
        loop_->signal();
    });
    while (!done()) {
        if (!usable()) {
            return WaitResult::failed;
        }
        if (passed || !deadline) {  // a deadline that could not be set counts as passed
            return WaitResult::timedOut;
        }
        loop_->wait();
    }
    return WaitResult::done;
}

std::string PulseContext::describe(WaitResult result) const {
    return result == WaitResult::timedOut ? pa_strerror(PA_ERR_TIMEOUT) : lastError();
}

bool PulseContext::readSnapshot(ServerSnapshot* snapshot, std::string* error) {
    SnapshotReplies replies{*loop_, *snapshot};
    // Declared after the replies, so it is cancelled before the replies go out of scope.
    OperationRef clients(pa_context_get_client_info_list(context_, onSnapshotClient, &replies));
    if (!clients.sent()) {
        *error = lastError();
        return false;
    }
    const WaitResult result = waitUntil([&] { return replies.done; });
    if (result != WaitResult::done || replies.failed) {
        *error = describe(result);
        return false;
    }
    return true;
}

bool PulseContext::readDefaultSink(std::string* sink, std::string* error) {
    DefaultSinkReply reply{*loop_, {}};
    OperationRef serverInfo(pa_context_get_server_info(context_, onDefaultSinkInfo, &reply));
    if (!serverInfo.sent()) {
        *error = lastError();
        return false;
    }
    const WaitResult result = waitUntil([&] { return reply.done; });
    if (result != WaitResult::done || reply.failed) {
        *error = describe(result);
        return false;
    }
    *sink = reply.sink;
    return true;
}

std::unique_ptr<DefaultSinkQuery> PulseContext::queryDefaultSink(
    std::function<void(const std::string&)> answer) {
    std::unique_ptr<DefaultSinkQuery> query(new DefaultSinkQuery(std::move(answer)));
    query->operation_ =
        pa_context_get_server_info(context_, &DefaultSinkQuery::onServerInfo, query.get());
    if (query->operation_ == nullptr) {
        return nullptr;
    }
    return query;
}

std::unique_ptr<MonitorQuery> PulseContext::queryMonitorSource(const std::string& sink,
                                                               MonitorQuery::Answer answer) {
    std::unique_ptr<MonitorQuery> query(new MonitorQuery(std::move(answer)));
    query->sinkOperation_ = pa_context_get_sink_info_by_name(
        context_, sink.c_str(), &MonitorQuery::onSinkInfo, query.get());
    if (query->sinkOperation_ == nullptr) {
        return nullptr;
    }
    return query;
}

bool PulseContext::readMonitorSource(const std::string& sink, MonitorSource* monitor,
                                     std::string* error) {
    struct Reply {
        bool done = false;
        std::optional<MonitorSource> monitor;
    } reply;
    // Declared after the reply, so it is cancelled before the reply goes out of scope.
    const std::unique_ptr<MonitorQuery> query =
        queryMonitorSource(sink, [this, &reply](const std::optional<MonitorSource>& answer) {
            reply.monitor = answer;
            reply.done = true;
            loop_->signal();
        });
    if (!query) {
        *error = lastError();
        return false;
    }
    const WaitResult result = waitUntil([&reply] { return reply.done; });
    if (result != WaitResult::done) {
        *error = describe(result);
        return false;
    }
    if (!reply.monitor) {
        *error = isReady() ? kNoMonitorSource : lastError();
        return false;
    }
    *monitor = *reply.monitor;
    return true;
}

void PulseContext::addListener(ServerListener& listener) {
    listeners_.push_back(&listener);
}

void PulseContext::removeListener(ServerListener& listener) {
    std::erase(listeners_, &listener);
}

void PulseContext::notifyListeners(const std::function<void(ServerListener&)>& call) {
    // A listener may remove itself while being called: walk a copy, and skip anyone removed
    // by an earlier call.
    const std::vector<ServerListener*> snapshot = listeners_;
    for (ServerListener* listener : snapshot) {
        if (std::find(listeners_.begin(), listeners_.end(), listener) != listeners_.end()) {
            call(*listener);
        }
    }
}

void PulseContext::onStateChanged(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseContext*>(userdata);
    self->loop_->signal();
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) || self->lossReported_) {
        return;
    }
    self->lossReported_ = true;
    const std::string description = self->lastError();
    self->notifyListeners(
        [&description](ServerListener& listener) { listener.connectionLost(description); });
}

void PulseContext::onServerEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t,
                                 void* userdata) {
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) {
        return;
    }
    static_cast<PulseContext*>(userdata)->notifyListeners(
        [](ServerListener& listener) { listener.serverChanged(); });
}

}  // namespace halvo::pulse
