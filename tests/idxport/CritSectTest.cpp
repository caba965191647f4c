#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "Indexing/idxport/CXAutoCritSect.h"
#include "Indexing/idxport/CXCritSect.h"

TEST(CXAutoCritSect, HoldsTheSectionForItsScopeWhenAskedAndItsHolderMayEnterAgain) {
    CXCritSect section;
    std::future<void> other;
    const auto enteredFromAnotherThread = [&](int ms) {  // enters and leaves again
        other = std::async(std::launch::async, [&section] { section.lock(), section.unlock(); });
        return other.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    };
    {
        CXAutoCritSect hold(&section, "test", true), again(&section, "test", true), none(nullptr, "test", true);
        EXPECT_FALSE(enteredFromAnotherThread(100));
    }
    EXPECT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "left as often as entered";
    CXAutoCritSect notHeld(&section, "test", false);
    EXPECT_TRUE(enteredFromAnotherThread(20000));
}
