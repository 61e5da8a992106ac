#include "tests/sim/scheduler.h"

#include <pthread.h>

#include <condition_variable>
#include <map>
#include <mutex>

namespace halvo::sim {

// Shared with the thread, so that a work item may release the scheduler itself.
struct Scheduler::State {
    std::mutex mutex;  // guards due and stopping
    std::condition_variable wake;
    std::multimap<Clock::time_point, std::function<void()>> due;
    bool stopping = false;

    void run() {
        pthread_setname_np(pthread_self(), "sim.service");
        std::unique_lock lock(mutex);
        while (!stopping) {
            if (due.empty()) {
                wake.wait(lock);
                continue;
            }
            const auto next = due.begin();
            if (next->first > Clock::now()) {
                wake.wait_until(lock, next->first);
                continue;
            }
            std::function<void()> work = std::move(next->second);
            due.erase(next);
            lock.unlock();
            work();
            work = nullptr;
            lock.lock();
        }
    }
};

Scheduler::Scheduler()
    : state_(std::make_shared<State>()), thread_([state = state_] { state->run(); }) {}

Scheduler::~Scheduler() {
    std::multimap<Clock::time_point, std::function<void()>> dropped;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        dropped.swap(state_->due);
    }
    state_->wake.notify_all();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
    // `dropped` is destroyed here, with no lock held: its items may release streams.
}

void Scheduler::after(std::chrono::milliseconds delay, std::function<void()> work) {
    {
        std::lock_guard lock(state_->mutex);
        state_->due.emplace(Clock::now() + delay, std::move(work));
    }
    state_->wake.notify_one();
}

}  // namespace halvo::sim
