#include "services/pulse/pulse_main_loop.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "platform/thread_check.h"

namespace halvo::pulse {

namespace {

// The loop's first turn, told to the thread that started it.
struct FirstTurn {
    std::mutex mutex;  // guards `taken`
    std::condition_variable taken;
    bool done = false;
};

void onFirstTurn(pa_mainloop_api*, void* userdata) {
    auto& turn = *static_cast<FirstTurn*>(userdata);
    std::lock_guard lock(turn.mutex);
    turn.done = true;
    turn.taken.notify_all();
}

}  // namespace

PulseMainLoop::PulseMainLoop() : loop_(pa_threaded_mainloop_new()) {
    if (loop_ == nullptr) {
        return;
    }
    pa_threaded_mainloop_set_name(loop_, "pulse.loop");
    // libpulse's first call on a thread records that thread behind a lock it makes on first use
    // and publishes without an order ThreadSanitizer sees; the loop's thread makes it, and every
    // other thread's first lock of the loop then raced with that (seen on the service thread
    // under --list-apps). The constructor returns only after the loop's first turn, handed over
    // by a mutex of ours: a thread that uses the loop afterwards, or is started afterwards, comes
    // after the lock was made. Nothing is queued before (no lock needed); the turn never waits
    // for the server.
    FirstTurn turn;
    pa_mainloop_api_once(pa_threaded_mainloop_get_api(loop_), &onFirstTurn, &turn);
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        return;
    }
    std::unique_lock lock(turn.mutex);
    turn.taken.wait(lock, [&turn] { return turn.done; });
}

PulseMainLoop::~PulseMainLoop() {
    HALVO_CHECK_THREAD(!isLoopThread(), "the main loop is not stopped from its own thread");
    HALVO_CHECK_THREAD(lockOwner_.load() != std::this_thread::get_id(),
                       "the main loop is stopped without its lock");
    if (loop_ != nullptr) {
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }
}

pa_mainloop_api* PulseMainLoop::api() const {
    return loop_ != nullptr ? pa_threaded_mainloop_get_api(loop_) : nullptr;
}

bool PulseMainLoop::isLoopThread() const {
    return loop_ != nullptr && pa_threaded_mainloop_in_thread(loop_) != 0;
}

bool PulseMainLoop::holdsLock() const {
    // A loop that never started has no lock, and nothing it could guard.
    return loop_ == nullptr || isLoopThread() || lockOwner_.load() == std::this_thread::get_id();
}

void PulseMainLoop::wait() {
    HALVO_CHECK_THREAD(!isLoopThread(), "waits happen off the loop's thread");
    HALVO_CHECK_THREAD(holdsLock(), "waits happen with the loop's lock held");
    // The wait lets go of the lock, so another thread may take it meanwhile.
    const int depth = std::exchange(lockDepth_, 0);
    lockOwner_ = std::thread::id();
    pa_threaded_mainloop_wait(loop_);
    lockOwner_ = std::this_thread::get_id();
    lockDepth_ = depth;
}

void PulseMainLoop::signal() {
    HALVO_CHECK_THREAD(holdsLock(), "the loop is signalled with its lock held");
    pa_threaded_mainloop_signal(loop_, 0);
}

void PulseMainLoop::locked() {
    if (lockDepth_++ == 0) {
        lockOwner_ = std::this_thread::get_id();
    }
}

void PulseMainLoop::unlocking() {
    if (--lockDepth_ == 0) {
        lockOwner_ = std::thread::id();
    }
}

MainLoopLock::MainLoopLock(PulseMainLoop& loop)
    : lockedLoop_(loop.loop_ != nullptr && !loop.isLoopThread() ? &loop : nullptr) {
    if (lockedLoop_ != nullptr) {
        pa_threaded_mainloop_lock(lockedLoop_->loop_);
        lockedLoop_->locked();
    }
}

MainLoopLock::~MainLoopLock() {
    if (lockedLoop_ != nullptr) {
        lockedLoop_->unlocking();
        pa_threaded_mainloop_unlock(lockedLoop_->loop_);
    }
}

}  // namespace halvo::pulse
