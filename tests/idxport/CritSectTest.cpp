#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "Indexing/idxport/CXAutoCritSect.h"
#include "Indexing/idxport/CXCritSect.h"

namespace {
// Another thread enters the section and leaves it again.
std::future<void> enterFromAnotherThread(CXCritSect& section) {
    return std::async(std::launch::async, [&section] { section.lock(), section.unlock(); });
}

bool entered(std::future<void>& other, int ms) {
    return other.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}
}  // namespace

TEST(CXAutoCritSect, HoldsTheSectionForItsScopeWhenAskedAndItsHolderMayEnterAgain) {
    CXCritSect section;
    std::future<void> other;
    {
        CXAutoCritSect hold(&section, "test", true), again(&section, "test", true), none(nullptr, "test", true);
        other = enterFromAnotherThread(section);
        EXPECT_FALSE(entered(other, 100));
    }
    EXPECT_TRUE(entered(other, 20000)) << "left as often as entered";
    CXAutoCritSect notHeld(&section, "test", false);
    other = enterFromAnotherThread(section);
    EXPECT_TRUE(entered(other, 20000));
}
