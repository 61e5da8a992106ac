#pragma once

#include <mutex>

namespace halvo::platform {

// A flag that a blocking wait can watch beside a file descriptor (poll on pollDescriptor() for
// POLLIN): raising it from any thread wakes the wait, and it stays raised until cleared.
class InterruptFlag {
  public:
    InterruptFlag();
    ~InterruptFlag();
    InterruptFlag(const InterruptFlag&) = delete;
    InterruptFlag& operator=(const InterruptFlag&) = delete;

    // Any thread; cheap when the flag already has the requested state.
    void raise();
    void clear();

    // Readable exactly while the flag is raised.
    int pollDescriptor() const { return fd_; }

  private:
    const int fd_;      // an eventfd whose counter is 1 while raised, 0 otherwise
    std::mutex mutex_;  // guards raised_ and the eventfd's counter, so raise and clear pair up
    bool raised_ = false;
};

}  // namespace halvo::platform
