// The suites that rename (update by rename, discard-for-resume and resume, the job id file,
// settings, generation, filter files, sort), run again with their files on a bindfs mount: a FUSE
// file system that, like NFS and SMB shares, answers EINVAL to renameat2(RENAME_NOREPLACE).
// Root only (mounting), with /dev/fuse and bindfs (scripts/setup.sh installs it).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/support/FaultInjection.h"
#include "tests/support/TempDir.h"

namespace {
// A bindfs mount of dir's "source" at dir's "share", unmounted when the object goes.
struct BindfsMount {
    explicit BindfsMount(const TempDir& dir) : path(dir.file("share")) {
        mkdir(dir.file("source").c_str(), 0755);
        mkdir(path.c_str(), 0755);
        mounted = runCommand("bindfs '" + dir.file("source") + "' '" + path + "' 2>/dev/null") == 0;
    }
    ~BindfsMount() {
        if (mounted) runCommand("umount -l '" + path + "'");
    }
    const std::string path;
    bool mounted = false;
};
}  // namespace

TEST(ShareMount, RenamingSuitesPassWithoutTheNoReplaceFlag) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a bindfs file system";
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
    if (runCommand("command -v bindfs >/dev/null") != 0) GTEST_SKIP() << "needs bindfs (scripts/setup.sh installs it)";
    TempDir dir;
    BindfsMount share(dir);
    ASSERT_TRUE(share.mounted) << "bindfs could not mount " << share.path;
    const std::string probe = share.path + "/probe", moved = share.path + "/moved";
    writeFileText(probe, "x");
    errno = 0;
    if (renameat2(AT_FDCWD, probe.c_str(), AT_FDCWD, moved.c_str(), RENAME_NOREPLACE) == 0 || errno != EINVAL)
        GTEST_SKIP() << "this bindfs takes the no-replace flag: nothing to show";
    unlink(probe.c_str());

    // One process per suite, as ctest runs them: a suite's process-wide state stays its own.
    for (const char* suite : {"Resume.*", "JobIdFile.*", "UpdateFrom100.*", "Lifecycle.*", "SideFiles.*",
                              "SortAndReplace.*", "SettingsStore.*", "Generate.*", "PagingRestoreFilterTest.*",
                              "StoreTest.*", "FsPrimitives.*", "SafeFileOps.*", "CXCopyFileTest.*"}) {
        SCOPED_TRACE(suite);
        const std::string command = "VORNICA_TEST_TMPDIR='" + share.path + "' /proc/" + std::to_string(getpid()) +
                                    "/exe --gtest_brief=1 --gtest_filter='" + suite + "' 2>&1";
        std::string out;
        EXPECT_EQ(runCommand(command, &out), 0) << out;
    }
}
