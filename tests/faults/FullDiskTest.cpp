// The writers on a really full file system: a small tmpfs in a private mount namespace, filled up,
// then each writer run into it. Each must report the failure, leave its file as it was and leave
// no temporary behind; once room is made, the same writer succeeds. Root only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Indexing/icommon/SortAndReplace.h"
#include "Platform/SettingsStore.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/TempDir.h"

namespace {
// Fills the file system of dir with one file, to the last byte it takes.
bool fill(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    static const char block[4096] = {};
    for (size_t size = sizeof block; size > 0;)
        if (write(fd, block, size) < 0) size /= 2;
    const bool full = errno == ENOSPC;
    close(fd);
    return full;
}

// Entries of dir other than those named and the settings' lock file (kept on purpose).
size_t othersIn(const std::string& dir, const std::vector<std::string>& named) {
    size_t others = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        others += std::find(named.begin(), named.end(), name) == named.end() && name != "settings.ini.lock";
    }
    return others;
}

struct Case {
    const char* name;
    const char* file;
    std::string before;
    std::function<bool(const std::string&)> write;  // true when it reports success
};
}  // namespace

TEST(FullDisk, WritersReportTheFailureAndKeepTheirFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace and a tmpfs";
    TempDir dir;
    const std::string lines = "pear\napple\nfig\n";
    const Case cases[] = {
        {"settings rewrite", "settings.ini", "[~MediaAgent]\nnOld=1\n",
         [](const std::string& f) { return SettingsStore::setText(f, "~MediaAgent", "nNew", std::string(64, '2')); }},
        {"sortAndReplace", "list.txt", lines,
         [](const std::string& f) { return sortAndReplace(f.c_str(), false, true, false) == 0; }},
        {"sortAndReplaceEx top-N", "top.txt", lines,
         [](const std::string& f) {
             return sortAndReplaceEx(f.c_str(), BatchSortListSortAll, 2, true, false, 0, "", 0, 0) == 0;
         }},
    };
    const int status = runInChildWithFaults(FaultPlan{}, [&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k") != 0)
            return 77;
        int failures = 0;
        for (const Case& c : cases) {
            const std::string file = dir.file(c.file), filler = dir.file("filler");
            writeFileText(file, c.before);
            const std::vector<std::string> before = {"settings.ini", "list.txt", "top.txt", "filler"};
            if (!fill(filler)) return 78;
            const bool reported = c.write(file);
            const bool kept = readFileText(file) == c.before;
            const bool clean = othersIn(dir.path(), before) == 0;
            unlink(filler.c_str());
            const bool afterwards = c.write(file) && readFileText(file) != c.before;
            if (reported || !kept || !clean || !afterwards) {
                fprintf(stderr, "%s on a full disk: reported %s, file %s, %s; with room: %s\n", c.name,
                        reported ? "success" : "failure", kept ? "kept" : "changed",
                        clean ? "nothing left" : "entries left", afterwards ? "written" : "not written");
                ++failures;
            }
        }
        return failures;
    });
    if (status == 77) GTEST_SKIP() << "no private mount namespace or tmpfs here";
    ASSERT_NE(status, 78) << "the tmpfs did not fill";
    EXPECT_EQ(status, 0) << "writers that lost or hid a failure (see above)";
}
