#pragma once

#include <pulse/thread-mainloop.h>

namespace halvo::pulse {

// Owns libpulse's threaded main loop: one thread that runs every libpulse callback of the
// service. Callbacks run with the loop's lock held; every other thread takes the lock (see
// MainLoopLock) before touching any libpulse object.
class PulseMainLoop {
  public:
    // Starts the loop's thread. A loop that could not start leaves api() null.
    PulseMainLoop();
    // Stops and joins the loop's thread. Not on the loop's thread, and without the lock.
    ~PulseMainLoop();
    PulseMainLoop(const PulseMainLoop&) = delete;
    PulseMainLoop& operator=(const PulseMainLoop&) = delete;

    pa_mainloop_api* api() const;
    bool isLoopThread() const;

    // Lock held, off the loop's thread: sleeps until a callback calls signal(). May wake
    // spuriously, so callers wait in a loop that re-checks what they wait for.
    void wait();
    // Lock held: wakes every wait().
    void signal();

  private:
    friend class MainLoopLock;
    pa_threaded_mainloop* loop_ = nullptr;
};

// Holds the main loop's lock for a scope. On the loop's thread the lock is already held by the
// callback being run, so there it does nothing. Recursive on other threads.
class MainLoopLock {
  public:
    explicit MainLoopLock(PulseMainLoop& loop);
    ~MainLoopLock();
    MainLoopLock(const MainLoopLock&) = delete;
    MainLoopLock& operator=(const MainLoopLock&) = delete;

  private:
    pa_threaded_mainloop* const lockedLoop_;  // null when nothing was locked
};

}  // namespace halvo::pulse
