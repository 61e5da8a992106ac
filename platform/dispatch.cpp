#include "platform/dispatch.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/process.h"

namespace halvo::platform {

// Shared between the queue handle and its worker thread, so that releasing the handle on the
// worker itself (a work item dropping the last reference) never has the thread join itself.
struct SerialQueue::State {
    std::mutex mutex;  // guards everything below
    std::condition_variable wake;
    std::deque<WorkItem> items;
    bool workerRunning = false;
    bool running = false;  // an item runs, on the worker or on a caller's thread
    bool released = false;
    std::thread worker;
};

namespace {

// The queue whose worker this thread is; null on every other thread.
thread_local const SerialQueue::State* currentQueue = nullptr;
// What enterIfIdle() returns for "no queue was current": any address that is no queue's.
const SerialQueue::State* const kNoQueue =
    reinterpret_cast<const SerialQueue::State*>(&currentQueue);

// Names the calling thread after its queue and gives it the queue's priority.
void prepareCurrentThread(const std::string& label, QualityOfService qos) {
    // The kernel keeps 15 characters of a thread name.
    pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
    int niceIncrement = 0;
    switch (qos) {
        case QualityOfService::userInteractive:
        case QualityOfService::userInitiated:
            break;  // raising a priority needs a privilege the helper does not have
        case QualityOfService::utility:
            break;  // the command reader runs here, and commands are answered promptly
        case QualityOfService::background:
            niceIncrement = 10;
            break;
    }
    if (niceIncrement != 0) {
        // On Linux the nice value is per thread; failure leaves the thread at normal priority.
        const auto thread = static_cast<id_t>(::gettid());
        ::setpriority(PRIO_PROCESS, thread, ::getpriority(PRIO_PROCESS, thread) + niceIncrement);
    }
    // A queue may be made from a thread that blocks every signal (libpulse's): its writes to a
    // closed pipe must still end the process the ordinary way.
    allowBrokenPipeSignal();
}

void drain(const std::shared_ptr<SerialQueue::State>& state, const std::string& label,
           QualityOfService qos);

}  // namespace

SerialQueue::SerialQueue(std::string label, QualityOfService qos)
    : label_(std::move(label)), qos_(qos), state_(std::make_shared<State>()) {}

SerialQueue::~SerialQueue() {
    std::thread worker;
    {
        std::lock_guard lock(state_->mutex);
        state_->released = true;
        worker = std::move(state_->worker);
    }
    state_->wake.notify_all();
    if (!worker.joinable()) {
        return;
    }
    if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();  // the worker finishes its current item, sees `released` and ends
    } else {
        worker.join();
    }
}

const SerialQueue::State* SerialQueue::enterIfIdle() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->running || !state_->items.empty()) {
            return nullptr;
        }
        state_->running = true;
    }
    const State* previous = currentQueue == nullptr ? kNoQueue : currentQueue;
    currentQueue = state_.get();
    return previous;
}

void SerialQueue::leave(const State* previous) {
    currentQueue = previous == kNoQueue ? nullptr : previous;
    bool workerWaits;
    {
        std::lock_guard lock(state_->mutex);
        state_->running = false;
        // Items added meanwhile, or the release, waited for this one. Otherwise the worker is
        // left asleep: waking it for nothing would cost the wake-up this call saves.
        workerWaits = !state_->items.empty() || state_->released;
    }
    if (workerWaits) {
        state_->wake.notify_one();
    }
}

bool SerialQueue::isCurrent() const {
    return currentQueue == state_.get();
}

void SerialQueue::async(WorkItem work) {
    {
        std::lock_guard lock(state_->mutex);
        state_->items.push_back(std::move(work));
        if (!state_->workerRunning) {
            state_->workerRunning = true;
            state_->worker = std::thread(
                [state = state_, label = label_, qos = qos_] { drain(state, label, qos); });
            return;
        }
    }
    // Woken after the lock is released, the worker does not run only to block on it at once.
    state_->wake.notify_one();
}

namespace {

void drain(const std::shared_ptr<SerialQueue::State>& state, const std::string& label,
           QualityOfService qos) {
    prepareCurrentThread(label, qos);
    currentQueue = state.get();
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] {
            return (!state->items.empty() && !state->running) ||
                   (state->released && !state->running);
        });
        if (state->items.empty()) {
            return;  // released and drained
        }
        WorkItem item = std::move(state->items.front());
        state->items.pop_front();
        state->running = true;
        lock.unlock();
        item();
        item = nullptr;  // release what the item captured before taking the lock again
        lock.lock();
        state->running = false;
    }
}

}  // namespace

void asyncOnGlobalUtilityQueue(WorkItem work) {
    std::thread([item = std::move(work)] {
        prepareCurrentThread("utility", QualityOfService::utility);
        item();
    }).detach();
}

}  // namespace halvo::platform
