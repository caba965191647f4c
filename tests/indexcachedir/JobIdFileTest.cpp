#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/EventCapture.h"

namespace {
constexpr unsigned long kStamp = 1700000000;

class JobIdFile : public CacheDirFixture {
protected:
    void SetUp() override {
        CacheDirFixture::SetUp();
        settings.write(settingsText() + "HostName=mahost\n");
        std::filesystem::create_directories(dirPath(kStamp));
    }
    std::string jobIdPath() const { return dirPath(kStamp) + "/JobId"; }
};

struct Values {
    int64_t job;
    std::string name;
    unsigned phase, attempt, counter;
    bool operator==(const Values&) const = default;
};

void PrintTo(const Values& v, std::ostream* os) {
    *os << v.job << " '" << v.name << "' " << v.phase << ":" << v.attempt << ":" << v.counter;
}

Values readInto(JobResultsCacheDir& dir) {
    Values v{-1, "unset", 9, 9, 9};
    dir.readJobIdFile(&v.job, &v.name, &v.phase, &v.attempt, &v.counter);
    return v;
}

bool logged(const EventCapture& capture, const std::string& fragment) {
    for (const std::string& m : capture.debugMessages())
        if (m.find(fragment) != std::string::npos) return true;
    return false;
}
}  // namespace

