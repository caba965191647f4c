#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "Indexing/idxport/CXFile.h"
#include "Platform/PlatformSleep.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/TempDir.h"

namespace {
// Counts the platform sleeps (and sleeps not at all) while it lives.
struct SleepCounter {
    std::vector<unsigned long> sleeps;
    SleepCounter() {
        setPlatformSleepHook([this](unsigned long ms, const char*, int) { sleeps.push_back(ms); });
    }
    ~SleepCounter() { setPlatformSleepHook({}); }
};

std::vector<std::pair<int, std::string>> readLines(const std::string& path, unsigned long size) {
    CXFile file;
    EXPECT_EQ(file.open(path.c_str(), sfReadOnly), 0);
    std::vector<std::pair<int, std::string>> lines;
    std::vector<char> buffer(size == 0 ? 1 : size);
    for (int i = 0; i < 10; ++i) {
        int rc = file.getLine(buffer.data(), size);
        lines.emplace_back(rc, rc == 0 ? "" : std::string(buffer.data()));
        if (rc == 0) break;
    }
    return lines;
}

using Lines = std::vector<std::pair<int, std::string>>;

// The waits of a lock call that timed out: they add up to the timeout (0: one attempt, no wait);
// a holder that lets go within the first 256 ms is noticed within 4 ms; after the first second
// there are at most five attempts a second, never more than 200 ms apart.
void expectLockWaits(const std::vector<unsigned long>& sleeps, unsigned long timeout) {
    unsigned long waited = 0;
    std::vector<int> attemptsPerSecond(timeout + 1, 0);
    for (unsigned long ms : sleeps) {
        if (waited < 256) {
            EXPECT_LE(ms, 4u) << "after " << waited << " ms of waiting";
        }
        EXPECT_LE(ms, 200u);
        waited += ms;
        ++attemptsPerSecond[(waited - 1) / 1000];
    }
    EXPECT_EQ(waited, timeout * 1000) << "timeout " << timeout;
    for (unsigned long second = 1; second < timeout; ++second)
        EXPECT_LE(attemptsPerSecond[second], 5) << "in second " << second;
}
}  // namespace

TEST(CXFile, GetLineCarriageReturnRules) {
    TempDir dir;
    struct Case {
        std::string bytes;
        Lines expected;
    } cases[] = {
        {"ab\r\ncd", {{1, "ab"}, {1, "cd"}, {0, ""}}},
        {"a\rb\n", {{1, "a\rb"}, {0, ""}}},
        {"\n", {{1, ""}, {0, ""}}},
        {"x\r\r\ny\r", {{1, "x\r"}, {1, "y"}, {0, ""}}},
        {"\r", {{0, ""}}},
        {"", {{0, ""}}},
    };
    for (const Case& c : cases) {
        writeFileText(dir.file("f"), c.bytes);
        EXPECT_EQ(readLines(dir.file("f"), 100), c.expected) << "bytes: " << c.bytes;
    }
    // Line breaks split across buffer refills behave the same.
    writeFileText(dir.file("f"), "abc\r\ndef\r\r\ng\n");
    CXFile small;
    ASSERT_EQ(small.setBufSize(1), 0);
    ASSERT_EQ(small.open(dir.file("f").c_str(), sfReadOnly), 0);
    char line[16];
    EXPECT_EQ(small.getLine(line, sizeof line), 1);
    EXPECT_STREQ(line, "abc");
    EXPECT_EQ(small.getLine(line, sizeof line), 1);
    EXPECT_STREQ(line, "def\r");
    EXPECT_EQ(small.getLine(line, sizeof line), 1);
    EXPECT_STREQ(line, "g");
    EXPECT_EQ(small.getLine(line, sizeof line), 0);
}

TEST(CXFile, TooLongLinesAreReportedAndSkipped) {
    TempDir dir;
    writeFileText(dir.file("f"), "abcdef\nxy\nlongtail");
    CXFile file;
    ASSERT_EQ(file.open(dir.file("f").c_str(), sfReadOnly), 0);
    char line[3];
    EXPECT_EQ(file.getLine(line, 3), -1);
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(file.getLine(line, 3), 1);
    EXPECT_STREQ(line, "xy");
    EXPECT_EQ(file.getLine(line, 3), -1) << "a too long last line is not an end of file";
    EXPECT_EQ(file.getLastError(), kErrShortWrite);
    EXPECT_EQ(file.getLine(line, 3), 0);
    EXPECT_EQ(file.getLine(line, 0), -1);
    EXPECT_EQ(file.getLastError(), kErrWrongState);
}

