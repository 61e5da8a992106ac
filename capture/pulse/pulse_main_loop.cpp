#include "capture/pulse/pulse_main_loop.h"

namespace halvo::pulse {

PulseMainLoop::PulseMainLoop() : loop_(pa_threaded_mainloop_new()) {
    if (loop_ == nullptr) {
        return;
    }
    pa_threaded_mainloop_set_name(loop_, "pulse.loop");
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }
}

PulseMainLoop::~PulseMainLoop() {
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

void PulseMainLoop::wait() {
    pa_threaded_mainloop_wait(loop_);
}

void PulseMainLoop::signal() {
    pa_threaded_mainloop_signal(loop_, 0);
}

MainLoopLock::MainLoopLock(PulseMainLoop& loop)
    : lockedLoop_(loop.loop_ != nullptr && !loop.isLoopThread() ? loop.loop_ : nullptr) {
    if (lockedLoop_ != nullptr) {
        pa_threaded_mainloop_lock(lockedLoop_);
    }
}

MainLoopLock::~MainLoopLock() {
    if (lockedLoop_ != nullptr) {
        pa_threaded_mainloop_unlock(lockedLoop_);
    }
}

}  // namespace halvo::pulse
