#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/file_handle.h"

namespace halvo::platform {

// Writes whole lines to a descriptor on a thread of its own, so that no caller ever waits for
// the reader at the other end: post() only queues. Lines go out in the order they were posted,
// each in one write. When the reader falls so far behind that `capacityBytes` are waiting, new
// lines are dropped, and once the queue has drained a note made by `dropNote` (given the number
// of lines dropped) says so. The writer thread never lets SIGPIPE end the process: a closed
// reader loses the lines, nothing else.
class LineWriter {
  public:
    LineWriter(FileHandle destination, std::size_t capacityBytes,
               std::function<std::string(std::uint64_t dropped)> dropNote);
    // Waits for the thread, which ends once it has written or dropped what is queued.
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Any thread; never blocks on the destination.
    void post(std::string line);

    // Waits until every line posted so far has been written, or until `timeout` has passed.
    // True when everything is out.
    bool flush(std::chrono::milliseconds timeout);

  private:
    void run();

    const FileHandle destination_;
    const std::size_t capacity_;
    const std::function<std::string(std::uint64_t)> dropNote_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    std::size_t queuedBytes_ = 0;
    std::uint64_t dropped_ = 0;
    bool writing_ = false;  // the thread holds a line it is writing
    bool ending_ = false;
    std::thread thread_;  // started with the first line
};

}  // namespace halvo::platform
