#pragma once

// Waiting for what a test expects to happen, always with a deadline: a test never sleeps for a
// fixed time in the hope that something has happened by then.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <chrono>
#include <functional>
#include <thread>

namespace halvo::testing {

using namespace std::chrono_literals;

// Until `condition` holds; false once `limit` has passed. For state that announces no change
// (counters and flags of the code under test), so it is looked at every millisecond.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The bytes written into a pipe and not yet read, seen from its read end.
inline std::size_t bytesInPipe(int readEnd) {
    int bytes = 0;
    return ::ioctl(readEnd, FIONREAD, &bytes) == 0 ? static_cast<std::size_t>(bytes) : 0;
}

// Until the pipe written through `writeEnd` has no page left to fill: a writer of more than what
// the last page can still take waits (or, without blocking, is refused).
inline bool waitUntilPipeRefusesWrites(int writeEnd, std::chrono::milliseconds limit = 5s) {
    return eventually(
        [&] {
            pollfd writable{writeEnd, POLLOUT, 0};
            return ::poll(&writable, 1, 0) == 0;
        },
        limit);
}

}  // namespace halvo::testing
