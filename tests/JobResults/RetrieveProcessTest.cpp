// Readers and writers of one job's results in separate processes.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "Platform/PlatformSleep.h"
#include "tests/JobResults/RetrieveFixture.h"
#include "tests/support/HelperProcess.h"

namespace {
using Lines = std::vector<std::string>;

Lines numbered(const std::string& tag, int from, int to) {
    Lines lines;
    for (int i = from; i <= to; ++i) lines.push_back(tag + "-" + std::to_string(i));
    return lines;
}

using RetrieveProcesses = RetrieveFixture;

// Three writers hold their raw files open while a reader asks for the first page: the reader
// waits for them (it is seen waiting on the State lock before they finish), then merges every
// line of every writer exactly once, each writer's lines together and in order.
TEST_F(RetrieveProcesses, ReaderWaitsForRawWritersAndMergesEachLineOnce) {
    const int kLines = 400;
    const Lines tags{"a", "b", "c"};
    std::vector<std::unique_ptr<HelperProcess>> writers;
    for (const std::string& tag : tags)
        writers.push_back(std::make_unique<HelperProcess>(std::vector<std::string>{"results_raw_writer", tag, std::to_string(kLines)}, "ready"));
    std::promise<void> waiting;
    std::atomic<bool> seen{false};
    setPlatformSleepHook([&](unsigned long ms, const char* file, int) {
        if (strstr(file, "BoundedWait.cpp") != nullptr && !seen.exchange(true)) waiting.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    });
    RetrieveResults r = reader();
    auto page = std::async(std::launch::async, [&] { return fetchPage(r, 1, 10 * kLines); });
    const bool waited = waiting.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    for (auto& writer : writers) writer->writeLine("finish");
    for (auto& writer : writers) EXPECT_EQ(writer->wait(), 0);
    const Page merged = page.get();
    setPlatformSleepHook({});
    ASSERT_TRUE(waited) << "the reader never waited for the writers' locks";
    EXPECT_EQ(merged.total, 3 * kLines);
    ASSERT_EQ(merged.lines.size(), 3u * kLines);
    Lines blocksSeen;
    for (size_t block = 0; block < 3; ++block) {
        blocksSeen.push_back(merged.lines[block * kLines].substr(0, 1));
        EXPECT_EQ(Lines(merged.lines.begin() + block * kLines, merged.lines.begin() + (block + 1) * kLines), numbered(blocksSeen.back(), 1, kLines));
    }
    std::sort(blocksSeen.begin(), blocksSeen.end());
    EXPECT_EQ(blocksSeen, tags);
}

// A reader paging while a writer appends sees, on every page, a prefix of what the writer
// writes, never a line cut short; once the writer is done, the whole file.
TEST_F(RetrieveProcesses, PagesWhileAWriterAppendsAreConsistentPrefixes) {
    const int kLines = 30000;
    HelperProcess writer({"results_direct_writer", std::to_string(kLines)}, "ready");
    writer.writeLine("go");
    RetrieveResults r = reader();
    int pages = 0;
    size_t longest = 0;
    for (bool writerDone = false; !writerDone; ++pages) {
        writerDone = writer.exited();
        bool failed = true;
        const Page page = fetchPage(r, 1, 10 * kLines, &failed);
        ASSERT_FALSE(failed) << "page " << pages;
        ASSERT_LE(static_cast<int64_t>(page.lines.size()), std::max<int64_t>(page.total, 0));
        for (size_t i = 0; i < page.lines.size(); ++i)
            ASSERT_EQ(page.lines[i], "line-" + std::to_string(i + 1)) << "page " << pages;
        longest = std::max(longest, page.lines.size());
        if (writerDone) { EXPECT_EQ(std::make_pair(page.total, page.lines.size()), std::make_pair(int64_t{kLines}, size_t(kLines))); }
    }
    EXPECT_EQ(writer.wait(), 0);
    EXPECT_GT(pages, 1);
}

// A writer killed before its close leaves lines past its map (its entries wait in memory while
// its file buffer reaches the disk on its own) and State in Writing with no one holding it. A
// reader serves every line the file holds, and as many as it counts.
TEST_F(RetrieveProcesses, ADeadWritersLinesAreAllServed) {
    HelperProcess writer({"store_lines", "2", std::to_string(kJobId), "2571", "unflushed"}, "ready");
    writer.kill(SIGKILL);
    EXPECT_EQ(writer.wait(), 128 + SIGKILL);
    const std::string text = readFileText(inJob("backup.out"));
    const auto ended = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    ASSERT_GT(ended, 1000u) << "the writer's buffer never reached the disk";
    const size_t held = ended + (text.back() != '\n' ? 1 : 0);
    RetrieveResults r = reader();
    bool failed = true;
    const Page page = fetchPage(r, 1, 5000, &failed);
    EXPECT_FALSE(failed);
    EXPECT_EQ(page.total, static_cast<int64_t>(held));
    ASSERT_EQ(page.lines.size(), held);
    for (size_t n = 1; n <= ended; ++n)
        ASSERT_EQ(page.lines[n - 1], "line " + std::to_string(n) + std::string(n % 97, 'x'));
}

// A reader killed at any point of a merge leaves the raw files whole and no results file; the
// next request merges them all, each exactly once, and clears the remains.
TEST_F(RetrieveProcesses, MergeKilledMidwayIsRedoneWhole) {
    const std::vector<std::pair<std::string, Lines>> raw{
        {"backup_1_1", numbered("one", 1, 3)}, {"backup_1_2", numbered("two", 1, 5)}, {"backup_1_3", {"three"}}};
    Lines all;
    for (const auto& [name, lines] : raw) all.insert(all.end(), lines.begin(), lines.end());
    for (int stallAt : {1, 2, 4, 5}) {
        SCOPED_TRACE("killed at raw read " + std::to_string(stallAt));
        std::filesystem::remove_all(jobDir());
        makeJobDir();
        for (const auto& [name, lines] : raw) writeFileText(inJob(name), joinedLines(lines));
        HelperProcess generator({"results_generate_stall", std::to_string(stallAt)}, "merging");
        generator.kill(SIGKILL);
        EXPECT_EQ(generator.wait(), 128 + SIGKILL);
        EXPECT_FALSE(fileExists(inJob("backup.out")));
        RetrieveResults r = reader();
        const Page page = fetchPage(r, 1, 100);
        EXPECT_EQ(page.lines, all);
        std::set<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(jobDir())) left.insert(entry.path().filename());
        EXPECT_EQ(left, (std::set<std::string>{"1.map", "State", "backup.out", "raw.log"}));
    }
}
}  // namespace
