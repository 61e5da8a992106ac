#include "services/pipewire/pipewire_loop.h"

#include <pipewire/pipewire.h>
#include <time.h>

#include <mutex>

namespace halvo::pipewire {

PipeWireLoop::PipeWireLoop() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    loop_ = pw_thread_loop_new("halvo-pipewire", nullptr);
    if (loop_ != nullptr && pw_thread_loop_start(loop_) < 0) {
        pw_thread_loop_destroy(loop_);
        loop_ = nullptr;
    }
}

PipeWireLoop::~PipeWireLoop() {
    if (loop_ != nullptr) {
        pw_thread_loop_stop(loop_);
        pw_thread_loop_destroy(loop_);
    }
}

pw_loop* PipeWireLoop::loop() const {
    return loop_ != nullptr ? pw_thread_loop_get_loop(loop_) : nullptr;
}

bool PipeWireLoop::isLoopThread() const {
    return loop_ != nullptr && pw_thread_loop_in_thread(loop_);
}

bool PipeWireLoop::waitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done) {
    if (loop_ == nullptr) {
        return done();
    }
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count());
    while (!done()) {
        // ETIMEDOUT once the deadline passed; a spurious wake-up looks again.
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0) {
            return done();
        }
    }
    return true;
}

void PipeWireLoop::signal() {
    if (loop_ != nullptr) {
        pw_thread_loop_signal(loop_, false);
    }
}

LoopLock::LoopLock(PipeWireLoop& loop) : loop_(loop.get()) {
    if (loop_ != nullptr) {
        pw_thread_loop_lock(loop_);
    }
}

LoopLock::~LoopLock() {
    if (loop_ != nullptr) {
        pw_thread_loop_unlock(loop_);
    }
}

LoopTimer::LoopTimer(PipeWireLoop& loop, std::function<void()> expired)
    : loop_(loop), expired_(std::move(expired)) {
    if (loop_.loop() != nullptr) {
        source_ = pw_loop_add_timer(loop_.loop(), &LoopTimer::onExpired, this);
    }
}

LoopTimer::~LoopTimer() {
    if (source_ != nullptr) {
        pw_loop_destroy_source(loop_.loop(), source_);
    }
}

void LoopTimer::arm(std::chrono::nanoseconds timeout) {
    if (source_ == nullptr) {
        return;
    }
    // A zero value disarms a timer: the shortest wait stands in for "at once".
    const auto nanoseconds = std::max<std::int64_t>(timeout.count(), 1);
    timespec value{};
    value.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
    value.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
    timespec interval{};
    pw_loop_update_timer(loop_.loop(), source_, &value, &interval, false);
}

void LoopTimer::onExpired(void* data, std::uint64_t) {
    // A copy: the work may destroy this timer, and with it expired_.
    const std::function<void()> work = static_cast<LoopTimer*>(data)->expired_;
    work();
}

}  // namespace halvo::pipewire
