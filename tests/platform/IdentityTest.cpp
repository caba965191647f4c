#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "Platform/KRClient.h"
#include "Platform/KRPI_Focus.h"
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

// What the indexing layer reads through these objects (client ids, host names, TalCells, the
// debug mask, the logon user...) is tested with the helpers that read it; here what only the
// objects decide.
TEST(PlatformInfo, RolesAndPerTypeOrPerClientSectionsBeforeTheCommonOnes) {
    SettingsFixture settings(kInstance);
    KRPI_Base base = focused<KRPI_Base>();
    EXPECT_EQ(std::make_tuple(base.isPlatformTypeTC(), base.isPlatformTypeMA(), base.isPlatformTypeTS()),
              std::make_tuple(true, true, false));
    KRPI_PlatformBase server(KRS_PLATFORMTYPE_TALSERVER), agent(KRS_PLATFORMTYPE_MEDIAAGENT), client(KRS_PLATFORMTYPE_TALCLIENT);
    for (KRPI_PlatformBase* object : {&server, &agent, &client}) ASSERT_NE(object->setFocus(KRPI_Focus::getFocus()), 0);
    EXPECT_EQ(std::make_pair(server.invalidKRPlatform(), client.invalidKRPlatform()), std::make_pair(1, 0));
    EXPECT_STREQ(agent.getHalcyTempDirectory(), "/var/tmp/ma");
    EXPECT_STREQ(client.getHalcyTempDirectory(), "/var/tmp/vornica");

    KRPI_MediaAgent media = focused<KRPI_MediaAgent>();
    EXPECT_EQ(text(media.getIndexCacheDirectory("client1")) + " " + text(media.getIndexCacheDirectory("other")),
              "/cache/client1 /cache/shared");
    KRPI_TalClient talClient = focused<KRPI_TalClient>();
    char dir[1027], jrUser[1027], jrPassword[1027];
    ASSERT_TRUE(talClient.getJobResultsDirectory("client1", dir, jrUser, jrPassword, 1027));
    EXPECT_EQ(std::string(dir) + " " + jrUser + " " + jrPassword, "/results jr ");
    EXPECT_FALSE(talClient.getJobResultsDirectory("other", dir, jrUser, jrPassword, 1027));
    EXPECT_EQ(focused<KRPI_TalServer>().getIndexCacheDirectory("client1"), nullptr) << "not a media agent";
    KRClient known("client1", false), unknown("nobody", false);
    EXPECT_EQ(known.getClientProperties(), nullptr) << "no properties before lookup";
    ASSERT_EQ(known.lookup(), 0);
    int threshold = 0;
    ASSERT_NE(known.getClientProperties(), nullptr);
    EXPECT_EQ(known.getClientProperties()->getDiskFullThreshold(&threshold, 0), 0);
    EXPECT_EQ(threshold, 90);
    EXPECT_EQ(known.getClientProperties()->getCacheAgingThreshold(&threshold, 0), ENOENT);
    EXPECT_EQ(unknown.lookup(), ENOENT);

    // Nothing is answered before setFocus or with an empty focus.
    KRPI_MediaAgent unfocused;
    EXPECT_EQ(unfocused.getIndexCacheDirectory("client1"), nullptr);
    EXPECT_EQ(unfocused.setFocus("") + unfocused.setFocus(nullptr), 0);
    setenv("VORNICA_INSTANCE", "", 1);
    EXPECT_EQ(KRPI_Focus::getFocusClientName(false), nullptr);
    unsetenv("VORNICA_INSTANCE");
}

TEST(PlatformInfo, ValuesAreNeverCutRegistryIntegersAreWrittenBackAndLogonsRefuseListedAccounts) {
    SettingsFixture settings(kInstance);
    KRPlatformInfo info = focused<KRPlatformInfo>();
    char small[4], buffer[1026];
    int length = sizeof small;
    EXPECT_EQ(info.getString("MediaAgent", "IndexingUser", small, &length), 0) << "must not cut the value";
    EXPECT_EQ(length, 8);
    length = sizeof buffer;
    EXPECT_NE(info.getString("MediaAgent", "IndexingUser", buffer, &length), 0);
    EXPECT_STREQ(buffer, "indexer");
    EXPECT_EQ(info.getClientHostName("client1", buffer, 5), 0) << "too small a buffer";

    int value = 0;
    EXPECT_FALSE(info.getRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", &value));
    EXPECT_TRUE(info.setRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", 1));
    EXPECT_TRUE(focused<KRPlatformInfo>().getRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", &value));
    EXPECT_EQ(value, 1);

    // A logon refuses the listed accounts and keeps the last one it took.
    KrNetMagneticMedia media;
    unsigned long error = 0;
    EXPECT_TRUE(media.impersonateUser("test", "indexer", "pw", error, false));
    for (const auto& [user, expected] : {std::pair{"worse", EACCES}, {"", EINVAL}}) {
        EXPECT_FALSE(media.impersonateUser("test", user, "pw", error, false));
        EXPECT_EQ(error, static_cast<unsigned long>(expected)) << user;
    }
    EXPECT_EQ(KrNetMagneticMedia::loggedOnUser(), "indexer");
}
