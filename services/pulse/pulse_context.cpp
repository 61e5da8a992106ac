#include "services/pulse/pulse_context.h"

#include <pulse/error.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/subscribe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/thread_check.h"

namespace halvo::pulse {

static_assert(kNoIndex == PA_INVALID_INDEX);

namespace {

constexpr const char* kApplicationName = "Halvo Audio Helper";
// libpulse aborts the process on a server address of about 20 KB (it overflows a buffer of its
// own while resolving it); no real address comes near this.
constexpr std::size_t kMaxServerAddressBytes = 4096;
constexpr auto kEvents = static_cast<pa_subscription_mask_t>(
    PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);

// Sends a query with `ask` and waits for its answer.
template <typename T, typename Ask>
Expected<T> awaitAnswer(PulseContext& connection, const Ask& ask) {
    std::optional<Expected<T>> reply;
    // Declared after the reply, so it is cancelled before the reply goes out of scope.
    const auto query = ask([&connection, &reply](const Expected<T>& answer) {
        reply = answer;
        connection.loop().signal();
    });
    if (!query) {
        return Error{connection.lastError()};
    }
    if (Expected<void> answered = connection.waitUntil([&reply] { return reply.has_value(); });
        !answered) {
        return answered.error();
    }
    return *reply;
}

// Where the snapshot's answer lands; lives on the waiting thread's stack.
struct SnapshotReplies {
    PulseMainLoop& loop;
    ServerSnapshot snapshot;
    bool done = false;
    bool failed = false;
    bool serverDone = false;
};

void onSnapshotServer(pa_context*, const pa_server_info* info, void* userdata) {
    auto& replies = *static_cast<SnapshotReplies*>(userdata);
    if (info != nullptr && info->server_name != nullptr && info->server_version != nullptr) {
        replies.snapshot.soundServer =
            pulseServerDescription(info->server_name, info->server_version);
    }
    replies.serverDone = true;
    replies.loop.signal();
}

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

}  // namespace

LoopTimer::~LoopTimer() {
    HALVO_CHECK_THREAD(loop_.holdsLock(), "timers are cancelled with the lock held");
    loop_.api()->time_free(event_);
}

void LoopTimer::onExpired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* timer = static_cast<LoopTimer*>(userdata);
    HALVO_CHECK_THREAD(timer->loop_.isLoopThread(), "timers expire on the loop's thread");
    callOnce(timer->expired_);
}

void LoopTimer::restart(std::chrono::microseconds timeout, std::function<void()> expired) {
    HALVO_CHECK_THREAD(loop_.holdsLock(), "timers are set with the lock held");
    expired_ = std::move(expired);
    pa_context_rttime_restart(context_, event_,
                              pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()));
}

std::unique_ptr<LoopTimer> PulseContext::startTimer(std::chrono::milliseconds timeout,
                                                    std::function<void()> expired) {
    HALVO_CHECK_THREAD(loop_->holdsLock(), "timers are set with the lock held");
    std::unique_ptr<LoopTimer> timer(new LoopTimer(*loop_, context_, std::move(expired)));
    const auto microseconds = std::chrono::duration_cast<std::chrono::microseconds>(timeout);
    timer->event_ = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(microseconds.count()),
        &LoopTimer::onExpired, timer.get());
    if (timer->event_ == nullptr) {
        return nullptr;
    }
    return timer;
}

Expected<std::shared_ptr<PulseContext>> PulseContext::begin(std::shared_ptr<PulseMainLoop> loop) {
    if (const char* server = std::getenv("PULSE_SERVER");
        server != nullptr && std::strlen(server) > kMaxServerAddressBytes) {
        return Error{pa_strerror(PA_ERR_INVALIDSERVER)};
    }
    std::shared_ptr<PulseContext> connection(new PulseContext(std::move(loop)));
    pa_mainloop_api* api = connection->loop_->api();
    if (api == nullptr) {
        return Error{pa_strerror(PA_ERR_INTERNAL)};
    }
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kApplicationName);
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "halvo-audio-helper");
    connection->context_ = pa_context_new_with_proplist(api, kApplicationName, properties);
    pa_proplist_free(properties);
    if (connection->context_ == nullptr) {
        return Error{pa_strerror(PA_ERR_INTERNAL)};
    }
    pa_context* context = connection->context_;
    pa_context_set_state_callback(context, &PulseContext::onStateChanged, connection.get());
    pa_context_set_subscribe_callback(context, &PulseContext::onServerEvent, connection.get());
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return Error{connection->lastError()};
    }
    return connection;
}

Expected<std::shared_ptr<PulseContext>> PulseContext::beginConnecting(
    std::shared_ptr<PulseMainLoop> loop, std::function<void(bool ready)> settled) {
    HALVO_CHECK_THREAD(loop->holdsLock(), "connections are made with the lock held");
    Expected<std::shared_ptr<PulseContext>> begun = begin(std::move(loop));
    if (begun) {
        (*begun)->settled_ = std::move(settled);
    }
    return begun;
}

