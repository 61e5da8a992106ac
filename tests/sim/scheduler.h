#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace halvo::sim {

// One thread that runs work items at their due time, in due-time order (ties in the order they
// were scheduled). It plays the capture service's own thread.
class Scheduler {
  public:
    using Clock = std::chrono::steady_clock;

    Scheduler();
    // Drops what has not run yet and ends the thread (joined, unless released by its own work).
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    void after(std::chrono::milliseconds delay, std::function<void()> work);

    struct State;

  private:
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace halvo::sim
