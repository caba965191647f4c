#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Indexing/idxport/CXCopyFile.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/CXDirectoryW.h"
#include "tests/support/DeniedDirectory.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/SettingsFixture.h"

namespace {
using Names = std::vector<std::string>;

class DirTest : public ::testing::Test {
protected:
    std::string mk(const std::string& rel) { mkdir(tmp.file(rel).c_str(), 0755); return tmp.file(rel); }
    std::string put(const std::string& rel, const std::string& text) {
        writeFileText(tmp.file(rel), text);
        return tmp.file(rel);
    }
    // Makes the directories, then files whose text is their own name, under tmp.
    void tree(std::initializer_list<std::string> dirs, std::initializer_list<std::string> files) {
        for (const std::string& d : dirs) mk(d);
        for (const std::string& f : files) put(f, f);
    }
    // A recursive directory object open on path; null when the open failed.
    static std::unique_ptr<CXDirectory> opened(const std::string& path) {
        auto d = std::make_unique<CXDirectory>();
        d->setRecursion(true);
        return d->open(path.c_str()) == 0 ? std::move(d) : nullptr;
    }
    // Every entry of a directory, sorted ("." and ".." included).
    static Names names(const std::string& dir) {
        CXDirectory d;
        Names out;
        if (d.open(dir.c_str()) != 0) return {"<open failed>"};
        while (const char* name = d.read()) out.push_back(name);
        EXPECT_EQ(d.getLastError(), 0) << "the end of the listing is not an error";
        std::sort(out.begin(), out.end());
        return out;
    }

    SettingsFixture settings;
    TempDir tmp;
};

using CXDirectoryTest = DirTest;
using CXCopyFileTest = DirTest;
using CXDirectoryWTest = DirTest;

// What a walk left at path, without following a link: "dir", "link <target>" or "file <text>".
std::string whatIsAt(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "nothing";
    if (S_ISDIR(st.st_mode)) return "dir";
    if (!S_ISLNK(st.st_mode)) return "file " + readFileText(path);
    char target[1024] = {};
    return "link " + std::string(target, std::max<ssize_t>(0, readlink(path.c_str(), target, sizeof target)));
}
}  // namespace

TEST_F(CXDirectoryTest, ListsWithOrWithoutTrailingSeparatorAndMapsOpenFailures) {
    tree({"sub"}, {"a"});
    EXPECT_EQ(names(tmp.path() + "/"), (Names{".", "..", "a", "sub"}));
    CXDirectory d;
    EXPECT_EQ(d.open((tmp.file("a") + "/x").c_str()), -1);
    EXPECT_EQ(d.getLastError(), kErrNotFound) << "a file inside the path means not found";
    // An unlistable directory fails instead of looking empty.
    const std::string locked = mk("locked");
    put("locked/precious", "data");
    chmod(locked.c_str(), 0);
    ASSERT_TRUE(runWithoutFileOverrides([&] { EXPECT_EQ(d.open(locked.c_str()), -1); }));
    EXPECT_EQ(d.getLastError(), kErrAccessDenied);
    chmod(locked.c_str(), 0700);
}

TEST_F(CXDirectoryTest, CopyAndRemoveSkipTheExceptedNameInAnyCaseAtEveryLevel) {
    tree({"src", "src/sub", "src/sub/deeper", "dst", "dst/sub"},
         {"src/State", "src/a", "src/sub/STATE", "src/sub/b", "src/sub/deeper/c"});
    const std::string dst = tmp.file("dst");
    put("dst/a", "old a");
    put("dst/sub/b", "old b, longer than the new one");
    auto src = opened(tmp.file("src"));
    ASSERT_TRUE(src);
    ASSERT_EQ(src->copyFiles(dst.c_str(), "state"), 0);
    for (const char* name : {"a", "sub/b", "sub/deeper/c"}) EXPECT_EQ(readFileText(dst + "/" + name), "src/" + std::string(name));
    EXPECT_EQ(names(dst), (Names{".", "..", "a", "sub"})) << "State excepted, no leftovers";
    EXPECT_EQ(names(dst + "/sub"), (Names{".", "..", "b", "deeper"}));

    auto remover = opened(tmp.file("src")), all = opened(dst);
    ASSERT_TRUE(remover && all);
    EXPECT_EQ(remover->removeFiles("State"), -1) << "a directory that keeps the excepted file stays";
    EXPECT_EQ(remover->getLastError(), ENOTEMPTY);
    EXPECT_TRUE(fileExists(tmp.file("src/State")));
    EXPECT_EQ(names(tmp.file("src/sub")), (Names{".", "..", "STATE"}));
    EXPECT_EQ(all->removeFiles(nullptr), 0);
    EXPECT_EQ(names(dst), (Names{".", ".."})) << "the directory itself stays";
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
    for (const std::string op : {"remove", "copy", "sum"}) {
        SCOPED_TRACE(op);
        tree({op, op + "/sub", op + "/swapped", op + "-copy"}, {op + "/a", op + "/sub/b", op + "/swapped/c"});
        const std::string root = tmp.file(op), swapped = root + "/swapped", copy = root + "-copy";
        for (const auto& [target, name] : {std::pair{outside, "linkToDir"}, {outside + "/o1", "linkToFile"}, {none, "dangling"}})
            ASSERT_EQ(symlink(target.c_str(), (root + "/" + name).c_str()), 0);
        CXDirectory::setDescendHookForTests([&](const char* path) {
            if (path != swapped) return;
            rename(path, (root + "-away").c_str());
            symlink(outside.c_str(), path);
        });
        auto d = opened(root);
        ASSERT_TRUE(d);
        if (op == "remove") {
            EXPECT_EQ(d->removeFiles(nullptr), 0);
            EXPECT_EQ(names(root), (Names{".", ".."}));
        } else if (op == "copy") {
            EXPECT_EQ(d->copyFiles(copy.c_str(), nullptr), 0);
            Names found;
            for (const char* name : {"a", "sub/b", "swapped", "linkToDir", "linkToFile", "dangling"})
                found.push_back(name + std::string(": ") + whatIsAt(copy + "/" + name));
            EXPECT_EQ(found, (Names{"a: file copy/a", "sub/b: file copy/sub/b", "swapped: link " + outside,
                                    "linkToDir: link " + outside, "linkToFile: link " + outside + "/o1",
                                    "dangling: link " + none}));
        } else {
            EXPECT_EQ(d->sumSizes(), int64_t(5 + 9 + 3 * outside.size() + 3 + none.size()));
            EXPECT_EQ(opened(copy)->sumSizes(), 0) << "an empty directory";
        }
        CXDirectory::setDescendHookForTests({});
        EXPECT_EQ(readFileText(outside + "/o1").size() + readFileText(outside + "/deep/o2").size(), 4000u);
        EXPECT_EQ(names(outside), (Names{".", "..", "deep", "o1"}));
    }
}

