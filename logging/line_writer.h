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

// Diagnostic lines are for people and may be lost; signal lines are for the reader's code and
// never are.
enum class LineKind { diagnostic, signal };

// Why diagnostic lines were dropped.
enum class DropReason {
    notRead,  // the reader fell so far behind that the queue was full
    tooLong,  // the line alone was longer than the queue may ever hold
};

// Writes whole lines to a descriptor on a thread of its own, so that no caller ever waits for
// the reader at the other end: post() only queues. Lines go out in the order they were posted,
// each in one write. Diagnostic lines wait up to `diagnosticBytes` in all; beyond that, and when
// one is longer than that alone, they are dropped, and a note made by `dropNote` (given how
// many were dropped, and why) follows once the queue has drained. Signal lines are always
// queued; a producer of signals bounds them by waiting in waitForSignalRoom(). The writer thread
// never lets SIGPIPE end the process: a closed reader loses the lines, nothing else.
class LineWriter {
  public:
    LineWriter(FileHandle destination, std::size_t diagnosticBytes, std::size_t signalBytes,
               std::function<std::string(std::uint64_t dropped, DropReason why)> dropNote);
    // Waits for the thread, which ends once it has written or dropped what is queued.
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Any thread; never blocks on the destination.
    void post(std::string line, LineKind kind);

    // Blocks while more than `signalBytes` of signal lines wait to be written: for the one
    // thread whose work makes signals (the command reader), never for the audio path.
    void waitForSignalRoom();

    // Waits until every line posted so far has been written, or until no line has gone out for
    // `stall`: a parent that reads slowly still gets every line, one that does not read holds
    // nobody up for longer than that. True when everything is out.
    bool flush(std::chrono::milliseconds stall);

  private:
    struct Line {
        std::string text;
        LineKind kind;
    };
    void run();
    // Lock held. Queues the notes for what was dropped since the last ones.
    void queueDropNotes();
    bool notesDue() const { return droppedNotRead_ > 0 || droppedTooLong_ > 0; }

    const FileHandle destination_;
    const std::size_t diagnosticCapacity_;
    const std::size_t signalCapacity_;
    const std::function<std::string(std::uint64_t, DropReason)> dropNote_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::deque<Line> lines_;
    std::size_t diagnosticBytes_ = 0;  // queued, by kind
    std::size_t signalBytes_ = 0;
    std::uint64_t droppedNotRead_ = 0;
    std::uint64_t droppedTooLong_ = 0;
    bool writing_ = false;       // the thread holds a line it is writing
    std::uint64_t written_ = 0;  // lines out so far
    bool ending_ = false;
    std::thread thread_;  // started with the first line
};

}  // namespace halvo::platform
