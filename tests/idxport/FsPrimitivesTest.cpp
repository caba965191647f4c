#include <gtest/gtest.h>

#include "Indexing/idxport/FsPrimitives.h"

TEST(FsPrimitives, PathsAreComposedAndSplitAtTheOneSeparator) {
    EXPECT_EQ(joinPath("/a/b/", "c"), "/a/b/c") << "no doubled separator";
    EXPECT_EQ(joinPath("/a", "c"), "/a/c");
    EXPECT_EQ(parentPath("/a/b/c"), "/a/b");
    EXPECT_EQ(parentPath("/c"), "/");
    EXPECT_EQ(parentPath("a\\b"), "") << "a backslash is part of a name here";
    EXPECT_EQ(lastPathComponent("/a/b/c"), "c");
    EXPECT_EQ(lastPathComponent("c"), "c");
}
