#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Indexing/idxport/FsPrimitives.h"
#include "tests/support/TempDir.h"

TEST(FsPrimitives, PathsAreComposedAndSplitAtTheOneSeparator) {
    EXPECT_EQ(joinPath("/a/b/", "c"), "/a/b/c") << "no doubled separator";
    EXPECT_EQ(joinPath("/a", "c"), "/a/c");
    EXPECT_EQ(parentPath("/a/b/c"), "/a/b");
    EXPECT_EQ(parentPath("/c"), "/");
    EXPECT_EQ(parentPath("a\\b"), "") << "a backslash is part of a name here";
    EXPECT_EQ(lastPathComponent("/a/b/c"), "c");
    EXPECT_EQ(lastPathComponent("c"), "c");
}

namespace {
int refuseTheFlag(int, const char*, int, const char*, unsigned) {
    errno = EINVAL;
    return -1;
}
int knowNoRenameat2(int, const char*, int, const char*, unsigned) {
    errno = ENOSYS;
    return -1;
}
}  // namespace

// On a file system that supports the flag, and through the seam on one that refuses it (files
// then go by link and unlink; directories fail with the refusal, never by a racy fallback).
TEST(FsPrimitives, RenameNoReplaceNeverReplaces) {
    struct Case {
        const char* label;
        FsRenameAt2 renameAt2;
        int directoryError;  // what renaming a directory gives: 0 success
    } cases[] = {{"flag supported", nullptr, 0}, {"flag refused", refuseTheFlag, EINVAL},
                 {"no renameat2", knowNoRenameat2, ENOSYS}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string file = dir.file("file"), taken = dir.file("taken"), link = dir.file("link");
        const std::string sub = dir.file("sub"), otherSub = dir.file("otherSub");
        writeFileText(file, "moved");
        writeFileText(taken, "kept");
        ASSERT_EQ(symlink("/nowhere", link.c_str()), 0);
        ASSERT_EQ(mkdir(sub.c_str(), 0700) + mkdir(otherSub.c_str(), 0700), 0);
        setFsRenameAt2ForTests(c.renameAt2);

        errno = 0;
        EXPECT_EQ(fsRenameNoReplace(file.c_str(), taken.c_str()), -1);
        EXPECT_EQ(errno, EEXIST);
        EXPECT_EQ(readFileText(file) + readFileText(taken), "movedkept");
        EXPECT_EQ(fsRenameNoReplace(file.c_str(), dir.file("new").c_str()), 0);
        EXPECT_EQ(readFileText(dir.file("new")), "moved");
        EXPECT_FALSE(fileExists(file));
        EXPECT_EQ(fsRenameNoReplace(link.c_str(), dir.file("newLink").c_str()), 0);
        struct stat st {};
        EXPECT_TRUE(lstat(dir.file("newLink").c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << "moved as a link";

        errno = 0;
        EXPECT_EQ(fsRenameNoReplace(sub.c_str(), otherSub.c_str()), -1) << "an empty directory is kept too";
        EXPECT_EQ(errno, c.directoryError == 0 ? EEXIST : c.directoryError);
        EXPECT_EQ(fsRenameNoReplace(sub.c_str(), dir.file("newSub").c_str()), c.directoryError == 0 ? 0 : -1);
        if (c.directoryError != 0) {
            EXPECT_EQ(errno, c.directoryError);
        }
        EXPECT_EQ(fsIsDirectory(sub.c_str()), c.directoryError != 0);
        setFsRenameAt2ForTests(nullptr);
    }
}
