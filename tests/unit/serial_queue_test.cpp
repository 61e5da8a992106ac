#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch.h"

namespace halvo::platform {
namespace {

using namespace std::chrono_literals;

// What ran, in order, from whichever thread.
class Journal {
  public:
    void add(int entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    std::vector<int> entries() {
        std::lock_guard lock(mutex_);
        return entries_;
    }

  private:
    std::mutex mutex_;  // guards entries_
    std::vector<int> entries_;
};

TEST(SerialQueueInline, RunsOnTheCallerOnlyWhenIdleAndKeepsTheQueueOrder) {
    SerialQueue queue("test.inline", QualityOfService::userInteractive);
    Journal journal;
    std::promise<void> release;
    std::promise<void> started;
    queue.async([&, gate = release.get_future().share()] {
        started.set_value();
        gate.wait();
        journal.add(1);
    });
    started.get_future().wait();
    EXPECT_FALSE(queue.runHereIfIdle([&] { journal.add(99); })) << "an item is running";
    queue.async([&] { journal.add(2); });
    release.set_value();

    // Once the queue has drained, the caller runs the item itself, as part of the queue.
    const auto caller = std::this_thread::get_id();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    bool ran = false;
    while (!ran && std::chrono::steady_clock::now() < deadline) {
        ran = queue.runHereIfIdle([&] {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            EXPECT_TRUE(queue.isCurrent());
            journal.add(3);
            queue.async([&] { journal.add(4); });  // waits for the inline item to end
            std::this_thread::yield();
            journal.add(5);
        });
    }
    ASSERT_TRUE(ran);
    EXPECT_FALSE(queue.isCurrent());
    std::promise<void> drained;
    queue.async([&] { drained.set_value(); });
    ASSERT_EQ(drained.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(journal.entries(), (std::vector<int>{1, 2, 3, 5, 4}));
}

}  // namespace
}  // namespace halvo::platform
