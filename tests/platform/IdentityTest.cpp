#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "Platform/ApplicationId.h"
#include "Platform/KRClient.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPI_Krd.h"
#include "Platform/KRPI_MediaAgent.h"
#include "Platform/KRPI_Session.h"
#include "Platform/KRPI_TalClient.h"
#include "Platform/KRPI_TalServer.h"
#include "Platform/KRPlatformInfo.h"
#include "Platform/KRTalCell.h"
#include "Platform/KrNetMagneticMedia.h"
#include "Platform/SettingsStore.h"
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
}  // namespace

TEST(PlatformInfo, FocusAndRolesFromTheInstanceFile) {
    SettingsFixture settings(kInstance);
    EXPECT_STREQ(KRPI_Focus::getFocusClientName(false), "client1");
    EXPECT_EQ(KRPI_Focus::AmIAService(), 0);

    KRPI_Base base = focused<KRPI_Base>();
    EXPECT_TRUE(base.isPlatformTypeTC());
    EXPECT_TRUE(base.isPlatformTypeMA());
    EXPECT_FALSE(base.isPlatformTypeTS());
    EXPECT_STREQ(base.getHalcyTempDirectory(), "/var/tmp/vornica");

    KRPI_PlatformBase server(KRS_PLATFORMTYPE_TALSERVER), agent(KRS_PLATFORMTYPE_MEDIAAGENT), client(KRS_PLATFORMTYPE_TALCLIENT);
    ASSERT_NE(server.setFocus(KRPI_Focus::getFocus()), 0);
    ASSERT_NE(agent.setFocus(KRPI_Focus::getFocus()), 0);
    ASSERT_NE(client.setFocus(KRPI_Focus::getFocus()), 0);
    EXPECT_STREQ(server.getTalServerHostName(), "central.example");
    EXPECT_EQ(agent.getTalServerHostName(), nullptr);
    EXPECT_EQ(server.invalidKRPlatform(), 1);
    EXPECT_EQ(client.invalidKRPlatform(), 0);
    EXPECT_STREQ(agent.getHalcyTempDirectory(), "/var/tmp/ma");
    EXPECT_STREQ(client.getHalcyTempDirectory(), "/var/tmp/vornica");

    KRPI_Krd krd = focused<KRPI_Krd>();
    EXPECT_EQ(krd.getIndexDebug(false), 0x8006u);
    KRPI_Session session = focused<KRPI_Session>();
    EXPECT_FALSE(session.getHostName().empty());
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

    char small[4];
    int length = sizeof small;
    EXPECT_EQ(info.getString("MediaAgent", "IndexingUser", small, &length), 0) << "must not cut the value";
    EXPECT_EQ(length, 8);
    char buffer[1026];
    length = sizeof buffer;
    EXPECT_NE(info.getString("MediaAgent", "IndexingUser", buffer, &length), 0);
    EXPECT_STREQ(buffer, "indexer");

    int value = 0;
    EXPECT_FALSE(info.getRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", &value));
    EXPECT_TRUE(info.setRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", 1));
    KRPlatformInfo again = focused<KRPlatformInfo>();
    EXPECT_TRUE(again.getRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", &value));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(again.getRegInt("~Machines\\client1", "ClientId", &value));
    EXPECT_EQ(value, 17);

    char host[256];
    EXPECT_NE(info.getClientHostName("client1", host, sizeof host), 0);
    EXPECT_STREQ(host, "Client1.Example_Net");
    EXPECT_NE(info.getClientHostNameMangled("client1", host, sizeof host), 0);
    EXPECT_STREQ(host, "client1.example_net");
    EXPECT_EQ(info.getClientHostName("nobody", host, sizeof host), 0);
    EXPECT_EQ(info.getClientHostName("client1", host, 5), 0);
    EXPECT_STREQ(info.getPhysicalMachine(), "phys1");
}

TEST(PlatformInfo, DirectoriesAndAccounts) {
    SettingsFixture settings(kInstance);
    KRPI_MediaAgent agent = focused<KRPI_MediaAgent>();
    EXPECT_STREQ(agent.getIndexCacheDirectory("client1"), "/cache/client1");
    EXPECT_STREQ(agent.getIndexCacheDirectory("other"), "/cache/shared");
    std::string local;
    EXPECT_TRUE(agent.getIndexCacheDirectory("client1", "sLOCALINDEXCACHEPATH", local));
    EXPECT_EQ(local, "/local/cache");
    EXPECT_FALSE(agent.getIndexCacheDirectory("other", "sLOCALINDEXCACHEPATH", local));
    char user[1026], password[1026];
    EXPECT_NE(agent.getIndexingUserName("client1", user, sizeof user), 0);
    EXPECT_STREQ(user, "indexer");
    EXPECT_NE(agent.getIndexingUserPwd("client1", password, sizeof password), 0);
    EXPECT_STREQ(password, "");

    KRPI_TalClient client = focused<KRPI_TalClient>();
    char dir[1027], jrUser[1027], jrPassword[1027];
    ASSERT_TRUE(client.getJobResultsDirectory("client1", dir, jrUser, jrPassword, 1027));
    EXPECT_STREQ(dir, "/results");
    EXPECT_STREQ(jrUser, "jr");
    EXPECT_STREQ(jrPassword, "");
    EXPECT_FALSE(client.getJobResultsDirectory("other", dir, jrUser, jrPassword, 1027));
    EXPECT_STREQ(client.getJobResultsDirectory("client1"), "/results");

    KRPI_TalServer server = focused<KRPI_TalServer>();
    EXPECT_EQ(server.getIndexCacheDirectory("client1"), nullptr);
    EXPECT_EQ(server.getTalCellId(), 3u);
}

TEST(PlatformInfo, ClientsDomainsAndApplications) {
    SettingsFixture settings(kInstance);
    KRClient client("client1", false);
    EXPECT_EQ(client.getClientProperties(), nullptr) << "no properties before lookup";
    ASSERT_EQ(client.lookup(), 0);
    unsigned long id = 0;
    EXPECT_EQ(client.getClientId(id), 0);
    EXPECT_EQ(id, 17u);
    int threshold = 0;
    ASSERT_NE(client.getClientProperties(), nullptr);
    EXPECT_EQ(client.getClientProperties()->getDiskFullThreshold(&threshold, 0), 0);
    EXPECT_EQ(threshold, 90);
    EXPECT_EQ(client.getClientProperties()->getCacheAgingThreshold(&threshold, 0), ENOENT);
    KRClient unknown("nobody", false);
    EXPECT_EQ(unknown.lookup(), ENOENT);
    EXPECT_EQ(unknown.getClientId(id), ENOENT);

    unsigned long number = 0;
    EXPECT_EQ(KRTalCell(9).getTalCellNumber(number), 0);
    EXPECT_EQ(number, 5u);
    EXPECT_EQ(KRTalCell(4).getTalCellNumber(number), ENOENT);
    KRTalCell reverse(0);
    reverse.setTalCellNumber(2);
    EXPECT_EQ(reverse.getTalCellId(id), 0);
    EXPECT_EQ(id, 3u);
    reverse.setTalCellNumber(77);
    EXPECT_EQ(reverse.getTalCellId(id), ENOENT);

    ApplicationId app(2, 7);
    ASSERT_EQ(app.getApplicationId(), 0);
    std::string name;
    ASSERT_NE(app.getClient(), nullptr);
    EXPECT_EQ(app.getClient()->getClientName(name), 0);
    EXPECT_EQ(name, "client1");
    bool hasInstance = true;
    EXPECT_EQ(app.isInstanceAvailable(hasInstance), 0);
    EXPECT_FALSE(hasInstance);
    EXPECT_EQ(app.getInstance(), nullptr);
    ASSERT_NE(app.getSubclient(), nullptr);
    EXPECT_EQ(app.getSubclient()->getSubclientName(name), 0);
    EXPECT_EQ(name, "default");
    ApplicationId missing(2, 8);
    EXPECT_EQ(missing.getApplicationId(), ENOENT);
    EXPECT_EQ(missing.getClient(), nullptr);
}

TEST(PlatformInfo, LogonRecordsTheAccountAndRefusesListedOnes) {
    SettingsFixture settings(kInstance);
    KrNetMagneticMedia media;
    unsigned long error = 0;
    EXPECT_TRUE(media.impersonateUser("test", "indexer", "pw", error, false));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(KrNetMagneticMedia::loggedOnUser(), "indexer");
    EXPECT_EQ(media.getLoginToken(), KR_INVALID_LOGON_HANDLE);
    EXPECT_FALSE(media.impersonateUser("test", "worse", "pw", error, false));
    EXPECT_EQ(error, static_cast<unsigned long>(EACCES));
    EXPECT_FALSE(media.impersonateUser("test", "", "pw", error, false));
    EXPECT_EQ(error, static_cast<unsigned long>(EINVAL));
    EXPECT_EQ(KrNetMagneticMedia::loggedOnUser(), "indexer");
    EXPECT_EQ(KRImpersonateLoggedOnUser(KR_INVALID_LOGON_HANDLE), 0);
}
