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

TEST(CXCritSect, RecursiveForItsOwnerExclusiveForOthers) {
    CXCritSect section;
    EXPECT_EQ(section.lock(), 0);
    EXPECT_EQ(section.lock(), 0);
    std::future<void> other = enterFromAnotherThread(section);
    EXPECT_FALSE(entered(other, 100));
    EXPECT_EQ(section.unlock(), 0);
    EXPECT_FALSE(entered(other, 100)) << "entered twice, left once";
    EXPECT_EQ(section.unlock(), 0);
    EXPECT_TRUE(entered(other, 20000));
    {
        CXAutoCritSect hold(&section, "test", true);
        other = enterFromAnotherThread(section);
        EXPECT_FALSE(entered(other, 100));
        CXAutoCritSect noSection(nullptr, "test", true);
    }
    EXPECT_TRUE(entered(other, 20000));
    CXAutoCritSect notHeld(&section, "test", false);
    other = enterFromAnotherThread(section);
    EXPECT_TRUE(entered(other, 20000));
    EXPECT_EQ(&cacheFsCritSect(), &cacheFsCritSect());
}