TEST_F(JobIdFile, WritesOneCrLfLineThatReadsBackIntoTheObject) {
    TestDir writer(kStamp, 1, 7);
    writer.setJobPhaseNumber(1);
    writer.setJobAttemptNumber(2);
    writer.setJobIndexWriteCounter(3);
    writer.createJobIdFile();
    EXPECT_EQ(readFileText(jobIdPath()), "7:1:2:3 mahost\r\n");

    TestDir reader(kStamp, 1, 0);
    reader.readJobIdFile(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(reader.getJobId(), 7);
    EXPECT_EQ(reader.getJobPhaseNumber(), 1u);
    EXPECT_EQ(reader.getJobAttemptNumber(), 2u);
    EXPECT_EQ(reader.getJobIndexWriteCounter(), 3u);

    writer.removeJobIdFile();
    EXPECT_FALSE(fileExists(jobIdPath()));
    TestDir noJob(kStamp, 1, 0);
    noJob.createJobIdFile();
    EXPECT_FALSE(fileExists(jobIdPath())) << "job id 0 writes nothing";
}

TEST_F(JobIdFile, ReadsEveryShapeAWriterOrADamagedDiskLeaves) {
    const Values none{0, "", 0, 0, 0};
    const std::string longName(2045, 'n');  // "7 " and 2045 bytes fill the 2047 a line is read up to
    struct Row {
        std::string content;
        Values expected;
        const char* logLine;  // a fragment of the line that tells why nothing was read
    } rows[] = {
        {"7:1:2:3 host\r\n", {7, "host", 1, 2, 3}, nullptr},
        {"7:1:2:3 host\n", {7, "host", 1, 2, 3}, nullptr},
        {"7:1:2:3 host", {7, "host", 1, 2, 3}, nullptr},
        {"7:0:0:4294967295 my host\r\n", {7, "my host", 0, 0, 4294967295u}, nullptr},
        {"7 host\r\n", {7, "host\n", 0, 0, 0}, nullptr},
        {"7 host\n", {7, "host\n", 0, 0, 0}, nullptr},
        {"7:1:2 host\r\n", none, "cannot detect counter"},
        {"7:1 host\r\n", none, "cannot detect attempt number"},
        {"7:1:2:3host\r\n", none, "cannot detect MA name"},
        {"7host\r\n", none, "cannot detect MA name"},
        {"x:1:2:3 host\r\n", none, "Invalid jobIdPtr"},
        {"-7:1:2:3 host\r\n", none, "Invalid jobIdPtr"},
        {"18446744073709551616:1:2:3 host\r\n", none, "Invalid jobIdPtr"},
        {"7:x:2:3 host\r\n", {7, "", 0, 0, 0}, "Invalid phaseno"},
        {"7:1:4294967296:3 host\r\n", {7, "", 1, 0, 0}, "Invalid attempt"},
        {"7:1:2:x host\r\n", {7, "", 1, 2, 0}, "Invalid counter"},
        {"", none, "cannot fgets file"},
        {std::string("\xff\x01:\x80\0:2:3 host", 16), none, "cannot detect attempt number"},
        {std::string("7\0 host\r\n", 9), none, "cannot detect MA name"},
        {std::string(10 << 20, '7'), none, "cannot detect MA name"},
        {"7 " + longName + std::string(10 << 20, 'x'), {7, longName, 0, 0, 0}, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content.substr(0, 40));
        writeFileText(jobIdPath(), row.content);
        EventCapture capture;
        TestDir dir(kStamp, 1, 42);
        EXPECT_EQ(readInto(dir), row.expected);
        if (row.logLine != nullptr) {
            EXPECT_TRUE(logged(capture, row.logLine)) << row.logLine;
        }
    }
}

TEST_F(JobIdFile, ValidityFollowsTheJobAndItsWriteCounter) {
    struct Row {
        std::optional<std::string> content;  // none: no JobId file
        int64_t job;
        unsigned counter;
        bool valid;
        std::string reason;
    } rows[] = {
        {"7:0:0:3 host\r\n", 7, 4, false, "Indexing token mismatch found."},
        {"7:0:0:3 host\r\n", 7, 3, true, ""},
        {"7:0:0:3 host\r\n", 7, 2, true, ""},
        {"7:0:0:3 host\r\n", 7, 0, true, ""},
        {"7:0:0:3 host\r\n", 8, 3, false, "IC was not created by previous or current job"},
        {"7:0:0:3 host\r\n", 8, 0, false, "IC was not created by previous or current job"},
        {"7 host\r\n", 7, 4, true, ""},
        {"7:0:0:3 host\r\n", 0, 4, true, ""},
        {std::nullopt, 8, 3, true, ""},
        // A file that is there but holds no whole line proves nothing about who wrote it.
        {"", 8, 3, false, "IC was not created by previous or current job"},
        {"7:0:0", 7, 3, false, "IC was not created by previous or current job"},
        {"", 0, 0, true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content.value_or("(no file)") + " job " + std::to_string(row.job) + " counter " +
                     std::to_string(row.counter));
        std::filesystem::remove(jobIdPath());
        if (row.content) writeFileText(jobIdPath(), *row.content);
        TestDir dir(kStamp, 1, row.job);
        dir.setJobIndexWriteCounter(row.counter);
        std::string reason;
        EXPECT_EQ(dir.isJobIdFileValid(&reason), row.valid);
        EXPECT_EQ(reason, row.reason);
        EXPECT_EQ(dir.getJobId(), row.job) << "the check reads into locals only";
    }
}

TEST_F(JobIdFile, ARewriteReplacesTheWholeFileAndKeepsItsMode) {
    TestDir dir(kStamp, 1, 7);
    dir.createJobIdFile();
    chmod(jobIdPath().c_str(), 0640);
    const int before = open(jobIdPath().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(before, 0);
    dir.setJobIndexWriteCounter(12345);
    dir.createJobIdFile();
    // A reader that opened the file before the rewrite still reads the whole old line: the
    // file is never emptied or written in place.
    char text[64] = {};
    EXPECT_EQ(read(before, text, sizeof text - 1), 16);
    EXPECT_STREQ(text, "7:0:0:0 mahost\r\n");
    close(before);
    EXPECT_EQ(readFileText(jobIdPath()), "7:0:0:12345 mahost\r\n");
    struct stat st {};
    ASSERT_EQ(stat(jobIdPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dirPath(kStamp))) ++entries;
    EXPECT_EQ(entries, 1u) << "no temporary file is left";
}

TEST_F(JobIdFile, ALinkOrAFifoIsNeitherReadNorWrittenThrough) {
    const std::string target = settings.dir().file("elsewhere");
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "fifo" : "symbolic link");
        std::filesystem::remove(jobIdPath());
        writeFileText(target, "8:0:0:3 host\r\n");
        ASSERT_EQ(fifo ? mkfifo(jobIdPath().c_str(), 0666) : symlink(target.c_str(), jobIdPath().c_str()), 0);
        TestDir dir(kStamp, 1, 8);
        EXPECT_EQ(readInto(dir), (Values{0, "", 0, 0, 0}));
        std::string reason;
        EXPECT_FALSE(dir.isJobIdFileValid(&reason)) << "an entry that cannot be read is no job's own";
        dir.createJobIdFile();
        EXPECT_EQ(readFileText(target), "8:0:0:3 host\r\n") << "the link's target is untouched";
        struct stat st {};
        ASSERT_EQ(lstat(jobIdPath().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_TRUE(dir.isJobIdFileValid(&reason));
    }
}

TEST(IntegrityChecks, TheMaskIsTestedBitByBitModulo32) {
    struct Row {
        unsigned mask;
        unsigned check;
        bool enabled;
    } rows[] = {{0x94, 2, true}, {0x94, 4, true}, {0x94, 7, true}, {0x94, 3, false}, {0x94, 34, true},
                {0x94, 35, false}, {0x80000000, 31, true}, {0x80000000, 63, true}, {0, 2, false}};
    EXPECT_TRUE(JobResultsCacheDir::isIntegrityCheckEnabled(eIC_StateFile)) << "the initial mask";
    for (const Row& row : rows) {
        JobResultsCacheDir::setIntegrityCheckFlags(row.mask);
        EXPECT_EQ(JobResultsCacheDir::isIntegrityCheckEnabled(static_cast<Enum_IC_IntegrityCheck>(row.check)),
                  row.enabled)
            << row.mask << " bit " << row.check;
    }
}
