#include <gtest/gtest.h>
#include <dirent.h>
#include <linux/capability.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Platform/BatchSort.h"
#include "tests/support/DeniedDirectory.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {
// Lines of a fixed seed: bytes that tell byte order from case folding ('a' 'A' '_' 0x80 0xff),
// '\0', tabs, carriage returns inside lines, empty lines and repeated lines. None ends in '\r'.
std::vector<std::string> randomLines(size_t totalBytes, unsigned seed) {
    static const char alphabet[] = {'a', 'A', 'b', 'B', 'z', 'Z', '_', '0', '9', ' ', '\t', '\r', '\0', '\x80', '\xff'};
    std::mt19937 random(seed);
    std::vector<std::string> lines;
    size_t bytes = 0;
    while (bytes < totalBytes) {
        std::string line;
        if (!lines.empty() && random() % 8 == 0) {
            line = lines[random() % lines.size()];
        } else {
            const size_t length = random() % 5 == 0 ? random() % 4 : random() % 120;
            for (size_t i = 0; i < length; ++i) line += alphabet[random() % sizeof alphabet];
            while (!line.empty() && line.back() == '\r') line.pop_back();
        }
        bytes += line.size() + 2;
        lines.push_back(std::move(line));
    }
    return lines;
}

// LF and CR LF ends mixed; the last line has none.
std::string mixedEnds(const std::vector<std::string>& lines) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) text += lines[i] + (i + 1 == lines.size() ? "" : i % 3 == 0 ? "\r\n" : "\n");
    return text;
}

