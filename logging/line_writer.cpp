#include "logging/line_writer.h"

#include <pthread.h>

#include "platform/process.h"

namespace halvo::platform {

LineWriter::LineWriter(FileHandle destination, std::size_t diagnosticBytes, std::size_t signalBytes,
                       std::function<std::string(std::uint64_t, DropReason)> dropNote)
    : destination_(destination),
      diagnosticCapacity_(diagnosticBytes),
      signalCapacity_(signalBytes),
      dropNote_(std::move(dropNote)) {}

LineWriter::~LineWriter() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
        thread = std::move(thread_);
    }
    changed_.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void LineWriter::post(std::string line, LineKind kind) {
    {
        std::lock_guard lock(mutex_);
        if (kind == LineKind::signal) {
            signalBytes_ += line.size();
            lines_.push_back({std::move(line), kind});
        } else if (line.size() > diagnosticCapacity_) {
            ++droppedTooLong_;
        } else if (diagnosticBytes_ + line.size() > diagnosticCapacity_) {
            ++droppedNotRead_;
        } else {
            diagnosticBytes_ += line.size();
            lines_.push_back({std::move(line), kind});
        }
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run(); });
            return;
        }
    }
    changed_.notify_all();
}

void LineWriter::waitForSignalRoom() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return signalBytes_ <= signalCapacity_ || ending_; });
}

bool LineWriter::flush(std::chrono::milliseconds stall) {
    std::unique_lock lock(mutex_);
    const auto allOut = [this] { return lines_.empty() && !writing_ && !notesDue(); };
    for (;;) {
        const std::uint64_t before = written_;
        if (changed_.wait_for(lock, stall, [&] { return allOut() || written_ != before; })) {
            if (allOut()) {
                return true;
            }
            continue;  // a line went out: the parent is reading
        }
        return false;
    }
}

void LineWriter::queueDropNotes() {
    if (!dropNote_) {
        droppedNotRead_ = droppedTooLong_ = 0;
        return;
    }
    for (const auto& [count, why] : {std::pair{droppedNotRead_, DropReason::notRead},
                                     std::pair{droppedTooLong_, DropReason::tooLong}}) {
        if (count > 0) {
            std::string note = dropNote_(count, why);
            diagnosticBytes_ += note.size();
            lines_.push_back({std::move(note), LineKind::diagnostic});
        }
    }
    droppedNotRead_ = droppedTooLong_ = 0;
}

void LineWriter::run() {
    pthread_setname_np(pthread_self(), "stderr");
    blockBrokenPipeSignal();
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !lines_.empty() || notesDue() || ending_; });
        if (lines_.empty()) {
            if (!notesDue()) {
                return;  // ending, and everything is out
            }
            // Room again: say what was lost, after the lines that were kept.
            queueDropNotes();
        }
        Line line = std::move(lines_.front());
        lines_.pop_front();
        (line.kind == LineKind::signal ? signalBytes_ : diagnosticBytes_) -= line.text.size();
        writing_ = true;
        lock.unlock();
        // Room for signals already: the reader of commands may go on while this line is out.
        changed_.notify_all();
        destination_.writeAll(line.text);
        lock.lock();
        writing_ = false;
        ++written_;
        changed_.notify_all();
    }
}

}  // namespace halvo::platform
