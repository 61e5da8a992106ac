#pragma once

#include <pipewire/thread-loop.h>

#include <chrono>
#include <functional>

#include "services/common/service_timer.h"

struct spa_source;

namespace halvo::pipewire {

// Owns libpipewire's thread loop: one thread that runs every libpipewire callback of the
// service, with the loop's lock held. Every other thread takes the lock (LoopLock) before it
// touches a libpipewire object. Also initialises the library, once per process.
class PipeWireLoop {
  public:
    // Starts the loop's thread. A loop that could not start leaves get() null.
    PipeWireLoop();
    // Stops and joins the loop's thread. Not on the loop's thread, and without the lock.
    ~PipeWireLoop();
    PipeWireLoop(const PipeWireLoop&) = delete;
    PipeWireLoop& operator=(const PipeWireLoop&) = delete;

    pw_thread_loop* get() const { return loop_; }
    pw_loop* loop() const;
    bool isLoopThread() const;

    // Lock held, off the loop's thread: sleeps until `done()` is true, woken by signal(); false
    // when `timeout` passed first.
    bool waitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done);
    // Lock held: wakes every waitUntil() to look again.
    void signal();

  private:
    pw_thread_loop* loop_ = nullptr;
};

// Holds the loop's lock for a scope; recursive, and harmless on the loop's thread.
class LoopLock {
  public:
    explicit LoopLock(PipeWireLoop& loop);
    ~LoopLock();
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pw_thread_loop* const loop_;
};

// A one-shot timer on the loop. Made, armed, disarmed and destroyed with the lock held; `expired`
// runs on the loop's thread with the lock held and may destroy the timer.
class LoopTimer final : public ServiceTimer {
  public:
    LoopTimer(PipeWireLoop& loop, std::function<void()> expired);
    ~LoopTimer() override;
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

    // Fires once after `timeout` (at once when not positive), replacing an earlier arming.
    void arm(std::chrono::nanoseconds timeout);

  private:
    static void onExpired(void* data, std::uint64_t expirations);

    PipeWireLoop& loop_;
    std::function<void()> expired_;
    spa_source* source_ = nullptr;
};

}  // namespace halvo::pipewire
