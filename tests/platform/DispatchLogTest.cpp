// The main queue: posting order, its own thread, draining.

#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Dispatch.hpp"

TEST(MainQueue, RunsBlocksInPostingOrderOnItsOwnThreadAndDrains) {
    platform::MainQueueThread served;
    std::vector<int> order;
    std::atomic<int> onMain{0};
    for (int i = 0; i < 100; ++i) {
        platform::MainQueue::shared().async([&order, &onMain, i] {
            order.push_back(i);
            onMain += platform::MainQueue::shared().isMainThread() ? 1 : 0;
        });
    }
    platform::MainQueue::shared().waitUntilDrained();
    ASSERT_EQ(order.size(), 100U);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(onMain.load(), 100);
    EXPECT_FALSE(platform::MainQueue::shared().isMainThread());
}