TEST_F(CXDirectoryTest, FindFileByPatternMatchesASubstringCaseSensitively) {
    tree({}, {"other", "xabcx"});
    std::string path;
    CXDirectory d, upper;
    ASSERT_EQ(d.open((tmp.path() + "/").c_str()) + upper.open(tmp.path().c_str()), 0);
    EXPECT_EQ(d.findFileByPattern("abc", path, 0), 0);
    EXPECT_EQ(path, tmp.path() + "/xabcx") << "no doubled separator";
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
    EXPECT_EQ(available + total, 0u);
}

TEST_F(CXDirectoryTest, ComposedPathLongerThanTheBufferFailsWithoutBeingCut) {
    std::string deep = tmp.path();
    while (deep.size() < 800) mkdir((deep += "/" + std::string(200, 'd')).c_str(), 0755);
    const std::string name(1040 - deep.size(), 'f');  // deep + '/' + name: 1041 characters
    writeFileText(deep + "/" + name, "data");
    ASSERT_TRUE(fileExists(deep + "/" + name));
    const std::string dst = mk("dst");
    auto copier = opened(deep), remover = opened(deep);
    ASSERT_TRUE(copier && remover);
    EXPECT_EQ(copier->copyFiles(dst.c_str(), nullptr), -1);
    EXPECT_EQ(copier->getLastError(), ENAMETOOLONG);
    EXPECT_EQ(names(dst), (Names{".", ".."}));
    EXPECT_EQ(remover->removeFiles(nullptr), -1);
    EXPECT_TRUE(fileExists(deep + "/" + name));
}

// The target is replaced whole, with the source's mode, or not at all; across file systems,
// where the kernel cannot copy, the read and write loop takes over.
TEST_F(CXCopyFileTest, ReplacesTheTargetWholeWithItsModeOrNotAtAll) {
    const std::string big(200000, 'n');
    const std::string from = put("from", big), to = put("to", "good"), missing = tmp.file("missing");
    for (const auto& [source, target, code] : {std::tuple{missing, to, kErrNotFound}, {mk("dir"), to, int(EISDIR)},
                                               {to, tmp.file("no/such"), kErrNotFound}}) {
        int error = 0;
        EXPECT_EQ(CXCopyFile(source.c_str(), target.c_str(), &error), -1) << source;
        EXPECT_EQ(error, code) << source;
    }
    int error = 0;
    {
        FaultInjection faults({.kind = SysKind::Write, .at = 2, .error = EFBIG, .pathPart = {}});  // breaks off half-way
        EXPECT_EQ(CXCopyFile(from.c_str(), to.c_str(), &error), -1);
        EXPECT_EQ(error, EFBIG);
    }
    EXPECT_EQ(readFileText(to), "good");
    EXPECT_EQ(names(tmp.path()), (Names{".", "..", "dir", "from", "to"})) << "no temporary left";
    chmod(from.c_str(), 0640);
    EXPECT_EQ(CXCopyFile(from.c_str(), to.c_str(), &error), 0);
    EXPECT_EQ(readFileText(to), big);
    EXPECT_EQ(modeOf(to), 0640u);
    if (std::filesystem::is_directory("/dev/shm")) {
        const std::string other = "/dev/shm/vornica-copy-" + std::to_string(getpid());
        EXPECT_EQ(CXCopyFile(from.c_str(), other.c_str(), &error), 0);
        EXPECT_EQ(readFileText(other), big);
        unlink(other.c_str());
    }
}

TEST_F(CXDirectoryWTest, ListsNamesAsWideTextAndReportsUnconvertibleOnes) {
    put("\xc3\xbc.txt", "");  // ü in UTF-8
    put("bad\xff", "");
    std::wstring dir;
    for (char c : tmp.path()) dir += wchar_t(static_cast<unsigned char>(c));
    CXDirectoryW d, missing;
    ASSERT_EQ(d.open((dir + L"/").c_str()), 0);
    std::vector<std::wstring> seen;
    int unconvertible = 0;  // reading goes on after such an entry
    for (const wchar_t* name; (name = d.read()) != nullptr || d.getLastError() == EILSEQ;)
        name != nullptr ? seen.push_back(name) : void(++unconvertible);
    EXPECT_EQ(d.getLastError(), 0);
    EXPECT_EQ(unconvertible, 1);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::wstring>{L".", L"..", L"\u00fc.txt"}));
    EXPECT_EQ(missing.open((dir + L"/missing").c_str()), -1);
    EXPECT_EQ(missing.getLastError(), kErrNotFound);
}
