// The main queue's ordering, the log's literal arguments.

#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Dispatch.hpp"
#include "platform/Log.hpp"
#include "tests/support/TestSupport.hpp"

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

TEST(Log, ArgumentsArePrintedLiterallyAndFloatsWithSixDecimals) {
    EXPECT_EQ(platform::log::render("UPDATED VALUE: %@ FOR SETTING: %@", {std::string("100%@ %f %s %n"), "x"}),
              "UPDATED VALUE: 100%@ %f %s %n FOR SETTING: x");
    EXPECT_EQ(platform::log::render("Upload Progress: %f", {0.5}), "Upload Progress: 0.500000");
    EXPECT_EQ(platform::log::render("100%% done, %d stays", {}), "100% done, %d stays");
    galvoria::testing::LogCapture capture;
    platform::log::line("Folder Created: [name: 50% %@]");
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"Folder Created: [name: 50% %@]"});
}
