#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Indexing/idxport/FsMountCheck.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/TempDir.h"

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
// then go by link and unlink, directories by claiming the name with mkdir): the same outcome.
TEST(FsPrimitives, RenameNoReplaceNeverReplaces) {
    const struct {
        const char* label;
        FsRenameAt2 renameAt2;
    } cases[] = {{"flag supported", nullptr}, {"flag refused", refuseTheFlag}, {"no renameat2", knowNoRenameat2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string file = dir.file("file"), taken = dir.file("taken"), link = dir.file("link");
        const std::string sub = dir.file("sub"), otherSub = dir.file("otherSub");
        writeFileText(file, "moved");
        writeFileText(taken, "kept");
        ASSERT_EQ(symlink("/nowhere", link.c_str()), 0);
        ASSERT_EQ(mkdir(sub.c_str(), 0700) + mkdir(otherSub.c_str(), 0700), 0);
        writeFileText(sub + "/inside", "x");
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

        for (const std::string& target : {otherSub, dir.file("new")}) {
            errno = 0;
            EXPECT_EQ(fsRenameNoReplace(sub.c_str(), target.c_str()), -1) << target << ": an empty directory is kept too";
            EXPECT_EQ(errno, EEXIST) << target;
        }
        EXPECT_EQ(fsRenameNoReplace(sub.c_str(), dir.file("newSub").c_str()), 0);
        EXPECT_EQ(readFileText(dir.file("newSub/inside")), "x");
        EXPECT_FALSE(fsIsDirectory(sub.c_str()));

        // The rename after the claim fails: the claim goes again, the directory stays where it was.
        FaultInjection faults({.kind = SysKind::Rename, .at = 1, .pathPart = {}});
        EXPECT_EQ(fsRenameNoReplace(dir.file("newSub").c_str(), dir.file("third").c_str()), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_EQ(faults.injected(), 1);
        EXPECT_FALSE(fileExists(dir.file("third")));
        EXPECT_TRUE(fileExists(dir.file("newSub/inside")));
        setFsRenameAt2ForTests(nullptr);
    }
}

// NFS mounts whose locks stay on each client are recognised from their mount options.
TEST(FsPrimitives, MountsWithLocalOnlyLocksAreRecognised) {
    const std::string info =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "40 22 0:50 / /mnt/v3 rw,relatime shared:20 - nfs srv:/x rw,vers=3,nolock,proto=tcp\n"
        "41 22 0:51 / /mnt/v4 rw,relatime - nfs4 srv:/y rw,vers=4.2,local_lock=none,addr=10.0.0.1\n"
        "42 22 0:52 / /mnt/v3b rw - nfs srv:/z rw,vers=3,local_lock=all\n"
        "43 22 0:53 / /mnt/smb rw - cifs //srv/s rw,nolock\n";
    const struct {
        unsigned major, minor;
        const char* mountPoint;  // empty: locks are not local
        const char* option;
    } rows[] = {{8, 1, "", ""},           {0, 50, "/mnt/v3", "nolock"}, {0, 51, "", ""},
                {0, 52, "/mnt/v3b", "local_lock=all"}, {0, 53, "", ""},  {9, 9, "", ""}};
    for (const auto& r : rows) {
        std::string mountPoint, option;
        EXPECT_EQ(fsMountLocksAreLocal(info, r.major, r.minor, mountPoint, option), *r.mountPoint != '\0')
            << r.major << ":" << r.minor;
        EXPECT_EQ(mountPoint, r.mountPoint);
        EXPECT_EQ(option, r.option);
    }
}
