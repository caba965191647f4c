#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Platform/KRBkpJobClient.h"
#include "Platform/KRJobClient.h"
#include "tests/support/SettingsFixture.h"

namespace {
using Lines = std::vector<std::string>;

class KRJobClientTest : public ::testing::Test {
protected:
    // The job control lines of the journal file, each as "JOBID MESSAGE [ARGS]".
    Lines journaled() const {
        Lines out;
        std::istringstream journal(settings_.journalText());
        for (std::string line; std::getline(journal, line);) {
            const auto record = nlohmann::json::parse(line);
            if (record["kind"] == "jobcontrol")
                out.push_back(record["jobId"].dump() + " " + record["message"].get<std::string>() + " " + record["args"].dump());
        }
        return out;
    }

    SettingsFixture settings_{"[Platform\\4]\nTalServerHostName=central01\n[Platform\\1]\nTalServerHostName=\n"};
};

// The server is named for platform type 4 and serves requests for the other types too; a
// refused init, also after a successful one, leaves a client unusable.
TEST_F(KRJobClientTest, InitAcceptsOnlyAKnownServerAndAJob) {
    KRJobClient refused, client;
    EXPECT_FALSE(refused.init(nullptr, 42, 2));
    EXPECT_FALSE(refused.init("", 42, 2));
    EXPECT_FALSE(refused.init("central01", 0, 2));
    EXPECT_FALSE(refused.init("elsewhere", 42, 2));
    EXPECT_FALSE(refused.setPendingCause(5, nullptr, false, 300));
    ASSERT_TRUE(client.init("CENTRAL01", 42, 2));
    EXPECT_FALSE(client.init("elsewhere", 42, 2));
    EXPECT_FALSE(client.setPendingCause(5, nullptr, false, 300));
    // A backup job's client completes nothing without a successful init.
    KRBkpJobClient backup;
    EXPECT_FALSE(backup.complete(KRJOBSTATUS_FAILED, KRJOBSTATUSFOR_JOB, 0, 0));
    EXPECT_FALSE(backup.init("elsewhere", 42, 1, 2, false, nullptr));
    EXPECT_FALSE(backup.complete(KRJOBSTATUS_FAILED, KRJOBSTATUSFOR_JOB, 0, 0));
    ASSERT_TRUE(backup.init("central01", 42, 1, 2, false, nullptr));
    EXPECT_TRUE(backup.complete(KRJOBSTATUS_FAILED, KRJOBSTATUSFOR_PHASE, 0, 0));
    EXPECT_TRUE(backup.complete(KRJOBSTATUS_FAILED, KRJOBSTATUSFOR_JOB, 0, 0));
    EXPECT_EQ(journaled(), (Lines{"42 init [\"CENTRAL01\",2]", "42 init [\"central01\",1,2,0,\"\"]", "42 complete [2,1,0,0]",
                                  "42 complete [2,2,0,0]"}));
}

// The journal file holds each request's arguments; a list of job ids must end (in a 0) within
// the longest list.
TEST_F(KRJobClientTest, SetPendingCauseJournalsTheRequestAndRefusesAListWithoutItsEnd) {
    KRJobClient client;
    ASSERT_TRUE(client.init("central01", -7, 2));
    EXPECT_TRUE(client.setPendingCause(17, nullptr, false, 150));
    const int64_t others[] = {1001, 1002, 0};
    EXPECT_TRUE(client.setPendingCause(18, others, true, 300, 1, 2, 3, true, 5, 6, 7, 8));
    std::vector<int64_t> endless(KRJobClient::kMaxListedJobs + 1, 9);
    EXPECT_FALSE(client.setPendingCause(17, endless.data(), false, 150));
    endless[KRJobClient::kMaxListedJobs - 1] = 0;
    EXPECT_TRUE(client.setPendingCause(17, endless.data(), false, 150));
    const Lines lines = journaled();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "-7 setPendingCause [17,150,0,0,0,0,0,0,0,0,0]");
    EXPECT_EQ(lines[2], "-7 setPendingCause [18,300,1,1,2,3,1,5,6,7,8,1001,1002]");
    EXPECT_EQ(std::count(lines[3].begin(), lines[3].end(), ','), long(10 + KRJobClient::kMaxListedJobs - 1));
}

}  // namespace
