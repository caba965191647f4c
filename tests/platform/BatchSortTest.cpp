#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "Platform/BatchSort.h"
#include "tests/support/TempDir.h"
#include "tests/support/FaultInjection.h"

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

// `LC_ALL=C sort options` of the lines, its LF ends made CR LF.
std::string referenceSort(const TempDir& dir, const std::vector<std::string>& lines, const std::string& options) {
    const std::string in = dir.file("reference.in"), out = dir.file("reference.out");
    writeFileText(in, joinedLines(lines, "\n"));
    if (system(("LC_ALL=C sort " + options + " -o " + out + " " + in).c_str()) != 0) return "sort failed";
    std::string result;
    for (char c : readFileText(out)) c == '\n' ? result += "\r\n" : result += c;
    return result;
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
        key.assign(line.data(), std::min<size_t>(line.size(), 1));
    }
    int compareKeyed(std::string_view, std::string_view a, std::string_view, std::string_view b) override {
        return firstByte(a) - firstByte(b);
    }
    long calls = 0, keys = 0;

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
    for (const std::string options : {"", "-r", "-u", "-r -u", "-f -s", "-r -f -s", "-f -u", "-r -f -u"}) {
        SCOPED_TRACE(options);
        const auto has = [&](const char* option) { return options.find(option) != std::string::npos ? 1 : 0; };
        BatchSort sorter;
        ASSERT_EQ(sorter.init(in.c_str(), out.c_str(), work.c_str(), 1 - has("-r"), has("-u"), has("-f"), 0), 0)
            << sorter.getFatalErrMsg();
        ASSERT_EQ(sorter.sort(), 0) << sorter.getFatalErrMsg();
        EXPECT_GE(sorter.getMergePasses(), 2u) << "more runs than one merge takes";
        EXPECT_LE(sorter.getBufferSize(), BatchSort::getMemoryBudget());
        EXPECT_TRUE(readFileText(out) == referenceSort(dir, lines, options)) << "output differs from sort's";
        EXPECT_TRUE(std::filesystem::is_empty(work)) << "runs are removed";
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
    EXPECT_TRUE(readFileText(in) == referenceSort(dir, lines, "")) << "the output replaced its own input";
    EXPECT_EQ(sorter.sort(), -1) << "one sort per init";
    // An empty input gives an empty output; a carriage return at the very end belongs to the line end.
    for (const auto& [input, output] : {std::pair{"", ""}, {"b\r\na\r", "a\r\nb\r\n"}}) {
        writeFileText(in, input);
        ASSERT_EQ(sorter.init(in.c_str(), out.c_str(), work.c_str(), 1, 0, 0, 0), 0);
        ASSERT_EQ(sorter.sort(), 0);
        EXPECT_EQ(fileExists(out) ? readFileText(out) : "<none>", output);
    }
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
            EXPECT_TRUE(unique != 0 || sorter.keys == 2 * static_cast<long>(lines.size())) << sorter.keys;
        } else {
            EXPECT_GT(sorter.calls, static_cast<long>(lines.size()));
        }
        std::vector<std::string> want = expected;
        if (unique != 0)  // the first line of each first byte
            want.erase(std::unique(want.begin(), want.end(),
                                   [&](const std::string& a, const std::string& b) { return firstByte(a) == firstByte(b); }),
                       want.end());
        EXPECT_TRUE(readFileText(out) == joinedLines(want, "\r\n")) << "unique " << unique << ": ascending, not case-folded";
    }
}

TEST_F(BatchSortTest, FailuresAreReportedAndLeaveNoFilesBehind) {
    BatchSort sorter;
    writeFileText(in, "b\na\n");
    for (const auto& [input, workDir] : {std::pair{dir.file("missing"), work}, {in, dir.file("nowhere")}, {in, in}})
        EXPECT_EQ(sorter.init(input.c_str(), out.c_str(), workDir.c_str(), 1, 0, 0, 0), -1) << input << " " << workDir;

    // Runs are on disk when each of these fails.
    BatchSort::setLimits(1, 1000);
    std::vector<std::string> lines = randomLines(size_t(600) << 10, 5);
    writeFileText(in, mixedEnds(lines) + "\n" + std::string(1000, 'x') + "\r\n" + std::string(1001, 'y') + "\nz\n");
    writeFileText(out, "old output");
    ASSERT_EQ(sorter.init(in.c_str(), out.c_str(), work.c_str(), 1, 0, 0, 0), 0);
    EXPECT_EQ(sorter.sort(), -1);
    EXPECT_GT(sorter.getRunCount(), 2u);
    EXPECT_EQ(std::string(sorter.getFatalErrMsg()), "line " + std::to_string(lines.size() + 2) + " of '" + in +
                                                        "' is longer than the line limit of 1000 bytes");
    EXPECT_EQ(readFileText(out), "old output") << "the output is not touched before the input is read";
    EXPECT_TRUE(std::filesystem::is_empty(work));

    // Outputs that fail once runs are on disk: one that cannot be created, a symbolic link at its
    // name (its target stays as it was), and one that cannot be written whole, which is removed: a
    // reader would take it for the sorted file.
    writeFileText(in, mixedEnds(lines));
    const std::string victim = dir.file("victim"), linked = dir.file("linked"), cut = dir.file("cut");
    writeFileText(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), linked.c_str()), 0);
    for (const std::string& output : {dir.file("none/out"), linked, cut}) {
        SCOPED_TRACE(output);
        ASSERT_EQ(sorter.init(in.c_str(), output.c_str(), work.c_str(), 1, 0, 0, 0), 0);
        FaultInjection faults({.kind = SysKind::Write, .at = 1, .persistent = true, .pathPart = cut});
        EXPECT_EQ(sorter.sort(), -1);
        EXPECT_TRUE(std::filesystem::is_empty(work));
    }
    EXPECT_EQ(readFileText(victim), "precious");
    EXPECT_FALSE(fileExists(cut));
    EXPECT_EQ(readFileText(in), mixedEnds(lines));
}
