#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "Indexing/idxport/CXCopyFile.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/CXDirectoryW.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
class DirTest : public ::testing::Test {
protected:
    std::string mk(const std::string& rel) { mkdir(tmp.file(rel).c_str(), 0755); return tmp.file(rel); }
    std::string put(const std::string& rel, const std::string& text) {
        writeFileText(tmp.file(rel), text);
        return tmp.file(rel);
    }
    // Makes the directories, then files whose text is their own name, under tmp.
    void tree(std::initializer_list<const char*> dirs, std::initializer_list<const char*> files) {
        for (const char* d : dirs) mk(d);
        for (const char* f : files) put(f, f);
    }
    // Every entry of a directory, sorted ("." and ".." included).
    static std::vector<std::string> names(const std::string& dir) {
        CXDirectory d;
        std::vector<std::string> out;
        if (d.open(dir.c_str()) != 0) return {"<open failed>"};
        while (const char* name = d.read()) out.push_back(name);
        EXPECT_EQ(d.getLastError(), 0) << "the end of the listing is not an error";
        std::sort(out.begin(), out.end());
        return out;
    }
    bool logged(const std::string& line) const {
        auto all = capture.debugMessages();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

    SettingsFixture settings;
    EventCapture capture;
    TempDir tmp;
};

using CXDirectoryTest = DirTest;
using CXCopyFileTest = DirTest;
using CXDirectoryWTest = DirTest;

// Runs fn in a child process (as user nobody when given) and returns its exit code.
int inChild(const std::function<int()>& fn, bool asNobody = false) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (asNobody && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(99);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}
}  // namespace

TEST_F(CXDirectoryTest, TrailingSeparatorListsTheSameEntries) {
    tree({"sub"}, {"a"});
    const std::vector<std::string> expected{".", "..", "a", "sub"};
    EXPECT_EQ(names(tmp.path()), expected);
    EXPECT_EQ(names(tmp.path() + "/"), expected);
}

TEST_F(CXDirectoryTest, OpenFailuresAreMappedAndLoggedOnce) {
    CXDirectory d;
    const std::string missing = tmp.file("missing");
    EXPECT_EQ(d.open(missing.c_str()), -1);
    EXPECT_EQ(d.getLastError(), kErrNotFound);
    EXPECT_EQ(capture.debugMessages(),
              std::vector<std::string>{"DIRECTORY: open: FindFirstFile " + missing + " failed, errno 2"});
    const std::string throughFile = put("file", "x") + "/x";
    EXPECT_EQ(d.open(throughFile.c_str()), -1);
    EXPECT_EQ(d.getLastError(), kErrNotFound) << "a file inside the path means not found";
    EXPECT_EQ(d.read(), nullptr);
    EXPECT_EQ(d.getLastError(), kErrWrongState);
}

TEST_F(CXDirectoryTest, UnlistableDirectoryFailsInsteadOfLookingEmpty) {
    chmod(tmp.path().c_str(), 0755);
    const std::string locked = mk("locked");
    put("locked/precious", "data");
    chmod(locked.c_str(), 0700);
    const bool root = geteuid() == 0;
    if (!root) chmod(locked.c_str(), 0);
    auto openIt = [&] {
        CXDirectory d;
        return d.open(locked.c_str()) == -1 && d.getLastError() == kErrAccessDenied ? 0 : 1;
    };
    EXPECT_EQ(inChild(openIt, root), 0);
    chmod(locked.c_str(), 0700);
}

