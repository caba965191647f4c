#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Indexing/idxport/CXTempFile.h"
#include "tests/support/SettingsFixture.h"

TEST(CXTempFile, UniqueNamesInTheTemporaryDirectory) {
    SettingsFixture settings;
    settings.write("[Platform]\nTempDirectory=" + settings.dir().path() + "\n");
    CXTempFile first, second;
    const mode_t saved = umask(0);
    ASSERT_EQ(first.create("paging"), 0);
    umask(saved);
    EXPECT_EQ(modeOf(first.getName()), 0600u) << "private to its owner in a shared directory";
    ASSERT_EQ(second.create("paging"), 0);
    // <dir>/paging_<pid>_<creation high>_<creation low>_<n>
    const std::string head = settings.dir().path() + "/paging_" + std::to_string(getpid()) + "_";
    std::string name = first.getName();
    ASSERT_EQ(name.compare(0, head.size(), head), 0) << name;
    unsigned long high = 0, low = 0;
    int n = -1;
    EXPECT_EQ(sscanf(name.c_str() + head.size(), "%lu_%lu_%d", &high, &low, &n), 3) << name;
    EXPECT_EQ(n, 0);
    EXPECT_EQ(std::string(second.getName()), name.substr(0, name.size() - 1) + "1");

    settings.write("");
    CXTempFile none;
    EXPECT_EQ(none.create("paging"), -1);
    EXPECT_EQ(none.getLastError(), kErrNoTempDirectory);

    settings.write("[Platform]\nTempDirectory=" + settings.dir().file("missing") + "\n");
    EXPECT_EQ(none.create("paging"), -1);
    EXPECT_EQ(none.getLastError(), kErrNotFound) << "other open failures end the search at once";
}
