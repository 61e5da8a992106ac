#include "platform/line_writer.h"

#include <pthread.h>

#include "platform/process.h"

namespace halvo::platform {

LineWriter::LineWriter(FileHandle destination, std::size_t capacityBytes,
                       std::function<std::string(std::uint64_t dropped)> dropNote)
    : destination_(destination), capacity_(capacityBytes), dropNote_(std::move(dropNote)) {}

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

void LineWriter::post(std::string line) {
    {
        std::lock_guard lock(mutex_);
        if (queuedBytes_ + line.size() > capacity_) {
            ++dropped_;
            return;
        }
        queuedBytes_ += line.size();
        lines_.push_back(std::move(line));
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run(); });
            return;
        }
    }
    changed_.notify_all();
}

bool LineWriter::flush(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return lines_.empty() && !writing_; });
}

void LineWriter::run() {
    pthread_setname_np(pthread_self(), "stderr");
    blockBrokenPipeSignal();
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !lines_.empty() || ending_; });
        if (lines_.empty()) {
            return;
        }
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        queuedBytes_ -= line.size();
        if (lines_.empty() && dropped_ > 0 && dropNote_) {
            // Room again: say what was lost, after the lines that were kept.
            std::string note = dropNote_(dropped_);
            dropped_ = 0;
            queuedBytes_ += note.size();
            lines_.push_back(std::move(note));
        }
        writing_ = true;
        lock.unlock();
        destination_.writeAll(line);
        lock.lock();
        writing_ = false;
        changed_.notify_all();
    }
}

}  // namespace halvo::platform