Expected<std::shared_ptr<PulseContext>> PulseContext::connect(std::shared_ptr<PulseMainLoop> loop,
                                                              bool watchServer) {
    Expected<std::shared_ptr<PulseContext>> begun = begin(std::move(loop));
    if (!begun) {
        return begun;
    }
    std::shared_ptr<PulseContext> connection = std::move(*begun);
    pa_context* context = connection->context_;
    if (Expected<void> connected = connection->waitWhile(
            [context] { return pa_context_get_state(context) == PA_CONTEXT_READY; },
            [context] { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) != 0; });
        !connected) {
        return connected.error();
    }
    // Server events tell a running capture that the default sink changed, and that the recorded
    // sink or its monitor did. Nobody waits for the acknowledgement: the events simply start
    // arriving.
    if (pa_operation* subscribed =
            watchServer ? pa_context_subscribe(context, kEvents, nullptr, nullptr) : nullptr) {
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
    HALVO_CHECK_THREAD(loop_->holdsLock(), "the connection is read with the lock held");
    return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

std::string PulseContext::lastError() const {
    HALVO_CHECK_THREAD(loop_->holdsLock(), "the connection is read with the lock held");
    return describeFailure(context_);
}

Expected<void> PulseContext::waitUntil(const std::function<bool()>& done) {
    return waitWhile(done, [this] { return isReady(); });
}

Expected<void> PulseContext::waitWhile(const std::function<bool()>& done,
                                       const std::function<bool()>& usable) {
    HALVO_CHECK_THREAD(!loop_->isLoopThread(), "waits for the server happen off the loop's thread");
    HALVO_CHECK_THREAD(loop_->holdsLock(), "waits for the server happen with the lock held");
    if (done()) {
        return {};
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
            return Error{lastError()};
        }
        if (passed || !deadline) {  // a deadline that could not be set counts as passed
            return Error{pa_strerror(PA_ERR_TIMEOUT)};
        }
        loop_->wait();
    }
    return {};
}

Expected<ServerSnapshot> PulseContext::readSnapshot() {
    SnapshotReplies replies{*loop_, {}};
    // Declared after the replies, so it is cancelled before the replies go out of scope.
    OperationRef clients(*loop_,
                         pa_context_get_client_info_list(context_, onSnapshotClient, &replies));
    if (!clients.sent()) {
        return Error{lastError()};
    }
    OperationRef server(*loop_, pa_context_get_server_info(context_, onSnapshotServer, &replies));
    replies.serverDone = !server.sent();  // the line is left out, the content still stands
    if (Expected<void> answered =
            waitUntil([&replies] { return replies.done && replies.serverDone; });
        !answered) {
        return answered.error();
    }
    if (replies.failed) {
        return Error{lastError()};
    }
    return std::move(replies.snapshot);
}

Expected<std::string> PulseContext::readDefaultSink() {
    return awaitAnswer<std::string>(*this, [this](DefaultSinkQuery::Answer answer) {
        return queryDefaultSink(std::move(answer));
    });
}

Expected<MonitorSource> PulseContext::readMonitorSource(const std::string& sink) {
    return awaitAnswer<MonitorSource>(*this, [this, &sink](MonitorQuery::Answer answer) {
        return queryMonitorSource(sink, std::move(answer));
    });
}

void PulseContext::watchPlaybackStreams() {
    HALVO_CHECK_THREAD(loop_->holdsLock(), "requests are sent with the lock held");
    const auto events =
        static_cast<pa_subscription_mask_t>(kEvents | PA_SUBSCRIPTION_MASK_SINK_INPUT);
    if (pa_operation* subscribed = pa_context_subscribe(context_, events, nullptr, nullptr)) {
        pa_operation_unref(subscribed);
    }
}

void PulseContext::addListener(ServerListener& listener) {
    HALVO_CHECK_THREAD(loop_->holdsLock(), "listeners are guarded by the lock");
    listeners_.push_back(&listener);
}

void PulseContext::removeListener(ServerListener& listener) {
    HALVO_CHECK_THREAD(loop_->holdsLock(), "listeners are guarded by the lock");
    std::erase(listeners_, &listener);
}

void PulseContext::notifyListeners(const std::function<void(ServerListener&)>& call) {
    HALVO_CHECK_THREAD(loop_->holdsLock(), "listeners are called with the lock held");
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
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state)) {
        callOnce(self->settled_, state == PA_CONTEXT_READY);
    }
    if (PA_CONTEXT_IS_GOOD(state) || self->lossReported_) {
        return;
    }
    self->lossReported_ = true;
    const std::string description = self->lastError();
    self->notifyListeners(
        [&description](ServerListener& listener) { listener.connectionLost(description); });
}

void PulseContext::onServerEvent(pa_context*, pa_subscription_event_type_t type,
                                 std::uint32_t index, void* userdata) {
    auto* connection = static_cast<PulseContext*>(userdata);
    switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
        case PA_SUBSCRIPTION_EVENT_SERVER:
            connection->notifyListeners([](ServerListener& listener) { listener.serverChanged(); });
            break;
        case PA_SUBSCRIPTION_EVENT_SINK:
            connection->notifyListeners([index](ServerListener& listener) {
                listener.deviceChanged(ServerListener::Device::sink, index);
            });
            break;
        case PA_SUBSCRIPTION_EVENT_SOURCE:
            connection->notifyListeners([index](ServerListener& listener) {
                listener.deviceChanged(ServerListener::Device::source, index);
            });
            break;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT: {
            const bool removed =
                (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
            connection->notifyListeners([index, removed](ServerListener& listener) {
                listener.playbackStreamChanged(index, removed);
            });
            break;
        }
        default:
            break;
    }
}

}  // namespace halvo::pulse