std::string crlf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// `LC_ALL=C sort options...` of the lines, run as a child process; its LF ends made CR LF.
std::string referenceSort(const TempDir& dir, const std::vector<std::string>& lines, std::vector<std::string> args) {
    const std::string in = dir.file("reference.in"), out = dir.file("reference.out");
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    writeFileText(in, text);
    args.insert(args.begin(), "sort");
    args.insert(args.end(), {"-o", out, in});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText{"LC_ALL=C", std::string("PATH=") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
    std::vector<char*> envp{envText[0].data(), envText[1].data(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "sort", nullptr, nullptr, argv.data(), envp.data()) != 0) return "spawn failed";
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "sort failed";
    std::string sorted = readFileText(out), result;
    for (char c : sorted) c == '\n' ? result += "\r\n" : result += c;
    return result;
}

std::vector<std::string> entries(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

struct BatchSortTest : ::testing::Test {
    void SetUp() override { ASSERT_EQ(mkdir(work.c_str(), 0700), 0); }
    void TearDown() override { BatchSort::setLimits(0, 0); }

    TempDir dir;
    const std::string in = dir.file("in"), out = dir.file("out"), work = dir.file("work");
};

int firstByte(std::string_view line) { return line.empty() ? -1 : static_cast<unsigned char>(line[0]); }

// Orders by the first byte only, so that many lines compare equal; with keys, through a key
// that is that byte.
class FirstByteSort : public BatchSort {
public:
    explicit FirstByteSort(bool keyed) : keyed_(keyed) {}
    int compare(std::string_view a, std::string_view b) override {
        ++calls;
        return firstByte(a) - firstByte(b);
    }
    bool usesKeys() const override { return keyed_; }
    void makeKey(std::string_view line, std::string& key) override {
        ++keys;
        key.assign(line.substr(0, 1));
    }
    int compareKeyed(std::string_view, std::string_view a, std::string_view, std::string_view b) override {
        return firstByte(a) - firstByte(b);
    }
    long calls = 0;
    long keys = 0;

private:
    bool keyed_;
};
}  // namespace

TEST_F(BatchSortTest, RunsMergedInSeveralPassesMatchLcAllCSort) {
    BatchSort::setLimits(1, 4096);  // raised to the smallest budget: about 100 KiB
    ASSERT_LT(BatchSort::getMemoryBudget(), size_t(128) << 10);
    const std::vector<std::string> lines = randomLines(size_t(1500) << 10, 7);
    writeFileText(in, mixedEnds(lines));
    const std::string input = readFileText(in);
    struct Case {
        int ascending, unique, fold;
        std::vector<std::string> options;
    };
    const Case cases[] = {{1, 0, 0, {}},           {0, 0, 0, {"-r"}},          {1, 1, 0, {"-u"}},
                          {0, 1, 0, {"-r", "-u"}}, {1, 0, 1, {"-f", "-s"}},    {0, 0, 1, {"-r", "-f", "-s"}},
                          {1, 1, 1, {"-f", "-u"}}, {0, 1, 1, {"-r", "-f", "-u"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.options));
        BatchSort sorter;
        ASSERT_EQ(sorter.init(in.c_str(), out.c_str(), work.c_str(), c.ascending, c.unique, c.fold, 0), 0)
            << sorter.getFatalErrMsg();
        ASSERT_EQ(sorter.sort(), 0) << sorter.getFatalErrMsg();
        EXPECT_GT(sorter.getRunCount(), 1u);
        EXPECT_GE(sorter.getMergePasses(), 2u) << "more runs than one merge takes";
        EXPECT_LE(sorter.getBufferSize(), BatchSort::getMemoryBudget());
        EXPECT_TRUE(readFileText(out) == referenceSort(dir, lines, c.options)) << "output differs from sort's";
        EXPECT_EQ(entries(work), std::vector<std::string>{}) << "runs are removed";
    }
    EXPECT_EQ(readFileText(in), input);
}

TEST_F(BatchSortTest, SmallInputIsSortedInMemoryAndMayBeSortedInPlace) {
    const std::vector<std::string> lines = randomLines(50000, 11);
    writeFileText(in, mixedEnds(lines));
    BatchSort sorter;
    ASSERT_EQ(sorter.init(in.c_str(), in.c_str(), work.c_str(), 1, 0, 0, 0), 0);
    ASSERT_EQ(sorter.sort(), 0) << sorter.getFatalErrMsg();
    EXPECT_EQ(sorter.getRunCount(), 0u);
    EXPECT_TRUE(readFileText(in) == referenceSort(dir, lines, {})) << "the output replaced its own input";
    EXPECT_EQ(sorter.sort(), -1) << "one sort per init";

    writeFileText(in, "");
    ASSERT_EQ(sorter.init(in.c_str(), out.c_str(), work.c_str(), 1, 0, 0, 0), 0);
    ASSERT_EQ(sorter.sort(), 0);
    EXPECT_TRUE(fileExists(out));
    EXPECT_EQ(readFileText(out), "");
    writeFileText(in, "b\r\na\r");  // a carriage return at the very end belongs to the line end
    ASSERT_EQ(sorter.init(in.c_str(), out.c_str(), work.c_str(), 1, 0, 0, 0), 0);
    ASSERT_EQ(sorter.sort(), 0);
    EXPECT_EQ(readFileText(out), "a\r\nb\r\n");
}

TEST_F(BatchSortTest, DerivedComparisonDecidesAndEqualLinesKeepInputOrderAcrossRuns) {
    BatchSort::setLimits(1, 512);
    const std::vector<std::string> lines = randomLines(size_t(400) << 10, 3);
    writeFileText(in, mixedEnds(lines));
    auto byFirstByte = [](const std::string& a, const std::string& b) { return firstByte(a) < firstByte(b); };
    std::vector<std::string> expected = lines;
    std::stable_sort(expected.begin(), expected.end(), byFirstByte);
    for (int run = 0; run < 4; ++run) {
        const int unique = run / 2;
        const bool keyed = run % 2 == 1;
        SCOPED_TRACE(keyed ? "keyed" : "not keyed");
        FirstByteSort sorter(keyed);
        ASSERT_EQ(sorter.init(in.c_str(), out.c_str(), work.c_str(), 0, unique, 1, 0), 0);
        ASSERT_EQ(sorter.sort(), 0) << sorter.getFatalErrMsg();
        EXPECT_GT(sorter.getRunCount(), 2u);
        if (keyed) {  // each line's key made once as a run is formed and once as it is merged
            EXPECT_EQ(sorter.calls, 0);
            EXPECT_EQ(sorter.getMergePasses(), 1u);
            if (unique == 0) {
                EXPECT_EQ(sorter.keys, 2 * static_cast<long>(lines.size()));
            }
        } else {
            EXPECT_GT(sorter.calls, static_cast<long>(lines.size()));
            EXPECT_EQ(sorter.keys, 0);
        }
        std::vector<std::string> want = expected;
        if (unique != 0)  // the first line of each first byte
            want.erase(std::unique(want.begin(), want.end(),
                                   [&](const std::string& a, const std::string& b) { return firstByte(a) == firstByte(b); }),
                       want.end());
        EXPECT_TRUE(readFileText(out) == crlf(want)) << "unique " << unique << ": ascending, not case-folded";
    }
}

TEST_F(BatchSortTest, FailuresAreReportedAndLeaveNoFilesBehind) {
    BatchSort sorter;
    EXPECT_EQ(sorter.sort(), -1);
    EXPECT_EQ(sorter.init(dir.file("missing").c_str(), out.c_str(), work.c_str(), 1, 0, 0, 0), -1);
    EXPECT_EQ(std::string(sorter.getFatalErrMsg()),
              "cannot open input file '" + dir.file("missing") + "': No such file or directory");
    writeFileText(in, "b\na\n");
    EXPECT_EQ(sorter.init(in.c_str(), out.c_str(), dir.file("nowhere").c_str(), 1, 0, 0, 0), -1);
    EXPECT_NE(std::string(sorter.getFatalErrMsg()).find("work directory"), std::string::npos);
    EXPECT_EQ(sorter.init(in.c_str(), out.c_str(), in.c_str(), 1, 0, 0, 0), -1);
    EXPECT_EQ(std::string(sorter.getFatalErrMsg()), "work directory '" + in + "' is not a directory");
    EXPECT_EQ(sorter.init(in.c_str(), nullptr, work.c_str(), 1, 0, 0, 0), -1);

    // Runs are on disk when each of these fails.
    BatchSort::setLimits(1, 1000);
    std::vector<std::string> lines = randomLines(size_t(600) << 10, 5);
    writeFileText(in, mixedEnds(lines) + "\n" + std::string(1000, 'x') + "\r\n" + std::string(1001, 'y') + "\nz\n");
    const std::string input = readFileText(in);
    writeFileText(out, "old output");
    ASSERT_EQ(sorter.init(in.c_str(), out.c_str(), work.c_str(), 1, 0, 0, 0), 0);
    EXPECT_EQ(sorter.sort(), -1);
    EXPECT_GT(sorter.getRunCount(), 2u);
    EXPECT_EQ(std::string(sorter.getFatalErrMsg()), "line " + std::to_string(lines.size() + 2) + " of '" + in +
                                                        "' is longer than the line limit of 1000 bytes");
    EXPECT_EQ(readFileText(out), "old output") << "the output is not touched before the input is read";
    EXPECT_EQ(entries(work), std::vector<std::string>{});

    writeFileText(in, mixedEnds(lines));
    const std::string unreachable = dir.file("none/out");
    ASSERT_EQ(sorter.init(in.c_str(), unreachable.c_str(), work.c_str(), 1, 0, 0, 0), 0);
    EXPECT_EQ(sorter.sort(), -1);
    EXPECT_EQ(std::string(sorter.getFatalErrMsg()), "cannot create output file '" + unreachable + "': No such file or directory");
    EXPECT_EQ(entries(work), std::vector<std::string>{});

    // A work directory that refuses new files: mode 0500, and for root a thread without
    // CAP_DAC_OVERRIDE (capabilities belong to a thread on Linux).
    ASSERT_EQ(chmod(work.c_str(), 0500), 0);
    int result = 0;
    bool denied = runWhereDirectoryRefusesWrites(work, [&] {
        result = sorter.init(in.c_str(), out.c_str(), work.c_str(), 1, 0, 0, 0) != 0 ? -2 : sorter.sort();
    });
    chmod(work.c_str(), 0700);
    if (!denied) GTEST_SKIP() << "cannot make a directory refuse writes here";
    // Root passes the init's access check and is refused the first run file.
    const std::string message = sorter.getFatalErrMsg();
    if (result == -2)
        EXPECT_EQ(message.rfind("cannot write to work directory '" + work + "': Permission denied", 0), 0u);
    else
        EXPECT_EQ(message.rfind("cannot create run file '" + work + "/", 0), 0u) << message;
    EXPECT_EQ(entries(work), std::vector<std::string>{});
    EXPECT_EQ(readFileText(in), mixedEnds(lines));
}
