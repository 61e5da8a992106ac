#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace halvo::platform {

using WorkItem = std::function<void()>;

// How urgent a queue's work is. An unprivileged process can only lower a thread's priority, so
// every class but `background` runs at the process's own priority; `background` threads run
// below it (a higher nice value).
enum class QualityOfService { userInteractive, userInitiated, utility, background };

// A serial queue: work items run one at a time, in the order they were added, on one thread
// that the queue owns. The thread starts lazily and ends when the queue is released and its
// work has drained, so an idle queue costs nothing but memory.
class SerialQueue {
  public:
    SerialQueue(std::string label, QualityOfService qos);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Adds a work item; returns at once. Callable from any thread, including the queue's own.
    void async(WorkItem work);

    const std::string& label() const { return label_; }

    // Runs `work` on the calling thread as an item of this queue (after every item before it,
    // before any after it, isCurrent() true meanwhile) when nothing is queued or running; returns
    // false, without running it, otherwise. Spares a short item the wake-up of the queue's
    // thread. Any thread but the queue's own.
    template <typename Work>
    bool runHereIfIdle(Work&& work) {
        const State* const previous = enterIfIdle();
        if (previous == nullptr) {
            return false;
        }
        std::forward<Work>(work)();
        leave(previous);
        return true;
    }

    // True when called from a work item of this queue: for checks of thread rules.
    bool isCurrent() const;

    struct State;

  private:
    // The queue current before, or null when the queue is busy. A thread on no queue gets a
    // marker that is not null.
    const State* enterIfIdle();
    void leave(const State* previous);

    std::string label_;
    QualityOfService qos_;
    std::shared_ptr<State> state_;
};

// The process-wide concurrent queue of utility priority: every item runs on a thread of its own,
// so a long-running item (the command reader) never holds up another.
void asyncOnGlobalUtilityQueue(WorkItem work);

}  // namespace halvo::platform
