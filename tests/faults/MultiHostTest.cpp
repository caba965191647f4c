// Three hosts on one cache root, simulated on this machine: each host is a UTS and pid namespace
// of its own (its own host name; its processes have the same pids as the other hosts' have) with
// its own settings (client name and client id), as a deployment on a shared volume gives them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "Indexing/cacheFs/CacheTypes.h"
#include "Indexing/cacheFs/ReserveFileLines.h"
#include "Indexing/idxport/CXCopyFile.h"
#include "Platform/TempNames.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/ReserveText.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {
constexpr int kHosts = 3;
constexpr int kWorkersPerHost = 3;
constexpr int kSeconds = 6;

class MultiHost : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "simulating hosts needs root (unshare of UTS and pid namespaces)";
        if (system("unshare --uts --pid --fork --mount-proc true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "unshare --uts --pid --fork --mount-proc does not work here";
        root_ = dir_.file("root");
        fs::create_directories(root_ + "/names");
        for (int n = 1; n <= kHosts; ++n) {
            const std::string host = std::to_string(n), home = dir_.file("host" + host);
            fs::create_directories(home + "/log");
            fs::create_directories(home + "/lock");
            writeFileText(home + "/settings.ini",
                          "[Focus]\nClientName=client" + host + "\n[MediaAgent]\nIndexCacheDirectory=" + root_ +
                              "\ndINDEXCLEANALLDAYS=0\nsDISABLERESERVE=n\n[Platform]\nTalClient=1\n[~Machines\\client" +
                              host + "]\nClientId=" + host + "\nJobResultsDirectory=" + root_ + "\n");
        }
    }

    // A shell command line that runs `commands` as host `host`: its own namespaces, host name
    // and settings; every process it starts has a pid of that namespace only.
    std::string asHost(int host, const std::string& commands) const {
        const std::string home = dir_.file("host" + std::to_string(host));
        return "unshare --uts --pid --fork --mount-proc sh -c 'hostname vhost" + std::to_string(host) +
               " || exit 90; export VORNICA_CONFIG=" + home + "/settings.ini VORNICA_DEBUG_DIR=" + home +
               "/log/ VORNICA_LOCK_DIR=" + home + "/lock; " + commands + "' </dev/null";
    }
    static std::string helper() { return VORNICA_TEST_HELPER; }
    // The reserve file the hosts share, wherever the root's layout puts it.
    std::string reserveFile() const {
        for (const auto& entry : fs::recursive_directory_iterator(root_))
            if (entry.path().filename() == kReserveFileName) return entry.path().string();
        return root_ + "/no reserve file";
    }
    std::vector<ReserveLine> reserveLines() const { return reserveLinesOf(readFileText(reserveFile())); }
    bool hasHead(const std::string& head) const {
        const auto lines = reserveLines();
        return std::any_of(lines.begin(), lines.end(), [&](const ReserveLine& line) { return line.head == head; });
    }

    TempDir dir_;
    std::string root_;
};
}  // namespace

