#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Indexing/icommon/TAnyLogGuardian.h"
#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/icommon/TDebuggableAnyLog.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/StreamRedirect.h"

namespace {
class DebugLog : public ::testing::Test {
protected:
    void TearDown() override { TDebuggable::logEvents(1); }
    void writeMarker() { writeFileText(settings.logDir() + "CXIndexLogging", ""); }
    std::string logOut() const { return readFileText(settings.logDir() + "log.out"); }

    SettingsFixture settings{"[Debug]\nIndexDebug=0x8004\n"
                             "[Applications\\2\\7]\nClient=c1\nType=File System\nBackupSet=bs\nSubclient=sc\n"
                             "[Applications\\2\\8]\nClient=c1\nType=SQL\nInstance=inst\nBackupSet=bs\nSubclient=sc\n"
                             "[Applications\\2\\9]\nClient=c1\nBackupSet=bs\nSubclient=sc\n"};
    EventCapture capture;
};
}  // namespace

TEST_F(DebugLog, LevelsAreFilteredByTheConfiguredMask) {
    TDebuggable::logEvents(0);
    TDebuggable d;
    d.setDebugPrefix("TEST");
    EXPECT_EQ(TDebuggable::getDebugMask(), 0x8005u) << "bit 0 is forced on";
    d.debug(1, "always\n");
    d.debug(2, "filtered\n");
    d.debug(0x40000, "filtered too\n");
    d.debug(4, "detail\n");
    d.debug(0x8000 | 2, "any common bit counts\n");
    d.debug(1, "%s\n", std::string(10000, 'x').c_str());
    EXPECT_EQ(capture.debugMessages().size(), 0u) << "events flag off: nothing goes to the event service";
    std::string log = logOut();
    EXPECT_NE(log.find("TEST: always\nTEST: detail\nTEST: any common bit counts\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("filtered"), std::string::npos);
    const size_t start = log.find("TEST: xxx");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(log.find('\n', start) - start, TDebuggable::kMaxLine) << "a long line is cut";

    TDebuggable::logEvents(1);
    d.useStdout(1);
    withStreamAt(1, settings.dir().file("stdout"), [&] { d.debug(1, "on stdout %d", 3); });
    EXPECT_EQ(readFileText(settings.dir().file("stdout")), "TEST(1): on stdout 3") << "stdout form: neither cut nor given a newline";
    EXPECT_TRUE(capture.debugMessages().empty()) << "with stdout on, nothing goes to the event service";
}

// Without the marker file and with events on there is no log file; with events off there always
// is one, the pid-named one when log.out cannot be opened for appending.
TEST_F(DebugLog, MarkerFileDecidesWhetherTheFileIsOpenedAndThePidNamedFileStandsIn) {
    { TDebuggable d; d.debug(1, "x\n"); }
    EXPECT_FALSE(fileExists(settings.logDir() + "log.out"));
    EXPECT_EQ(capture.debugMessages().size(), 1u);
    TDebuggable::logEvents(0);
    ASSERT_EQ(mkdir((settings.logDir() + "log.out").c_str(), 0755), 0);
    { TDebuggable d; d.setDebugPrefix("P"); d.debug(1, "to fallback\n"); }
    std::string log = readFileText(settings.logDir() + "log" + std::to_string(getpid()) + ".out");
    EXPECT_NE(log.find("P: to fallback\n"), std::string::npos) << log;
}

TEST_F(DebugLog, TextHelpers) {
    TDebuggable d;
    EXPECT_STREQ(d.dateToString(0), "now");
    const std::string date = d.dateToString(1700000000);
    EXPECT_TRUE(date.find("2023") != std::string::npos && date.back() != '\n') << date;

    EXPECT_STREQ(d.appToString(2, 7), "c1\\File System\\bs\\sc");
    EXPECT_STREQ(d.appToString(2, 8), "c1\\SQL\\inst\\bs\\sc");
    EXPECT_STREQ(d.appToString(3, 44), "3:44");
    EXPECT_STREQ(d.appToString(2, 9), "2:9") << "no type";
}

// With the marker file the log file is open while an object lives; each debug call is one line
// there (a newline added where missing) and one event without the newline, with the job's id.
TEST_F(DebugLog, RedirectionToTwoPlacesAndTheGuardianRestores) {
    writeMarker();
    EvEvent a, b;
    {
        TDebuggableAnyLog log;
        log.setDebugPrefix("ANY");
        log.setLogTwoPlaces(true);
        log.debug(1, "own %s", "only");
        EXPECT_TRUE(TDebuggable::isLogFileOpen());

        log.setJobId(5);
        log.setEvent(&a);
        EXPECT_EQ(a.getJobId(), 5) << "the job id is handed to the external event";
        capture.clear();
        log.debug(1, "both\n");
        const auto both = capture.ofKind("debug");
        ASSERT_EQ(both.size(), 2u) << "external and own event";
        EXPECT_EQ(both[0].message + "|" + both[1].message, "ANY: both|ANY: both");
        EXPECT_EQ(both[0].jobId + both[1].jobId, 10);
        log.setLogTwoPlaces(false);
        log.debug(1, "external only\n");
        EXPECT_EQ(capture.debugMessages().size(), 3u);

        a.setJobId(0);
        {
            TAnyLogGuardian guardian(&log);
            log.setEvent(&b);
            log.setLogTwoPlaces(true);
        }
        EXPECT_EQ(log.getEvent(), &a);
        EXPECT_FALSE(log.getLogTwoPlaces());
        EXPECT_EQ(a.getJobId(), 5) << "restoring hands the job id to the event again";
    }
    EXPECT_FALSE(TDebuggable::isLogFileOpen()) << "the last object closes the file";
    const std::string file = logOut();
    EXPECT_NE(file.find("\nHello from pid " + std::to_string(getpid()) + "\nANY: own only\nANY: both\nANY: external only\n"),
              std::string::npos)
        << file;
}