TEST(CXFile, BufferedWritesOffsetsAndSwitchingThroughSeek) {
    TempDir dir;
    std::string path = dir.file("f");
    {
        CXFile file;
        ASSERT_EQ(file.open(path.c_str(), sfCreateNew, 0, 0600), 0);
        ASSERT_EQ(file.bufWrite("0123456789", 10), 10);
        EXPECT_EQ(file.getCurOffset(), 10);
        EXPECT_EQ(readFileText(path), "") << "nothing written before a flush";
        EXPECT_EQ(file.putLine("x", false), 0);
        std::string big(3000, 'b');  // larger than the buffer: goes around it
        EXPECT_EQ(file.bufWrite(big.data(), big.size()), 3000);
        EXPECT_EQ(file.getCurOffset(), 3013);
        // Back to the start to read: seek flushes the write buffer.
        ASSERT_EQ(file.seek(0, sfSeekSet), 0);
        char line[64];
        EXPECT_EQ(file.getLine(line, sizeof line), 1);
        EXPECT_STREQ(line, "0123456789x");
        EXPECT_EQ(file.getCurOffset(), 13) << "the offset just after the line, though more was read";
        ASSERT_EQ(file.seek(0, sfSeekEnd), 0);
        EXPECT_EQ(file.putLine("end", false), 0);
    }  // the destructor flushes
    std::string text = readFileText(path);
    EXPECT_EQ(text.size(), 3018u);
    EXPECT_EQ(text.substr(text.size() - 5), "end\r\n");

    CXFile reader;
    ASSERT_EQ(reader.open(path.c_str(), sfReadOnly), 0);
    char chunk[7];
    EXPECT_EQ(reader.bufRead(chunk, 7), 7);
    EXPECT_EQ(std::string(chunk, 7), "0123456");
    std::vector<char> rest(5000);
    EXPECT_EQ(reader.bufRead(rest.data(), rest.size()), 3011);
    EXPECT_EQ(reader.bufRead(rest.data(), rest.size()), 0);
    const char* view = reader.mapViewOfFile();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, reader.getViewSize()), text);
}

TEST(CXFile, TruncateEmptiesAndShortWriteAdvancesOnlyByWhatWasWritten) {
    TempDir dir;
    std::string path = dir.file("f");
    CXFile file;
    ASSERT_EQ(file.open(path.c_str(), sfOpenOrCreate), 0);
    ASSERT_EQ(file.write("abcdef", 6), 6);
    ASSERT_EQ(file.seek(2, sfSeekSet), 0);
    ASSERT_EQ(file.truncate(), 0);
    EXPECT_EQ(readFileText(path), "");
    EXPECT_EQ(file.getCurOffset(), 0);
    const char* view = file.mapViewOfFile();
    ASSERT_NE(view, nullptr) << "an empty file gives an empty view";
    EXPECT_EQ(file.getViewSize(), 0u);

    std::string out;
    ASSERT_EQ(runHelper({"short_write", dir.file("limited")}, &out), 0);
    EXPECT_EQ(out, "-1 -2 100\n");
    EXPECT_EQ(readFileText(dir.file("limited")).size(), 100u);
}

TEST(CXFile, BadInputAndWrongStates) {
    TempDir dir;
    CXFile file;
    EXPECT_EQ(file.open(dir.file("missing").c_str(), sfReadOnly), -1);
    EXPECT_EQ(file.getLastError(), kErrNotFound);
    EXPECT_EQ(file.open(dir.file("nodir/x").c_str(), sfOpenOrCreate), -1);
    EXPECT_EQ(file.getLastError(), kErrNotFound);
    writeFileText(dir.file("plain"), "x");
    EXPECT_EQ(file.open(dir.file("plain/x").c_str(), sfReadOnly), -1);
    EXPECT_EQ(file.getLastError(), kErrNotFound) << "a file in the middle of a path reads as not found";
    EXPECT_EQ(file.open(dir.path().c_str(), sfReadOnly), -1);
    EXPECT_EQ(file.getLastError(), EISDIR);
    EXPECT_EQ(file.open(dir.file("plain").c_str(), sfCreateNew), -1);
    EXPECT_EQ(file.getLastError(), kErrFileExists);

    char buffer[4];
    EXPECT_EQ(file.read(buffer, 4), -1) << "not open";

    ASSERT_EQ(file.open(dir.file("plain").c_str(), sfReadOnly), 0);
    EXPECT_EQ(file.open(dir.file("plain").c_str(), sfReadOnly), -1) << "already open";
    EXPECT_EQ(file.write("x", 1), -1);
    EXPECT_EQ(file.bufWrite("x", 1), -1) << "a read-only file takes no buffered data either";
    EXPECT_EQ(file.unlock(), -1);
    EXPECT_EQ(file.getLastError(), kErrWrongState);
    EXPECT_EQ(file.lock(sfLockExclusive, 0), -1) << "an exclusive lock needs a file open for writing";
    EXPECT_EQ(file.getLastError(), EBADF);
    EXPECT_EQ(file.close(), 0);

    ASSERT_EQ(file.open(dir.file("plain").c_str(), sfWriteOnly), 0);
    EXPECT_EQ(file.read(buffer, 4), -1);
    EXPECT_EQ(file.mapViewOfFile(), nullptr);
    EXPECT_EQ(file.close(), 0);

    SleepCounter sleeps;
    EXPECT_EQ(file.open(dir.file("missing").c_str(), sfReadOnly, 2), -1);
    EXPECT_EQ(sleeps.sleeps, (std::vector<unsigned long>{1000, 1000}));
}