TEST_F(MultiHost, ProcessesOfThreeHostsKeepTheirReservationsDirectoriesAndNames) {
    const std::string journal = dir_.file("journal");
    const time_t deadline = time(nullptr) + kSeconds;
    std::vector<std::thread> hosts;
    std::vector<int> codes(kHosts, -1);
    for (int host = 1; host <= kHosts; ++host) {
        std::string workers;
        for (int w = 0; w < kWorkersPerHost; ++w)
            workers += helper() + " multihost_worker " + std::to_string(host * 100 + w) + " " + std::to_string(deadline) +
                       " " + journal + " " + root_ + " & ";
        hosts.emplace_back([this, &codes, host, workers] { codes[host - 1] = runCommand(asHost(host, workers + "wait")); });
    }
    for (auto& thread : hosts) thread.join();
    EXPECT_EQ(codes, std::vector<int>(kHosts, 0)) << "the exit codes of the hosts";

    std::map<std::string, unsigned> counts;
    std::set<std::string> names;
    std::istringstream lines(readFileText(journal));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string kind, host, name;
        words >> kind >> host >> name;
        if (kind == "VIOLATION") ADD_FAILURE() << line;
        if (kind == "NAME") {
            EXPECT_TRUE(names.insert(name).second) << "made twice: " << name;
            EXPECT_NE(name.find("." + host + "."), std::string::npos) << name << " lacks its host " << host;
        }
        ++counts[kind == "OK" ? line : kind];
    }
    for (const auto& [what, count] : counts) std::cout << "  " << count << "  " << what << "\n";
    EXPECT_GT(counts["OK reserve"], 0u);
    EXPECT_GT(counts["OK create"], 0u);
    EXPECT_GT(counts["OK cleanup"], 0u);
    EXPECT_GT(names.size(), 0u);
    EXPECT_TRUE(reserveLines().empty()) << "lines left after every worker gave all back:\n"
                                        << readFileText(reserveFile());
}

// A process that died with a reservation: another host cannot see its processes and keeps the
// line (a day-old remote line goes by age); its own host, with the same pid running again after
// a restart, drops it as dead and never takes it for its own.
TEST_F(MultiHost, ADeadProcessLineIsDroppedByItsOwnHostAndByOthersOnlyByAge) {
    auto reserveAs = [&](int host, const char* how, std::string& head) {
        const int code = runCommand(asHost(host, helper() + " multihost_reserve " + how), &head);
        if (!head.empty() && head.back() == '\n') head.pop_back();
        return code;
    };
    // The pid of a line's head: "<client id>:<pid>/<start>/<start>".
    auto pidOf = [](const std::string& head) { return head.substr(0, head.find('/')).substr(head.find(':') + 1); };
    std::string dead, other, again;
    reserveAs(1, "die", dead);
    ASSERT_EQ(dead.rfind("1:", 0), 0u) << "no id from the dying process: '" << dead << "'";
    ASSERT_TRUE(hasHead(dead)) << readFileText(reserveFile());

    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    const std::string file = readFileText(reserveFile());
    writeFileText(reserveFile(), file + formatOwnReserveLine("9", "1/0/1", 10, now - 90000) + "\r\n" +
                                          formatOwnReserveLine("9", "1/0/2", 10, now) + "\r\n");
    ASSERT_EQ(reserveAs(2, "pass", other), 0);
    ASSERT_EQ(pidOf(other), pidOf(dead)) << "host 2 ran no process with the dead one's pid: " << other;
    EXPECT_TRUE(hasHead(dead)) << "host 2 dropped host 1's line of a pid it cannot see";
    EXPECT_FALSE(hasHead("9:1/0/1")) << "a remote line older than a day was kept";
    EXPECT_TRUE(hasHead("9:1/0/2")) << "a fresh remote line was dropped";

    ASSERT_EQ(reserveAs(1, "pass", again), 0);
    ASSERT_EQ(pidOf(again), pidOf(dead)) << "host 1 ran no process with the dead one's pid: " << again;
    EXPECT_FALSE(hasHead(dead)) << "host 1 kept the line of its own dead process";
    EXPECT_TRUE(hasHead("9:1/0/2"));
}

// A copy is made under a temporary name of this host and process: another host's process of the
// same pid copying into the same folder gets another name.
TEST(MultiHostNames, ACopyGoesThroughATemporaryNameOfThisHostAndProcess) {
    TempDir dir;
    writeFileText(dir.file("from"), "contents\n");
    const std::string ours = ".cxcopy.copy." + TempNames::hostPart() + "." + std::to_string(getpid()) + ".";
    int error = 0;
    EXPECT_EQ(countSysCalls([&] { EXPECT_EQ(CXCopyFile(dir.file("from").c_str(), dir.file("to").c_str(), &error), 0); },
                            SysKind::Open, ours),
              1)
        << "no exclusive creation of a name starting " << ours;
}
