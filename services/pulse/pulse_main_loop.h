#pragma once

#include <pulse/thread-mainloop.h>

#include <atomic>
#include <thread>

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
    // True on the loop's thread, and on a thread that holds a MainLoopLock outside wait(): for
    // checks of the thread rules. Also true for a loop that could not start.
    bool holdsLock() const;

    // Lock held, off the loop's thread: sleeps until a callback calls signal(). May wake
    // spuriously, so callers wait in a loop that re-checks what they wait for.
    void wait();
    // Lock held: wakes every wait().
    void signal();

  private:
    friend class MainLoopLock;
    void locked();
    void unlocking();

    pa_threaded_mainloop* loop_ = nullptr;
    // Which thread holds the lock through MainLoopLock, and how many times over. Only the holder
    // writes them; other threads only compare the owner with themselves.
    std::atomic<std::thread::id> lockOwner_;
    int lockDepth_ = 0;  // guarded by the loop's lock
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
    PulseMainLoop* const lockedLoop_;  // null when nothing was locked
};

}  // namespace halvo::pulse