TEST_F(CXDirectoryTest, CopyFilesSkipsExceptInAnyCaseAndReplacesAnExistingTree) {
    tree({"src", "src/sub", "src/sub/deeper", "dst", "dst/sub"},
         {"src/State", "src/a", "src/sub/STATE", "src/sub/b", "src/sub/deeper/c"});
    const std::string dst = tmp.file("dst");
    put("dst/a", "old a");
    put("dst/sub/b", "old b, longer than the new one");
    CXDirectory d;
    d.setRecursion(true);
    ASSERT_EQ(d.open(tmp.file("src").c_str()), 0);
    ASSERT_EQ(d.copyFiles(dst.c_str(), "state"), 0);
    EXPECT_EQ(readFileText(tmp.file("dst/a")), "src/a");
    EXPECT_EQ(readFileText(tmp.file("dst/sub/b")), "src/sub/b");
    EXPECT_EQ(readFileText(tmp.file("dst/sub/deeper/c")), "src/sub/deeper/c");
    EXPECT_EQ(names(dst), (std::vector<std::string>{".", "..", "a", "sub"})) << "State excepted, no leftovers";
    EXPECT_EQ(names(tmp.file("dst/sub")), (std::vector<std::string>{".", "..", "b", "deeper"}));
}

TEST_F(CXDirectoryTest, RemoveFilesKeepsTheExceptedNameAtEveryLevel) {
    tree({"top", "top/sub", "top/other", "all", "all/sub"},
         {"top/keep", "top/x", "top/sub/KEEP", "top/sub/y", "top/other/z", "all/sub/f", "all/g"});
    CXDirectory d;
    d.setRecursion(true);
    ASSERT_EQ(d.open(tmp.file("top").c_str()), 0);
    EXPECT_EQ(d.removeFiles("Keep"), -1);
    EXPECT_EQ(d.getLastError(), ENOTEMPTY);
    EXPECT_TRUE(logged("DIRECTORY: removeFiles rmdir " + tmp.file("top/sub") + " failed, errno 39"));
    EXPECT_TRUE(fileExists(tmp.file("top/sub/KEEP")));
    EXPECT_FALSE(fileExists(tmp.file("top/sub/y")));
    EXPECT_TRUE(fileExists(tmp.file("top/keep")));
    CXDirectory all;
    all.setRecursion(true);
    ASSERT_EQ(all.open(tmp.file("all").c_str()), 0);
    EXPECT_EQ(all.removeFiles(nullptr), 0);
    EXPECT_TRUE(logged("DIRECTORY: removeFiles from " + tmp.file("all") + " (except NULL)"));
    EXPECT_EQ(names(tmp.file("all")), (std::vector<std::string>{".", ".."})) << "the directory itself stays";
}

// What a walk left at path, without following a link: "dir", "link <target>" or "file <text>".
std::string whatIsAt(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "nothing";
    if (S_ISDIR(st.st_mode)) return "dir";
    if (!S_ISLNK(st.st_mode)) return "file " + readFileText(path);
    char target[1024] = {};
    return "link " + std::string(target, std::max<ssize_t>(0, readlink(path.c_str(), target, sizeof target)));
}

