#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "tests/support/waiting.h"

namespace halvo::platform {
namespace {

using namespace std::chrono_literals;

// The sink's in-place delivery rests on this: an item run on the caller is still an item of the
// queue, never beside one of its own.
TEST(SerialQueueInline, RunsOnTheCallerOnlyWhenIdleAndKeepsTheQueueOrder) {
    SerialQueue queue("test.inline", QualityOfService::userInteractive);
    std::mutex mutex;  // guards ran, should the queue fail to keep its items apart
    std::vector<int> ran;
    const auto note = [&](int entry) {
        std::lock_guard lock(mutex);
        ran.push_back(entry);
    };
    std::promise<void> started;
    std::promise<void> release;
    queue.async([&, gate = release.get_future().share()] {
        started.set_value();
        gate.wait();
        note(1);
    });
    started.get_future().wait();
    EXPECT_FALSE(queue.runHereIfIdle([&] { note(99); })) << "an item is running";
    queue.async([&] { note(2); });
    release.set_value();

    const auto caller = std::this_thread::get_id();
    ASSERT_TRUE(testing::eventually([&] {
        return queue.runHereIfIdle([&] {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            EXPECT_TRUE(queue.isCurrent());
            note(3);
            queue.async([&] { note(4); });  // waits for the item in place to end
            std::this_thread::yield();
            note(5);
        });
    }));
    EXPECT_FALSE(queue.isCurrent());
    std::promise<void> drained;
    queue.async([&] { drained.set_value(); });
    ASSERT_EQ(drained.get_future().wait_for(5s), std::future_status::ready);
    std::lock_guard lock(mutex);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 5, 4}));
}

}  // namespace
}  // namespace halvo::platform
