#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "Indexing/idxport/CXFile.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SleepRecorder.h"
#include "tests/support/TempDir.h"

namespace {
using Lines = std::vector<std::pair<int, std::string>>;

// Every getLine result of a file read with a line buffer of lineSize and a file buffer of bufSize
// (0: the default), up to the end of the file.
Lines readLines(const std::string& path, int lineSize, unsigned long bufSize) {
    CXFile file;
    EXPECT_EQ(bufSize == 0 ? 0 : file.setBufSize(bufSize), 0);
    EXPECT_EQ(file.open(path.c_str(), sfReadOnly), 0);
    Lines lines;
    std::vector<char> buffer(lineSize);
    for (int i = 0; i < 10; ++i) {
        int rc = file.getLine(buffer.data(), lineSize);
        lines.emplace_back(rc, rc == 0 ? "" : std::string(buffer.data()));
        if (rc == 0) break;
    }
    return lines;
}

// What one lock attempt on path gives in another process: "1\n", "0\n" or "-1\n".
std::string probe(const std::string& path, const char* mode) {
    std::string out;
    runHelper({"file_probe", path, mode}, &out);
    return out;
}

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

// Line breaks split across buffer refills (a file buffer of one byte) behave the same; a line
// longer than the caller's buffer is reported (-1) and skipped.
TEST(CXFile, GetLineCarriageReturnAndLengthRules) {
    TempDir dir;
    const struct {
        std::string bytes;
        int lineSize;
        Lines expected;
    } cases[] = {
        {"ab\r\ncd", 100, {{1, "ab"}, {1, "cd"}, {0, ""}}},
        {"a\rb\n", 100, {{1, "a\rb"}, {0, ""}}},
        {"\n", 100, {{1, ""}, {0, ""}}},
        {"x\r\r\ny\r", 100, {{1, "x\r"}, {1, "y"}, {0, ""}}},
        {"\r", 100, {{0, ""}}},
        {"", 100, {{0, ""}}},
        {"abc\r\ndef\r\r\ng\n", 16, {{1, "abc"}, {1, "def\r"}, {1, "g"}, {0, ""}}},
        {"abcdef\nxy\nlongtail", 3, {{-1, "ab"}, {1, "xy"}, {-1, "lo"}, {0, ""}}},
    };
    for (const auto& c : cases) {
        writeFileText(dir.file("f"), c.bytes);
        for (unsigned long bufSize : {0ul, 1ul})
            EXPECT_EQ(readLines(dir.file("f"), c.lineSize, bufSize), c.expected) << "bytes: " << c.bytes << ", " << bufSize;
    }
    CXFile file;
    ASSERT_EQ(file.open(dir.file("f").c_str(), sfReadOnly), 0);
    char line[3];
    EXPECT_EQ(file.getLine(line, 3), -1);
    EXPECT_EQ(file.getLastError(), kErrShortWrite);
    EXPECT_EQ(file.getLine(line, 0), -1);
    EXPECT_EQ(file.getLastError(), kErrWrongState);
}

// Writes and reads larger than the buffer go around it.
TEST(CXFile, BufferedWritesOffsetsAndSwitchingThroughSeek) {
    TempDir dir;
    const std::string path = dir.file("f"), big(3000, 'b');
    CXFile file;
    ASSERT_EQ(file.open(path.c_str(), sfCreateNew, 0, 0600), 0);
    ASSERT_EQ(file.bufWrite("0123456789", 10), 10);
    EXPECT_EQ(file.getCurOffset(), 10);
    EXPECT_EQ(readFileText(path), "") << "nothing written before a flush";
    EXPECT_EQ(file.putLine("x", false), 0);
    EXPECT_EQ(file.bufWrite(big.data(), big.size()), 3000);
    EXPECT_EQ(file.getCurOffset(), 3013);
    ASSERT_EQ(file.seek(0, sfSeekSet), 0) << "seek flushes the write buffer";
    char line[64];
    EXPECT_EQ(file.getLine(line, sizeof line), 1);
    EXPECT_STREQ(line, "0123456789x");
    EXPECT_EQ(file.getCurOffset(), 13) << "the offset just after the line, though more was read";
    std::vector<char> rest(5000);
    EXPECT_EQ(file.bufRead(rest.data(), rest.size()), 3000);
    EXPECT_EQ(file.bufRead(rest.data(), rest.size()), 0);
    EXPECT_TRUE(std::string(rest.data(), 3000) == big);
}

// A mapped view would die with SIGBUS after a truncate: truncate is refused while it exists.
TEST(CXFile, TruncateIsRefusedWhileAViewIsMappedAndAShortWriteAdvancesByWhatWasWritten) {
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
    ASSERT_EQ(file.seek(2, sfSeekSet), 0);
    EXPECT_EQ(file.truncate(), 0) << "without a view";
    EXPECT_EQ(readFileText(path), "");
    EXPECT_EQ(file.getCurOffset(), 0);
    ASSERT_NE(file.mapViewOfFile(), nullptr) << "an empty file gives an empty view";
    EXPECT_EQ(file.getViewSize(), 0u);

    std::string out;
    ASSERT_EQ(runHelper({"short_write", dir.file("limited")}, &out), 0);
    EXPECT_EQ(out, "-1 -2 100\n");
    EXPECT_EQ(readFileText(dir.file("limited")).size(), 100u);
}

TEST(CXFile, BadInputAndWrongStates) {
    TempDir dir;
    writeFileText(dir.file("plain"), "x");
    ASSERT_EQ(symlink(dir.file("plain").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0666), 0);
    CXFile file;
    const struct {
        std::string path;
        sfOpenMode_t mode;
        int error;
        unsigned flags = sfOpenPlain;
    } refused[] = {{dir.file("missing"), sfReadOnly, kErrNotFound},   {dir.file("nodir/x"), sfOpenOrCreate, kErrNotFound},
                   {dir.file("plain/x"), sfReadOnly, kErrNotFound},   {dir.path(), sfReadOnly, EISDIR},
                   {dir.file("plain"), sfCreateNew, kErrFileExists},
                   {dir.file("link"), sfOpenOrCreate, ELOOP, sfRegularFileOnly},
                   {dir.file("link"), sfOpenOrCreate, ELOOP},  // a name the library may create
                   {dir.file("fifo"), sfReadOnly, kErrNotRegularFile, sfRegularFileOnly}};  // without waiting for a writer
    for (const auto& c : refused) {
        EXPECT_EQ(file.open(c.path.c_str(), c.mode, 0, 0, c.flags), -1) << c.path;
        EXPECT_EQ(file.getLastError(), c.error) << c.path;
    }
    ASSERT_EQ(file.open(dir.file("link").c_str(), sfReadOnly), 0) << "a plain open follows a link";
    EXPECT_EQ(file.close(), 0);
    ASSERT_EQ(file.open(dir.file("plain").c_str(), sfReadOnly, 0, 0, sfRegularFileOnly), 0);
    EXPECT_EQ(file.open(dir.file("plain").c_str(), sfReadOnly), -1) << "already open";
    EXPECT_EQ(file.bufWrite("x", 1), -1) << "a read-only file takes no buffered data either";
    EXPECT_EQ(file.close(), 0);
    SleepRecorder sleeps;
    EXPECT_EQ(file.open(dir.file("missing").c_str(), sfReadOnly, 2), -1);
    EXPECT_EQ(sleeps.ms, (std::vector<unsigned long>{1000, 1000}));
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    CXFile piped;
    ASSERT_EQ(piped.setHandles(-1, ends[1], sfWriteOnly), 0);
    EXPECT_EQ(piped.write("x", 1), -1) << "a pipe without a reader fails the write, not the process";
    EXPECT_EQ(piped.getLastError(), EPIPE);
    close(ends[1]);
}

TEST(CXFile, LocksAcrossProcesses) {
    TempDir dir;
    std::string path = dir.file("State");
    writeFileText(path, "");
    {
        HelperProcess holder({"file_lock", path, "exclusive"}, "ready");
        CXFile file;
        ASSERT_EQ(file.open(path.c_str(), sfReadWrite), 0);
        for (unsigned long timeout : {0ul, 1ul, 5ul}) {
            SleepRecorder sleeps;
            EXPECT_EQ(file.lock(timeout == 1 ? sfLockShared : sfLockExclusive, timeout), 0);
            EXPECT_EQ(file.getLastError(), kErrLockViolation);
            expectLockWaits(sleeps.ms, timeout);
        }
        holder.writeLine("release");
        EXPECT_EQ(holder.wait(), 0);
        EXPECT_EQ(file.lock(sfLockExclusive, 0), 1) << "free once the holder let go";
    }
    {
        HelperProcess reader({"file_lock", path, "shared"}, "ready");
        CXFile file;
        ASSERT_EQ(file.open(path.c_str(), sfReadOnly), 0);
        EXPECT_EQ(file.lock(sfLockShared, 0), 1) << "shared beside shared";
        EXPECT_EQ(probe(path, "exclusive"), "0\n") << "exclusive refused beside shared";
        reader.writeLine("release");
    }
    HelperProcess holder({"file_lock", path, "exclusive"}, "ready");
    holder.kill(SIGKILL);
    holder.wait();
    EXPECT_EQ(probe(path, "exclusive"), "1\n") << "a holder that dies releases its lock";
}

TEST(CXFile, LocksBelongToTheOpenFileNotTheProcess) {
    TempDir dir;
    std::string path = dir.file("State");
    writeFileText(path, "");
    CXFile first, second;
    ASSERT_EQ(first.open(path.c_str(), sfReadWrite), 0);
    ASSERT_EQ(second.open(path.c_str(), sfReadWrite), 0);
    ASSERT_EQ(first.lock(sfLockExclusive, 0), 1);
    EXPECT_EQ(second.lock(sfLockShared, 0), 0) << "two objects of one process contend";
    EXPECT_EQ(second.close(), 0);
    EXPECT_EQ(probe(path, "shared"), "0\n") << "closing another descriptor of the file keeps the first object's lock";
    EXPECT_EQ(first.unlock(), 0);
    EXPECT_EQ(probe(path, "shared"), "1\n");
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
