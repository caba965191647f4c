#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "Platform/KRClient.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPI_Krd.h"
#include "Platform/KRPI_MediaAgent.h"
#include "Platform/KRPI_TalClient.h"
#include "Platform/KRPI_TalServer.h"
#include "Platform/KRPlatformInfo.h"
#include "Platform/KrNetMagneticMedia.h"
#include "tests/support/SettingsFixture.h"

namespace {
const char* kInstance =
    "[Focus]\nClientName=client1\nService=0\n"
    "[Platform]\nTalClient=1\nMediaAgent=yes\nTempDirectory=/var/tmp/vornica\nPhysicalMachine=phys1\n"
    "[Platform\\4]\nTalServerHostName=central.example\n"
    "[Platform\\2]\nTempDirectory=/var/tmp/ma\n"
    "[MediaAgent]\nIndexCacheDirectory=/cache/shared\nIndexingUser=indexer\nnDebugLevel=12\n"
    "[~Machines\\client1]\nHostName=Client1.Example_Net\nClientId=17\nDiskFullThreshold=90\n"
    "JobResultsDirectory=/results\nJobResultsUser=jr\nsLOCALINDEXCACHEPATH=/local/cache\n"
    "IndexCacheDirectory=/cache/client1\n"
    "[TalServer]\nTalCellId=3\n"
    "[TalCells]\n3=2\n9=5\n"
    "[Debug]\nIndexDebug=0x8006\n"
    "[Applications\\2\\7]\nClient=client1\nType=File System\nBackupSet=defaultBackupSet\nSubclient=default\n"
    "[Logon]\nRefusedUsers=bad, worse\n";

template <typename T>
T focused() {
    T object;
    EXPECT_NE(object.setFocus(KRPI_Focus::getFocus()), 0);
    return object;
}

std::string text(const char* value) { return value != nullptr ? value : "(null)"; }
}  // namespace

TEST(PlatformInfo, FocusRolesAndDirectoriesFromTheInstanceFile) {
    SettingsFixture settings(kInstance);
    EXPECT_STREQ(KRPI_Focus::getFocusClientName(false), "client1");
    EXPECT_EQ(KRPI_Focus::AmIAService(), 0);
    KRPI_Base base = focused<KRPI_Base>();
    EXPECT_EQ(std::make_tuple(base.isPlatformTypeTC(), base.isPlatformTypeMA(), base.isPlatformTypeTS()),
              std::make_tuple(true, true, false));

    // Each platform type reads its own section first, then the common one.
    KRPI_PlatformBase server(KRS_PLATFORMTYPE_TALSERVER), agent(KRS_PLATFORMTYPE_MEDIAAGENT), client(KRS_PLATFORMTYPE_TALCLIENT);
    for (KRPI_PlatformBase* object : {&server, &agent, &client}) ASSERT_NE(object->setFocus(KRPI_Focus::getFocus()), 0);
    EXPECT_STREQ(server.getTalServerHostName(), "central.example");
    EXPECT_EQ(agent.getTalServerHostName(), nullptr);
    EXPECT_EQ(std::make_pair(server.invalidKRPlatform(), client.invalidKRPlatform()), std::make_pair(1, 0));
    EXPECT_STREQ(agent.getHalcyTempDirectory(), "/var/tmp/ma");
    EXPECT_STREQ(client.getHalcyTempDirectory(), "/var/tmp/vornica");
    EXPECT_EQ(focused<KRPI_Krd>().getIndexDebug(false), 0x8006u);

    KRPI_MediaAgent media = focused<KRPI_MediaAgent>();
    EXPECT_EQ(text(media.getIndexCacheDirectory("client1")) + " " + text(media.getIndexCacheDirectory("other")),
              "/cache/client1 /cache/shared");
    std::string local;
    EXPECT_TRUE(media.getIndexCacheDirectory("client1", "sLOCALINDEXCACHEPATH", local));
    EXPECT_EQ(local, "/local/cache");
    EXPECT_FALSE(media.getIndexCacheDirectory("other", "sLOCALINDEXCACHEPATH", local));
    char user[1026];
    EXPECT_NE(media.getIndexingUserName("client1", user, sizeof user), 0);
    EXPECT_STREQ(user, "indexer");

    KRPI_TalClient talClient = focused<KRPI_TalClient>();
    char dir[1027], jrUser[1027], jrPassword[1027];
    ASSERT_TRUE(talClient.getJobResultsDirectory("client1", dir, jrUser, jrPassword, 1027));
    EXPECT_EQ(std::string(dir) + " " + jrUser + " " + jrPassword, "/results jr ");
    EXPECT_FALSE(talClient.getJobResultsDirectory("other", dir, jrUser, jrPassword, 1027));

    KRPI_TalServer talServer = focused<KRPI_TalServer>();
    EXPECT_EQ(talServer.getIndexCacheDirectory("client1"), nullptr) << "not a media agent";
    EXPECT_EQ(talServer.getTalCellId(), 3u);
}