// A tree with links to a directory and to a file outside it and a dangling link, and a
// subdirectory swapped for a link to the outside directory just before the walk descends into
// it: remove takes the links away, copy copies them as links, sum counts their own sizes, and
// nothing outside is emptied, copied or counted.
TEST_F(CXDirectoryTest, WalksNeverFollowLinksOutOfTheTree) {
    const std::string outside = mk("outside"), none = tmp.file("none");
    mk("outside/deep");
    put("outside/o1", std::string(1000, 'o'));
    put("outside/deep/o2", std::string(3000, 'o'));
    enum Op { Remove, Copy, Sum };
    for (Op op : {Remove, Copy, Sum}) {
        SCOPED_TRACE(op);
        const std::string root = mk("tree" + std::to_string(op)), swapped = root + "/swapped";
        mk("tree" + std::to_string(op) + "/sub");
        mk("tree" + std::to_string(op) + "/swapped");
        writeFileText(root + "/a", "0123456789");
        writeFileText(root + "/sub/b", "01234");
        writeFileText(swapped + "/c", "inside");
        ASSERT_EQ(symlink(outside.c_str(), (root + "/linkToDir").c_str()), 0);
        ASSERT_EQ(symlink((outside + "/o1").c_str(), (root + "/linkToFile").c_str()), 0);
        ASSERT_EQ(symlink(none.c_str(), (root + "/dangling").c_str()), 0);
        CXDirectory::setDescendHookForTests([&](const char* path) {
            if (path != swapped) return;
            rename(path, (root + "-away").c_str());
            symlink(outside.c_str(), path);
        });
        CXDirectory d;
        d.setRecursion(true);
        ASSERT_EQ(d.open(root.c_str()), 0);
        const std::string copy = mk("copy" + std::to_string(op));
        switch (op) {
            case Remove:
                EXPECT_EQ(d.removeFiles(nullptr), 0);
                EXPECT_EQ(names(root), (std::vector<std::string>{".", ".."}));
                break;
            case Copy: {
                EXPECT_EQ(d.copyFiles(copy.c_str(), nullptr), 0);
                std::vector<std::string> found;
                for (const char* name : {"a", "sub", "sub/b", "swapped", "linkToDir", "linkToFile", "dangling"})
                    found.push_back(name + std::string(": ") + whatIsAt(copy + "/" + name));
                EXPECT_EQ(found, (std::vector<std::string>{"a: file 0123456789", "sub: dir", "sub/b: file 01234",
                                                           "swapped: link " + outside, "linkToDir: link " + outside,
                                                           "linkToFile: link " + outside + "/o1",
                                                           "dangling: link " + none}));
                break;
            }
            case Sum: {
                EXPECT_EQ(d.sumSizes(), int64_t(10 + 5 + 3 * outside.size() + 3 + none.size()));
                CXDirectory empty;
                ASSERT_EQ(empty.open(copy.c_str()), 0);
                EXPECT_EQ(empty.sumSizes(), 0);
                break;
            }
        }
        CXDirectory::setDescendHookForTests({});
        EXPECT_EQ(readFileText(outside + "/o1").size() + readFileText(outside + "/deep/o2").size(), 4000u);
        EXPECT_EQ(names(outside), (std::vector<std::string>{".", "..", "deep", "o1"}));
    }
}

TEST_F(CXDirectoryTest, FindFileByPatternMatchesASubstringCaseSensitively) {
    tree({}, {"other", "xabcx"});
    std::string path;
    CXDirectory d;
    ASSERT_EQ(d.open((tmp.path() + "/").c_str()), 0);
    EXPECT_EQ(d.findFileByPattern("abc", path, 0), 0);
    EXPECT_EQ(path, tmp.path() + "/xabcx") << "no doubled separator";
    CXDirectory upper;
    ASSERT_EQ(upper.open(tmp.path().c_str()), 0);
    EXPECT_EQ(upper.findFileByPattern("ABC", path, 0), 1);
}

TEST_F(CXDirectoryTest, GetFreeSpaceAgreesWithStatvfs) {
    CXDirectory d;
    uint64_t available = 0, total = 0;
    unsigned long block = 0;
    ASSERT_EQ(d.getFreeSpace(tmp.path().c_str(), &available, &total, &block), 0) << "a leading '/' is kept";
    struct statvfs vfs;
    ASSERT_EQ(statvfs(tmp.path().c_str(), &vfs), 0);
    EXPECT_EQ(block, 1024u);
    EXPECT_EQ(total, uint64_t(vfs.f_blocks) * vfs.f_frsize / 1024);

    EXPECT_EQ(d.getFreeSpaceKRMA(tmp.file("missing").c_str(), &available, &total, &block), -1);
    EXPECT_EQ(d.getLastError(), kErrNotFound);
    EXPECT_EQ(available, 0u);
    EXPECT_EQ(total, 0u);
}