TEST(CXFile, LocksAcrossProcesses) {
    TempDir dir;
    std::string path = dir.file("State");
    writeFileText(path, "");
    {
        HelperProcess holder({"file_lock", path, "exclusive"});
        ASSERT_TRUE(holder.waitForLine("ready"));
        CXFile file;
        ASSERT_EQ(file.open(path.c_str(), sfReadWrite), 0);
        for (unsigned long timeout : {0ul, 1ul, 5ul}) {
            SleepCounter sleeps;
            EXPECT_EQ(file.lock(timeout == 1 ? sfLockShared : sfLockExclusive, timeout), 0);
            EXPECT_EQ(file.getLastError(), kErrLockViolation);
            expectLockWaits(sleeps.sleeps, timeout);
        }
        holder.writeLine("release");
        EXPECT_EQ(holder.wait(), 0);
        EXPECT_EQ(file.lock(sfLockExclusive, 0), 1) << "free once the holder let go";
    }
    {
        HelperProcess reader({"file_lock", path, "shared"});
        ASSERT_TRUE(reader.waitForLine("ready"));
        CXFile file;
        ASSERT_EQ(file.open(path.c_str(), sfReadOnly), 0);
        EXPECT_EQ(file.lock(sfLockShared, 0), 1) << "shared beside shared";
        std::string out;
        runHelper({"file_probe", path, "exclusive"}, &out);
        EXPECT_EQ(out, "0\n") << "exclusive refused beside shared";
        reader.writeLine("release");
    }
    {
        // A holder that dies releases its lock.
        HelperProcess holder({"file_lock", path, "exclusive"});
        ASSERT_TRUE(holder.waitForLine("ready"));
        holder.kill(SIGKILL);
        holder.wait();
        std::string out;
        runHelper({"file_probe", path, "exclusive"}, &out);
        EXPECT_EQ(out, "1\n");
    }
}

TEST(CXFile, LocksBelongToTheOpenFileNotTheProcess) {
    TempDir dir;
    std::string path = dir.file("State");
    writeFileText(path, "");
    ASSERT_EQ(link(path.c_str(), dir.file("hardlink").c_str()), 0);
    CXFile first, second;
    ASSERT_EQ(first.open(path.c_str(), sfReadWrite), 0);
    ASSERT_EQ(second.open(path.c_str(), sfReadWrite), 0);
    ASSERT_EQ(first.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(second.lock(sfLockShared, 0), 0) << "two objects of one process contend";
    EXPECT_EQ(second.close(), 0);
    {
        CXFile throughLink;
        ASSERT_EQ(throughLink.open(dir.file("hardlink").c_str(), sfReadOnly), 0);
        EXPECT_EQ(throughLink.lock(sfLockShared, 0), 0);
    }  // closing other descriptors of the file must not drop the first object's lock
    std::string out;
    runHelper({"file_probe", path, "shared"}, &out);
    EXPECT_EQ(out, "0\n");
    EXPECT_EQ(first.unlock(), 0);
    runHelper({"file_probe", path, "shared"}, &out);
    EXPECT_EQ(out, "1\n");
}

TEST(CXFile, ACloseThatCannotFlushLeavesNothingForTheNextFile) {
    TempDir dir;
    CXFile file;
    ASSERT_EQ(file.open("/dev/full", sfWriteOnly), 0);
    EXPECT_EQ(file.putLine("lost", false), 0);
    EXPECT_EQ(file.close(), -1);
    EXPECT_EQ(file.getLastError(), ENOSPC);
    EXPECT_EQ(file.setBufSize(4096), 0) << "no bytes pending any more";
    ASSERT_EQ(file.open(dir.file("next").c_str(), sfCreateNew), 0);
    EXPECT_EQ(file.putLine("next", false), 0);
    EXPECT_EQ(file.close(), 0);
    EXPECT_EQ(readFileText(dir.file("next")), "next\r\n");
}

TEST(CXFile, TruncateIsRefusedWhileAViewIsMapped) {
    TempDir dir;
    const std::string path = dir.file("f"), data(3 * 4096, 'v');
    CXFile file;
    ASSERT_EQ(file.open(path.c_str(), sfOpenOrCreate), 0);
    ASSERT_EQ(file.write(data.data(), data.size()), long(data.size()));
    const char* view = file.mapViewOfFile();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(file.truncate(), -1);
    EXPECT_EQ(file.getLastError(), kErrWrongState);
    EXPECT_EQ(view[data.size() - 1], 'v') << "the view stays readable";
    EXPECT_EQ(readFileText(path), data);
    ASSERT_EQ(file.close(), 0);
    ASSERT_EQ(file.open(path.c_str(), sfReadWrite), 0);
    EXPECT_EQ(file.truncate(), 0) << "without a view";
    EXPECT_EQ(readFileText(path), "");
}