TEST(PlatformInfo, NothingIsAnsweredBeforeSetFocusOrWithAnEmptyFocus) {
    SettingsFixture settings(kInstance);
    KRPI_MediaAgent agent;
    EXPECT_EQ(agent.getIndexCacheDirectory("client1"), nullptr);
    EXPECT_EQ(agent.setFocus(""), 0);
    EXPECT_EQ(agent.setFocus(nullptr), 0);
    setenv("VORNICA_INSTANCE", "", 1);
    EXPECT_STREQ(KRPI_Focus::getFocus(), "");
    EXPECT_EQ(KRPI_Focus::getFocusClientName(false), nullptr);
    unsetenv("VORNICA_INSTANCE");
    EXPECT_STREQ(KRPI_Focus::getFocus(), "Instance001");
}

TEST(PlatformInfo, SettingsAndHostNames) {
    SettingsFixture settings(kInstance);
    KRPlatformInfo info = focused<KRPlatformInfo>();
    unsigned long number = 0;
    EXPECT_NE(info.getNumber("MediaAgent", "nDebugLevel", &number), 0);
    EXPECT_EQ(number, 12u);
    EXPECT_EQ(info.getNumber("MediaAgent", "missing", &number), 0);

    char small[4], buffer[1026];
    int length = sizeof small;
    EXPECT_EQ(info.getString("MediaAgent", "IndexingUser", small, &length), 0) << "must not cut the value";
    EXPECT_EQ(length, 8);
    length = sizeof buffer;
    EXPECT_NE(info.getString("MediaAgent", "IndexingUser", buffer, &length), 0);
    EXPECT_STREQ(buffer, "indexer");

    int value = 0;
    EXPECT_FALSE(info.getRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", &value));
    EXPECT_TRUE(info.setRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", 1));
    EXPECT_TRUE(focused<KRPlatformInfo>().getRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", &value));
    EXPECT_EQ(value, 1);

    char host[256];
    EXPECT_NE(info.getClientHostName("client1", host, sizeof host), 0);
    EXPECT_STREQ(host, "Client1.Example_Net");
    EXPECT_NE(info.getClientHostNameMangled("client1", host, sizeof host), 0);
    EXPECT_STREQ(host, "client1.example_net");
    EXPECT_EQ(info.getClientHostName("nobody", host, sizeof host), 0);
    EXPECT_EQ(info.getClientHostName("client1", host, 5), 0) << "too small a buffer";
    EXPECT_STREQ(info.getPhysicalMachine(), "phys1");
}

// Client ids, TalCell numbers and applications are read through these objects by the helpers
// of the indexing layer, and tested there.
TEST(PlatformInfo, ClientPropertiesAfterLookup) {
    SettingsFixture settings(kInstance);
    KRClient client("client1", false), unknown("nobody", false);
    EXPECT_EQ(client.getClientProperties(), nullptr) << "no properties before lookup";
    ASSERT_EQ(client.lookup(), 0);
    int threshold = 0;
    ASSERT_NE(client.getClientProperties(), nullptr);
    EXPECT_EQ(client.getClientProperties()->getDiskFullThreshold(&threshold, 0), 0);
    EXPECT_EQ(threshold, 90);
    EXPECT_EQ(client.getClientProperties()->getCacheAgingThreshold(&threshold, 0), ENOENT);
    EXPECT_EQ(unknown.lookup(), ENOENT);
}

TEST(PlatformInfo, LogonRecordsTheAccountAndRefusesListedOnes) {
    SettingsFixture settings(kInstance);
    KrNetMagneticMedia media;
    unsigned long error = 0;
    EXPECT_TRUE(media.impersonateUser("test", "indexer", "pw", error, false));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(KrNetMagneticMedia::loggedOnUser(), "indexer");
    EXPECT_EQ(media.getLoginToken(), KR_INVALID_LOGON_HANDLE);
    for (const auto& [user, expected] : {std::pair{"worse", EACCES}, {"", EINVAL}}) {
        EXPECT_FALSE(media.impersonateUser("test", user, "pw", error, false));
        EXPECT_EQ(error, static_cast<unsigned long>(expected)) << user;
    }
    EXPECT_EQ(KrNetMagneticMedia::loggedOnUser(), "indexer");
    EXPECT_EQ(KRImpersonateLoggedOnUser(KR_INVALID_LOGON_HANDLE), 0);
}
