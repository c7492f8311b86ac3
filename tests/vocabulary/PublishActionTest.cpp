// The publish action is one object per process, created once even when threads race to it.

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vocabulary/PublishAction.hpp"

TEST(PublishAction, CreatedOnceUnderConcurrentFirstUse) {
    constexpr int threads = 16;
    std::vector<const co::COPluginAction*> seen(threads, nullptr);
    std::vector<std::thread> racers;
    for (int i = 0; i < threads; ++i) {
        racers.emplace_back([&seen, i] { seen[static_cast<std::size_t>(i)] = galvoria::publishAction().get(); });
    }
    for (auto& racer : racers) {
        racer.join();
    }
    for (const auto* each : seen) {
        EXPECT_EQ(each, seen.front());
    }
    EXPECT_EQ(galvoria::publishAction()->displayName(), "Publish to galvoria");
    EXPECT_FALSE(galvoria::isPublishAction(nullptr));
}