TEST_F(CXDirectoryTest, ComposedPathLongerThanTheBufferFailsWithoutBeingCut) {
    std::string deep = tmp.path();
    while (deep.size() < 800) {
        deep += "/" + std::string(200, 'd');
        mkdir(deep.c_str(), 0755);
    }
    const std::string name(1040 - deep.size(), 'f');  // deep + '/' + name: 1041 characters
    writeFileText(deep + "/" + name, "data");
    ASSERT_TRUE(fileExists(deep + "/" + name));
    const std::string dst = mk("dst");
    CXDirectory copy;
    ASSERT_EQ(copy.open(deep.c_str()), 0);
    EXPECT_EQ(copy.copyFiles(dst.c_str(), nullptr), -1);
    EXPECT_EQ(copy.getLastError(), ENAMETOOLONG);
    EXPECT_TRUE(logged("DIRECTORY: cannot compose the path of '" + name + "' in '" + deep +
                       "': longer than 1039 characters"));
    EXPECT_EQ(names(dst), (std::vector<std::string>{".", ".."}));
    CXDirectory remove;
    ASSERT_EQ(remove.open(deep.c_str()), 0);
    EXPECT_EQ(remove.removeFiles(nullptr), -1);
    EXPECT_TRUE(fileExists(deep + "/" + name));
}

TEST_F(CXCopyFileTest, ReplacesTheTargetWithContentsAndMode) {
    const std::string big(200000, 'n');
    const std::string from = put("from", big), to = put("to", "old");
    chmod(from.c_str(), 0640);
    int error = 0;
    EXPECT_EQ(CXCopyFile(from.c_str(), to.c_str(), &error), 0);
    EXPECT_EQ(readFileText(to), big);
    struct stat st;
    ASSERT_EQ(stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(names(tmp.path()), (std::vector<std::string>{".", "..", "from", "to"}));
    // Another file system cannot copy in the kernel: the read and write loop takes over.
    struct stat shm;
    if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) {
        const std::string other = "/dev/shm/vornica-copy-" + std::to_string(getpid());
        EXPECT_EQ(CXCopyFile(from.c_str(), other.c_str(), &error), 0);
        EXPECT_EQ(readFileText(other), big);
        unlink(other.c_str());
    }
}

TEST_F(CXCopyFileTest, FailureLeavesAnExistingTargetIntact) {
    const std::string to = put("to", "good");
    const std::string missing = tmp.file("missing");
    int error = 0;
    EXPECT_EQ(CXCopyFile(missing.c_str(), to.c_str(), &error), -1);
    EXPECT_EQ(error, kErrNotFound);
    EXPECT_TRUE(logged("CXCOPYFILE: cannot copy " + missing + " to " + to + ", code 2"));
    EXPECT_EQ(CXCopyFile(mk("dir").c_str(), to.c_str(), &error), -1);
    EXPECT_EQ(error, EISDIR);
    EXPECT_EQ(CXCopyFile(to.c_str(), tmp.file("no/such").c_str(), &error), -1);
    EXPECT_EQ(error, kErrNotFound);
    // A copy that breaks off half-way (the file size limit stops the writes).
    const std::string from = put("big", std::string(65536, 'b'));
    const int rc = inChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        int childError = 0;
        if (CXCopyFile(from.c_str(), to.c_str(), &childError) != -1) return 1;
        return childError == EFBIG ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFileText(to), "good");
    EXPECT_EQ(names(tmp.path()), (std::vector<std::string>{".", "..", "big", "dir", "to"})) << "no temporary left";
}

TEST_F(CXDirectoryWTest, ListsNamesAsWideTextAndReportsUnconvertibleOnes) {
    put("\xc3\xbc.txt", "");  // ü in UTF-8
    put("bad\xff", "");
    std::wstring dir;
    for (char c : tmp.path()) dir += wchar_t(static_cast<unsigned char>(c));
    CXDirectoryW d;
    ASSERT_EQ(d.open((dir + L"/").c_str()), 0);
    std::vector<std::wstring> seen;
    int unconvertible = 0;  // reading goes on after such an entry
    for (const wchar_t* name; (name = d.read()) != nullptr || d.getLastError() == EILSEQ;)
        name != nullptr ? seen.push_back(name) : void(++unconvertible);
    EXPECT_EQ(d.getLastError(), 0);
    EXPECT_EQ(unconvertible, 1);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::wstring>{L".", L"..", L"\u00fc.txt"}));
    CXDirectoryW missing;
    EXPECT_EQ(missing.open((dir + L"/missing").c_str()), -1);
    EXPECT_EQ(missing.getLastError(), kErrNotFound);
}
