#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <set>

#include "tests/cacheFs/ReservationFixture.h"
#include "tests/support/HelperProcess.h"

namespace {
std::set<std::string> pids(const std::vector<ReserveLine>& lines) {
    std::set<std::string> out;
    for (const ReserveLine& line : lines) out.insert(line.pid);
    return out;
}
}  // namespace

// 16 processes make 200 reservations each, every one through the file; after each, the writer
// finds all 16 lines whole and once. At the end each holds its last request; on exit each gives
// its line back.
TEST_F(Reservation, SixteenProcessesNeverLoseTearOrDuplicateALine) {
    constexpr int kProcesses = 16, kRounds = 200;
    std::vector<std::unique_ptr<HelperProcess>> loopers;
    for (int i = 0; i < kProcesses; ++i)
        loopers.push_back(std::make_unique<HelperProcess>(
            std::vector<std::string>{"reserve_loop", std::to_string(kRounds), std::to_string(kProcesses)}));
    for (auto& looper : loopers) ASSERT_EQ(looper->readLine(), "started");
    for (auto& looper : loopers) looper->writeLine("go");
    std::set<std::string> ids;
    for (auto& looper : loopers) {
        const std::string said = looper->readLine(110000);
        ASSERT_EQ(said.substr(0, 5), "done ") << said;
        ids.insert(said.substr(5));
    }
    const std::vector<ReserveLine> final = lines();
    EXPECT_EQ(final.size(), size_t(kProcesses));
    EXPECT_EQ(pids(final), ids);
    for (const ReserveLine& line : final) EXPECT_EQ(line.blocks, (kRounds * 7 * 1024 + 2500000) / 1024);
    for (auto& looper : loopers) {
        looper->writeLine("exit");
        EXPECT_EQ(looper->wait(), 0);
    }
    EXPECT_EQ(readFileText(reserveFile()), "");
}

// The next writer prunes the lines of processes killed outright and keeps the others'.
TEST_F(Reservation, LinesOfKilledProcessesArePrunedByTheNextWriter) {
    std::vector<std::unique_ptr<HelperProcess>> holders;
    std::vector<std::string> ids;
    for (int i = 0; i < 3; ++i) {
        holders.push_back(std::make_unique<HelperProcess>(std::vector<std::string>{"reserve_hold", "1000000"}));
        const std::string said = holders.back()->readLine();
        ASSERT_EQ(said.substr(0, 6), "ready ") << said;
        ids.push_back(said.substr(6));
    }
    for (int i : {0, 2}) {
        holders[i]->kill(SIGKILL);
        holders[i]->wait();
    }
    EXPECT_EQ(pids(lines()).size(), 3u) << "nobody wrote since";
    TestCacheFs cache;
    ASSERT_EQ(cache.reserve(0, 0, 0, 0), 1);
    EXPECT_EQ(pids(lines()), (std::set<std::string>{ids[1], myId()}));
    holders[1]->writeLine("exit");
    EXPECT_EQ(holders[1]->wait(), 0);
    EXPECT_EQ(pids(lines()), (std::set<std::string>{myId()}));
}
