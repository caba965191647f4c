#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/KRBkpJobClient.h"
#include "Platform/KRJobClient.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {

std::vector<JournalArg> numbers(const std::vector<int64_t>& values) {
    std::vector<JournalArg> args;
    for (int64_t v : values) args.push_back(JournalArg::ofSigned(v));
    return args;
}

class KRJobClientTest : public ::testing::Test {
protected:
    SettingsFixture settings_{"[Platform\\4]\nTalServerHostName=central01\n[Platform\\1]\nTalServerHostName=\n"};
    EventCapture capture_;
};

TEST_F(KRJobClientTest, InitAcceptsOnlyAKnownServerAndAJob) {
    KRJobClient refused;
    EXPECT_FALSE(refused.init(nullptr, 42, 2));
    EXPECT_FALSE(refused.init("", 42, 2));
    EXPECT_FALSE(refused.init("central01", 0, 2));
    EXPECT_FALSE(refused.init("elsewhere", 42, 2));
    EXPECT_TRUE(capture_.ofKind("jobcontrol").empty());
    EXPECT_FALSE(refused.setPendingCause(5, nullptr, false, 300));
    EXPECT_TRUE(capture_.ofKind("jobcontrol").empty());

    // The server is named for platform type 4 and serves requests for the other types too.
    KRJobClient client;
    ASSERT_TRUE(client.init("CENTRAL01", 42, 2));
    std::vector<JournalRecord> records = capture_.ofKind("jobcontrol");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "init");
    EXPECT_EQ(records[0].jobId, 42);
    EXPECT_EQ(records[0].args, (std::vector<JournalArg>{JournalArg::ofText("CENTRAL01"), JournalArg::ofSigned(2)}));

    // A later refused init leaves the client unusable.
    EXPECT_FALSE(client.init("elsewhere", 42, 2));
    EXPECT_FALSE(client.setPendingCause(5, nullptr, false, 300));
}

TEST_F(KRJobClientTest, SetPendingCauseJournalsTheRequest) {
    KRJobClient client;
    ASSERT_TRUE(client.init("central01", -7, 2));
    capture_.clear();

    EXPECT_TRUE(client.setPendingCause(17, nullptr, false, 150));
    const int64_t others[] = {1001, 1002, 0};
    EXPECT_TRUE(client.setPendingCause(18, others, true, 300, 1, 2, 3, true, 5, 6, 7, 8));

    std::vector<JournalRecord> records = capture_.ofKind("jobcontrol");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "setPendingCause");
    EXPECT_EQ(records[0].jobId, -7);
    EXPECT_EQ(records[0].args, numbers({17, 150, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(records[1].args, numbers({18, 300, 1, 1, 2, 3, 1, 5, 6, 7, 8, 1001, 1002}));
    const std::string journal = settings_.journalText();
    EXPECT_NE(journal.find("\"message\":\"setPendingCause\",\"args\":[17,150,0,0,0,0,0,0,0,0,0]}"), std::string::npos)
        << journal;
    EXPECT_NE(journal.find("\"args\":[18,300,1,1,2,3,1,5,6,7,8,1001,1002]}"), std::string::npos) << journal;
}

TEST_F(KRJobClientTest, SetPendingCauseRefusesAListWithoutItsEnd) {
    KRJobClient client;
    ASSERT_TRUE(client.init("central01", 42, 2));
    capture_.clear();
    std::vector<int64_t> endless(KRJobClient::kMaxListedJobs + 1, 9);
    EXPECT_FALSE(client.setPendingCause(17, endless.data(), false, 150));
    endless[KRJobClient::kMaxListedJobs - 1] = 0;
    EXPECT_TRUE(client.setPendingCause(17, endless.data(), false, 150));
    std::vector<JournalRecord> records = capture_.ofKind("jobcontrol");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].args.size(), 11 + KRJobClient::kMaxListedJobs - 1);
}

using KRBkpJobClientTest = KRJobClientTest;

TEST_F(KRBkpJobClientTest, CompleteNeedsASuccessfulInit) {
    KRBkpJobClient client;
    EXPECT_FALSE(client.complete(KRJOBSTATUS_FAILED, KRJOBSTATUSFOR_JOB, 0, 0));
    EXPECT_FALSE(client.init("elsewhere", 42, 1, 2, false, nullptr));
    EXPECT_FALSE(client.init("central01", 0, 1, 2, false, nullptr));
    EXPECT_FALSE(client.complete(KRJOBSTATUS_FAILED, KRJOBSTATUSFOR_JOB, 0, 0));
    EXPECT_TRUE(capture_.ofKind("jobcontrol").empty());

    ASSERT_TRUE(client.init("central01", 42, 1, 2, false, nullptr));
    EXPECT_TRUE(client.complete(KRJOBSTATUS_FAILED, KRJOBSTATUSFOR_PHASE, 0, 0));
    EXPECT_TRUE(client.complete(KRJOBSTATUS_FAILED, KRJOBSTATUSFOR_JOB, 0, 0));

    std::vector<JournalRecord> records = capture_.ofKind("jobcontrol");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].message, "init");
    EXPECT_EQ(records[0].args, (std::vector<JournalArg>{JournalArg::ofText("central01"), JournalArg::ofSigned(1),
                                                         JournalArg::ofSigned(2), JournalArg::ofSigned(0),
                                                         JournalArg::ofText("")}));
    EXPECT_EQ(records[1].message, "complete");
    EXPECT_EQ(records[1].jobId, 42);
    EXPECT_EQ(records[1].args, numbers({2, 1, 0, 0}));
    EXPECT_EQ(records[2].args, numbers({2, 2, 0, 0}));
    const std::string journal = settings_.journalText();
    EXPECT_NE(journal.find("\"message\":\"init\",\"args\":[\"central01\",1,2,0,\"\"]}"), std::string::npos) << journal;
    EXPECT_NE(journal.find("\"message\":\"complete\",\"args\":[2,1,0,0]}"), std::string::npos) << journal;
}

}  // namespace
