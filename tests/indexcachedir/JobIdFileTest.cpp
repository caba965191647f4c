#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <set>
#include <tuple>

#include "Platform/TempNames.h"
#include "tests/indexcachedir/CacheDirFixture.h"

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

// job, media agent name, phase, attempt, write counter
using Values = std::tuple<int64_t, std::string, unsigned, unsigned, unsigned>;

Values readInto(JobResultsCacheDir& dir) {
    Values v{-1, "unset", 9, 9, 9};
    dir.readJobIdFile(&std::get<0>(v), &std::get<1>(v), &std::get<2>(v), &std::get<3>(v), &std::get<4>(v));
    return v;
}
}  // namespace

// The file is replaced whole, keeping its mode. A writer killed before its rename leaves its
// temporary file: the next write removes this host's temporaries whose process ended and leaves a
// live one's and another host's; an update by copy takes none of them into the new index.
TEST_F(JobIdFile, IsReplacedWholeKeepingItsModeAndReadsBackIntoTheObject) {
    HelperProcess ended({"process_id"});
    const pid_t endedPid = ended.pid();
    ended.closeInput();
    ended.wait();
    const std::string prefix = "JobId.tmp.";
    const std::string dead = prefix + TempNames::hostPart() + "." + std::to_string(endedPid) + ".0123abcd",
                      live = prefix + TempNames::hostPart() + "." + std::to_string(getpid()) + ".89abcdef",
                      remote = prefix + "otherhost." + std::to_string(endedPid) + ".00000001";
    TestDir writer(kStamp, 1, 7);
    writer.setJobPhaseNumber(1);
    writer.setJobAttemptNumber(2);
    writer.createJobIdFile();
    EXPECT_EQ(readFileText(jobIdPath()), "7:1:2:0 mahost\r\n");
    chmod(jobIdPath().c_str(), 0640);
    for (const std::string& name : {dead, live, remote}) writeFileText(dirPath(kStamp) + "/" + name, "7:0:0");
    writeFileText(dirPath(kStamp) + "/State", "0\r\n1700000000    \r\n");
    const int before = open(jobIdPath().c_str(), O_RDONLY | O_CLOEXEC);
    writer.setJobIndexWriteCounter(3);
    writer.createJobIdFile();
    // A reader that opened the file before the rewrite still reads the whole old line: the file
    // is never emptied or written in place.
    char text[64] = {};
    EXPECT_EQ(read(before, text, sizeof text - 1), 16);
    EXPECT_STREQ(text, "7:1:2:0 mahost\r\n");
    close(before);
    EXPECT_EQ(modeOf(jobIdPath()), 0640u);
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dirPath(kStamp))) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"JobId", "State", live, remote})) << "no temporary of its own left";

    TestDir reader(kStamp, 1, 0);
    reader.readJobIdFile(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(Values({reader.getJobId(), "", reader.getJobPhaseNumber(), reader.getJobAttemptNumber(),
                      reader.getJobIndexWriteCounter()}),
              Values({7, "", 1, 2, 3}));

    TestDir next(0, 1, 8);
    next.copyUponUpdate(true);
    const char* path = next.update(false, 0, false);
    ASSERT_NE(path, nullptr) << next.getErrno();
    ASSERT_TRUE(fileExists(dirPath(kStamp))) << "copied, not renamed";
    for (const auto& entry : std::filesystem::directory_iterator(path))
        EXPECT_NE(entry.path().filename().string().rfind(prefix, 0), 0u) << entry.path();
    EXPECT_EQ(next.close(false), 0);
}

TEST_F(JobIdFile, ReadsEveryShapeAWriterOrADamagedDiskLeaves) {
    const Values none{0, "", 0, 0, 0};
    const std::string longName(2045, 'n');  // "7 " and 2045 bytes fill the 2047 a line is read up to
    const std::pair<std::string, Values> rows[] = {
        {"7:1:2:3 my host\r\n", {7, "my host", 1, 2, 3}},
        {"7:1:2:4294967295 host\n", {7, "host", 1, 2, 4294967295u}},
        {"7 host\r\n", {7, "host\n", 0, 0, 0}},  // the older form keeps the line end as read
        {"7:1:2 host\r\n", none},
        {"7:1:2:3host\r\n", none},
        {"-7:1:2:3 host\r\n", none},
        {"18446744073709551616:1:2:3 host\r\n", none},
        {"7:1:4294967296:3 host\r\n", {7, "", 1, 0, 0}},
        {"", none},
        {std::string("7\0 host\r\n", 9), none},
        {std::string(10 << 20, '7'), none},
        {"7 " + longName + std::string(10 << 20, 'x'), {7, longName, 0, 0, 0}},
    };
    for (const auto& [content, expected] : rows) {
        writeFileText(jobIdPath(), content);
        TestDir dir(kStamp, 1, 42);
        EXPECT_EQ(readInto(dir), expected) << content.substr(0, 40);
    }
}

TEST_F(JobIdFile, ValidityFollowsTheJobAndItsWriteCounter) {
    const char* other = "IC was not created by previous or current job";
    struct Row {
        std::optional<std::string> content;  // none: no JobId file
        int64_t job;
        unsigned counter;
        std::string reason;  // empty: valid
    } rows[] = {
        {"7:0:0:3 host\r\n", 7, 4, "Indexing token mismatch found."},
        {"7:0:0:3 host\r\n", 7, 3, ""},
        {"7:0:0:3 host\r\n", 8, 2, other},
        {"7 host\r\n", 7, 4, ""},
        {"7:0:0:3 host\r\n", 0, 4, ""},
        {std::nullopt, 8, 3, ""},
        // A file that is there but holds no whole line proves nothing about who wrote it.
        {"", 8, 3, other},
        {"7:0:0", 7, 3, other},
        {"", 0, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content.value_or("(no file)") + " job " + std::to_string(row.job));
        std::filesystem::remove(jobIdPath());
        if (row.content) writeFileText(jobIdPath(), *row.content);
        TestDir dir(kStamp, 1, row.job);
        dir.setJobIndexWriteCounter(row.counter);
        std::string reason;
        EXPECT_EQ(dir.isJobIdFileValid(&reason), row.reason.empty());
        EXPECT_EQ(reason, row.reason);
    }
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
        EXPECT_FALSE(dir.isJobIdFileValid(nullptr)) << "an entry that cannot be read is no job's own";
        dir.createJobIdFile();
        EXPECT_EQ(readFileText(target), "8:0:0:3 host\r\n") << "the link's target is untouched";
        EXPECT_TRUE(dir.isJobIdFileValid(nullptr));
    }
}

TEST(IntegrityChecks, TheMaskIsTestedBitByBitModulo32) {
    EXPECT_TRUE(JobResultsCacheDir::isIntegrityCheckEnabled(static_cast<Enum_IC_IntegrityCheck>(34)));
    EXPECT_FALSE(JobResultsCacheDir::isIntegrityCheckEnabled(static_cast<Enum_IC_IntegrityCheck>(3)));
    JobResultsCacheDir::setIntegrityCheckFlags(0x80000000u);
    EXPECT_TRUE(JobResultsCacheDir::isIntegrityCheckEnabled(static_cast<Enum_IC_IntegrityCheck>(63)));
    EXPECT_FALSE(JobResultsCacheDir::isIntegrityCheckEnabled(eIC_StateFile));
}
