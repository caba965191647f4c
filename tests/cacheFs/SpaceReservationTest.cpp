#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "Indexing/idxport/CXAutoCritSect.h"
#include "Indexing/idxport/CXFile.h"
#include "tests/cacheFs/ReservationFixture.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SleepRecorder.h"

// Requests that go to the file reserve their size plus 2,500,000 bytes; smaller ones are served
// from the buffer; releases give back only from reservations of at least that pad.
TEST_F(Reservation, BlocksBufferAndReleaseRules) {
    enum Op { reserve, release, giveBack, releaseAll, unused };
    const struct { Op op; uint64_t amount; int result; long lineBlocks /* -1: no line */; uint64_t buffer; } steps[] = {
        {reserve, 10000000, 1, 12207, 12499968},
        {reserve, 5000000, 1, 12207, 7499968},    // from the buffer
        {release, 2499999, 0, 12207, 7499968},    // below the pad: nothing
        {release, 4000000, 0, 8301, 8500224},     // 12207 - 4000000 / 1024
        {release, 4000000, 0, 8301, 8500224},     // the 1,000,000 left of the last request: below the pad
        {releaseAll, 0, 0, -1, 0},
        {reserve, 0, 1, 2441, 2499584},
        {reserve, 1000000, 1, 2441, 1499584},     // a reservation below the pad ...
        {release, 5000000, 0, 2441, 1499584},     // ... gives nothing back
        {reserve, 10000000, 1, 12207, 12499968},  // more than the buffer: to the file
        {release, 20000000, 0, 2442, 2500608},    // at most the last request: 12207 - 10000000 / 1024
        {unused, 1000, 0, 2442, 2501608},         // back to the buffer, not to the file
        {giveBack, 5000, 1, -1, 0},               // more than the line holds
    };
    const mode_t umaskBefore = umask(0);
    TestCacheFs cache;
    ASSERT_TRUE(cache.isInitialized());
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& step = steps[i];
        const int result = step.op == reserve    ? cache.reserve(step.amount, 0, 0, 0)
                     : step.op == release  ? cache.release(step.amount, false)
                     : step.op == giveBack ? cache.reserveOnDisk(-static_cast<long>(step.amount), 0, 0, 0, false)
                     : step.op == unused   ? (cache.unreserve(step.amount), 0)
                                           : cache.release(0, true);
        EXPECT_EQ(result, step.result) << "step " << i;
        EXPECT_EQ(ownBlocks(), step.lineBlocks) << "step " << i << ": " << readFileText(reserveFile());
        EXPECT_EQ(cache.getReserveBuffer(), step.buffer) << "step " << i;
    }
    umask(umaskBefore);
    EXPECT_TRUE(cache.cleanupDemands.empty());
    EXPECT_EQ(fs::status(reserveFile()).permissions(), fs::perms(0666)) << "every account of the product locks and rewrites it";
}

// What the next writer keeps of other processes' lines: by machine, liveness, age and form,
// whatever the line ends. A dropped line never takes the lines after it along.
TEST_F(Reservation, WhichLinesTheNextWriterKeeps) {
    HelperProcess live({"process_id"});
    const std::string liveId = live.readLine();
    HelperProcess dead({"process_id"});
    const std::string deadId = dead.readLine();
    dead.closeInput();
    dead.wait();
    const uint32_t now = JobResultsCacheFs::getCurrentTime();
    auto at = [&](int64_t offset) { return " " + std::to_string(now + offset); };
    const std::string remote = "999:1/2/3 ";
    const struct { std::string line, written; /* "" when dropped */ } rows[] = {
        {"42:" + liveId + " 100" + at(0), "="},
        {"42:" + liveId.substr(0, liveId.find('/')) + "/1/2 100" + at(0), ""},  // the pid names another process now
        {"42:" + deadId + " 100" + at(0), ""},
        {liveId + " 100", "="},  // the older form: no host, no time
        {liveId + " 100" + at(0), liveId + " 100"},
        {deadId + " 100", ""},
        {remote + "100" + at(-86300), "="},  // another machine's: kept for a day
        {remote + "100" + at(-86500), ""},
        {remote + "100" + at(5000), "="},  // its clock is ahead
        {"42:" + liveId + " 100" + at(-86500), ""},
        {remote + "100", ""},  // torn: a host but no time
        {remote + "100" + at(0) + " and more", remote + "100" + at(0)},
        {"nonsense", ""},
        {remote + "many" + at(0), ""},
        {remote + "4294967296" + at(0), ""},  // wider than 32 bits
        {remote + "100 4294967296", ""},
        {remote + "4294967295" + at(0), "="},
        {"999:" + std::string(1005, 'q') + " 1" + at(0), "="},  // 1022 characters
        {"999:" + std::string(1006, 'q') + " 1" + at(0), ""},
        {remote + std::string(10 << 20, '7'), ""},
        {remote + std::string("1\0 2", 4), ""},
        {"", ""},
    };
    for (const char* end : {"\r\n", "\n", "\r"}) {
        std::string input, expected;
        for (const auto& row : rows) {
            input += row.line + end;
            if (!row.written.empty()) expected += (row.written == "=" ? row.line : row.written) + "\r\n";
        }
        writeFileText(reserveFile(), input);
        TestCacheFs cache;
        cache.free = uint64_t(1) << 40;  // room beside the widest line
        cache.setReserveBuffer(0);
        ASSERT_EQ(cache.reserve(10000000, 0, 0, 0), 1);
        const std::string text = readFileText(reserveFile());
        EXPECT_EQ(text.substr(0, expected.size()), expected) << "line ends " << (end[0] == '\r' ? end[1] ? "CR LF" : "CR" : "LF");
        const std::string own = "42:" + ownProcessId() + " 12207 ";
        EXPECT_EQ(text.substr(expected.size(), own.size()), own);
    }
    live.closeInput();
}

// A request is granted only when the free space less what the others reserved holds it, as
// measured after a cleanup that ran without the file's lock and was asked for both.
TEST_F(Reservation, GrantedOnlyWhenFreeSpaceLessOthersHoldsTheRequest) {
    const uint64_t request = 20 * kGiB, requestBlocks = (request + 2500000) / 1024;
    const struct { uint64_t others, freed, reservedMeanwhile; int result; bool cleanup; } rows[] = {
        {30 * kGiBBlocks, 0, 0, 0, true},  // the cleanup reports success but frees nothing
        {30 * kGiBBlocks, 20 * kGiBBlocks, 0, 1, true},
        {30 * kGiBBlocks, 20 * kGiBBlocks, 10 * kGiBBlocks, 0, true},  // another process reserved during the cleanup
        {0, 0, 0, 1, false},
    };
    const std::string time = " " + std::to_string(JobResultsCacheFs::getCurrentTime()) + "\r\n";
    for (const auto& row : rows) {
        const std::string before = "7:1/1/1 " + std::to_string(row.others) + time;
        writeFileText(reserveFile(), before);
        TestCacheFs cache;
        cache.free = 35 * kGiBBlocks;
        cache.freedByCleanup = row.freed;
        std::string probed;
        cache.duringCleanup = [&] {
            runHelper({"file_probe", reserveFile(), "exclusive"}, &probed);
            if (row.reservedMeanwhile != 0)
                writeFileText(reserveFile(), before + "8:1/1/1 " + std::to_string(row.reservedMeanwhile) + time);
        };
        EventCapture capture;
        EXPECT_EQ(cache.reserve(request, 0, 0, 0), row.result) << row.others << " " << row.freed;
        EXPECT_EQ(cache.cleanupDemands, row.cleanup ? std::vector<long>{long(requestBlocks + row.others)} : std::vector<long>{});
        EXPECT_EQ(probed, row.cleanup ? "1\n" : "") << "the file is not locked during the cleanup";
        EXPECT_EQ(ownBlocks(), row.result == 1 ? long(requestBlocks) : -1);
        EXPECT_EQ(lines().size(), (row.result == 1) + 1u + (row.reservedMeanwhile != 0));
        const auto pending = capture.ofKind("jobcontrol");
        ASSERT_EQ(pending.size(), row.result == 0 ? 2u : 0u);
        if (row.result == 0) {
            EXPECT_EQ(pending[1].jobId, 77);
            EXPECT_EQ(pending[1].args[0], JournalArg::ofSigned(0xE00007B));
            EXPECT_EQ(pending[1].args[1], JournalArg::ofSigned(150));
        }
    }
}

// A write that fails part-way (a file size limit; a full volume, where this test may mount one)
// puts the old bytes back: no other process's line is lost.
TEST_F(Reservation, AFailedWriteLeavesTheOldBytes) {
    // 4090 bytes: one page of the volume; the new line needs a second.
    const std::string time = std::to_string(JobResultsCacheFs::getCurrentTime());
    std::string before;
    for (int i = 0; before.size() < 4000; ++i) before += "999:" + std::to_string(i) + "/1/1 1 " + time + "\r\n";
    before += "999:" + std::string(4090 - before.size() - 9 - time.size(), 'x') + " 1 " + time + "\r\n";
    for (const bool fullVolume : {false, true}) {
        if (fullVolume) {
            if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("none", settings.dir().file("idx/KR_Index").c_str(), "tmpfs", 0, "size=8k") != 0)
                GTEST_SKIP() << "cannot mount a small volume here";
            writeFileText(settings.dir().file("idx/KR_Index/filler"), std::string(4096, 'f'));
        }
        writeFileText(reserveFile(), before);
        TestCacheFs cache;
        signal(SIGXFSZ, SIG_IGN);
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, limited{before.size() + 10, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, fullVolume ? &unlimited : &limited);
        EventCapture capture;
        EXPECT_EQ(cache.reserve(10000000, 0, 0, 0), -1);
        setrlimit(RLIMIT_FSIZE, &unlimited);
        EXPECT_EQ(readFileText(reserveFile()), before) << "full volume " << fullVolume;
        EXPECT_TRUE(logged(capture, std::string("putLine into %s failed, code ") + (fullVolume ? "28" : "27")));
        EXPECT_EQ(cache.getReserveBuffer(), 0u);
    }
    umount(settings.dir().file("idx/KR_Index").c_str());
}

// A process killed between the in-place write of a shorter content and the cut leaves the new
// lines and nothing of the old tail: no line twice, no fragment.
TEST_F(Reservation, AKillBeforeTheCutLeavesOnlyTheNewLines) {
    if (!straceAvailable()) GTEST_SKIP() << "strace is not available";
    const std::string other = "99:1/2/3 100 " + std::to_string(JobResultsCacheFs::getCurrentTime());
    const std::string command = kUnderStrace + " -e trace=ftruncate -e inject=ftruncate:signal=SIGKILL " +
                                std::string(VORNICA_TEST_HELPER) + " reserve_release_behind '" + other + "'";
    EXPECT_NE(system(command.c_str()), 0) << "the helper was to be killed at the cut";
    int malformed = 0;
    const std::vector<ReserveLine> left = reserveLinesOf(readFileText(reserveFile()), &malformed);
    ASSERT_EQ(left.size(), 1u) << readFileText(reserveFile());
    EXPECT_EQ(left[0].head, "99:1/2/3");
    EXPECT_EQ(malformed, 0);
}

// A reserve file that cannot be read or is no regular file fails the transaction at once, and
// one that another process keeps locked after 30 minutes (short steps where the wait polls).
// Nothing is written; every failure raises 0xE00004D, at most 12 times per object.
TEST_F(Reservation, FailuresChangeNothingAndRaiseAtMostTwelveEvents) {
    const std::string target = settings.dir().file("target"), before = "999:1/2/3 1 1\r\n";
    static int reads;
    const CXFile::ReadCall failPartWay = [](int fd, char* buffer, unsigned long size) -> long {
        if (++reads == 1) return ::read(fd, buffer, std::min(size, 10ul));
        errno = EIO;
        return -1;
    };
    const struct { std::function<int()> make; std::string log; } rows[] = {
                {[&] { return symlink(target.c_str(), reserveFile().c_str()); }, "cannot open reserve file %s, code 40"},
                {[&] { return mkfifo(reserveFile().c_str(), 0666); }, "cannot open reserve file %s, code 22"},
                {[&] { return mkdir(reserveFile().c_str(), 0755); }, "cannot open reserve file %s, code 21"},
                {[&] { return writeFileText(reserveFile(), before), reads = 0, CXFile::setReadCallForTests(failPartWay), 0; },
                 "getLine from %s failed, code 5"}};
    writeFileText(target, before);
    TestCacheFs cache;
    EventCapture capture;
    for (const auto& row : rows) {
        fs::remove(reserveFile());
        ASSERT_EQ(row.make(), 0);
        EXPECT_EQ(cache.reserve(10000000, 0, 0, 0), -1);
        CXFile::setReadCallForTests(nullptr);
        EXPECT_TRUE(logged(capture, row.log)) << row.log;
    }
    EXPECT_EQ(readFileText(target), before);
    EXPECT_EQ(readFileText(reserveFile()), before) << "the read error";

    HelperProcess holder({"file_lock", reserveFile(), "exclusive"}, "ready");
    SleepRecorder sleeps;
    EXPECT_EQ(cache.reserve(10000000, 0, 0, 0), -1);
    unsigned long waited = 0;
    for (unsigned long ms : sleeps.ms) {
        EXPECT_LE(ms, waited < 10000 ? 4u : 100u) << "after " << waited << " ms of waiting";
        waited += ms;
    }
    EXPECT_EQ(waited, 1800000u) << "30 minutes in all";
    EXPECT_TRUE(logged(capture, "lock timed out for reserve file %s, code 11"));
    for (int i = 0; i < 8; ++i) cache.reserve(10000000, 0, 0, 0);
    const auto events = capture.ofKind("event");
    ASSERT_EQ(events.size(), 12u) << "of 13 failures";
    EXPECT_EQ(events[0].messageId, 0xE00004Du);
    EXPECT_EQ(events[0].args, (std::vector{JournalArg::ofSigned(12207), JournalArg::ofText(cache.getCacheFs())}));
}

// A waiter follows a holder in another process at the first try after its release (a wait that
// polls: the sleep hook stands in for the kernel's), leaving the process-wide section while it
// waits, so that the process's other threads go on. A grant on a file that another process
// replaced during the wait guards nothing: the waiter writes its line into the new file.
TEST_F(Reservation, AWaiterTakesTheLockAtTheNextShortPauseAfterItsRelease) {
    TestCacheFs cache;
    for (const bool replaced : {false, true}) {
        cache.setReserveBuffer(0);
        writeFileText(reserveFile(), "");
        HelperProcess holder({"file_lock", reserveFile(), "exclusive"}, "ready");
        const size_t releaseAt = replaced ? 1 : 200;
        bool othersEntered = false;
        SleepRecorder sleeps([&](size_t count) {
            if (count != releaseAt) return;
            // Detached: should the section be held, the thread enters it once the wait is over.
            auto entered = std::make_shared<std::promise<void>>();
            std::thread([entered] {
                CXAutoCritSect other(&cacheFsCritSect(), "test", true);
                entered->set_value();
            }).detach();
            othersEntered = entered->get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
            writeFileText(reserveFile() + ".new", "");
            EXPECT_EQ(replaced ? rename((reserveFile() + ".new").c_str(), reserveFile().c_str()) : 0, 0);
            holder.writeLine("release");
            EXPECT_EQ(holder.wait(), 0);
        });
        EXPECT_EQ(cache.reserve(10000000, 0, 0, 0), 1);
        EXPECT_TRUE(othersEntered) << "the section was held through the wait";
        EXPECT_EQ(sleeps.ms.size(), releaseAt) << "tries after the release";
        EXPECT_LE(*std::max_element(sleeps.ms.begin(), sleeps.ms.end()), 4u);
        EXPECT_EQ(ownBlocks(), 12207) << "replaced " << replaced;
    }
}

// A job that lives off its buffer writes its line again once it is half a day old, so that no
// other writer drops it at a day while the job still writes. A step of the clock moves the boot
// time this process's id text is made from: the process still knows its line, replaces it
// instead of adding a second one and gives it back.
TEST_F(Reservation, TheOwnLineIsWrittenAgainWhenHalfADayOld) {
    TestCacheFs cache;
    ASSERT_EQ(cache.reserve(10000000, 0, 0, 0), 1);
    const uint32_t written = lines().at(0).time;
    const struct { uint32_t ahead, lineTime; } rows[] = {{11 * 3600, written}, {13 * 3600, written + 13 * 3600}};
    uint64_t buffer = 12499968;
    for (const auto& row : rows) {
        cache.shiftClock(row.ahead);
        EXPECT_EQ(cache.reserve(1000000, 0, 0, 0), 1);
        EXPECT_EQ(cache.getReserveBuffer(), buffer -= 1000000);
        ASSERT_EQ(lines().size(), 1u);
        EXPECT_EQ(lines()[0].blocks, 12207u);
        EXPECT_NEAR(lines()[0].time, row.lineTime, 2) << row.ahead;
    }
    const std::string before = ownProcessId();
    CXProcessId::setBootTimeShift(1);  // EXPECT only until it is undone
    EXPECT_NE(ownProcessId(), before);
    cache.setReserveBuffer(0);
    EXPECT_EQ(cache.reserve(20000000, 0, 0, 0), 1);
    EXPECT_EQ(lines().size(), 1u);
    EXPECT_EQ(cache.release(0, true), 0);
    CXProcessId::setBootTimeShift(0);
    EXPECT_EQ(readFileText(reserveFile()), "");
}

// Each reserve file has the process's buffer and line of its own; the last object of the process
// gives back its line in every one of them, a failure there is logged.
TEST_F(Reservation, EachReserveFileHasItsOwnBufferAndTheLastObjectGivesAllBack) {
    auto first = std::make_unique<TestCacheFs>();
    configure("sDISABLERESERVE=no\n", "idx2");
    auto second = std::make_unique<TestCacheFs>();
    auto third = std::make_unique<TestCacheFs>();
    ASSERT_EQ(first->reserve(10000000, 0, 0, 0), 1);
    ASSERT_EQ(second->reserve(1000000, 0, 0, 0), 1);
    EXPECT_EQ(ownBlocks("idx"), 12207);
    EXPECT_EQ(ownBlocks("idx2"), 3417);
    EXPECT_EQ(first->getReserveBuffer(), 12499968u);
    EXPECT_EQ(third->getReserveBuffer(), 3417u * 1024);
    first.reset();
    second.reset();
    EXPECT_EQ(ownBlocks("idx"), 12207) << "objects remain";
    EventCapture capture;
    third.reset();
    EXPECT_EQ(ownBlocks("idx"), -1);
    EXPECT_EQ(ownBlocks("idx2"), -1);
    EXPECT_TRUE(capture.ofKind("event").empty());

    auto last = std::make_unique<TestCacheFs>();
    ASSERT_EQ(last->reserve(1000000, 0, 0, 0), 1);
    fs::remove(reserveFile("idx2"));
    fs::create_directory(reserveFile("idx2"));
    last.reset();
    EXPECT_TRUE(logged(capture, "destructor: reserveOnDisk() exception, errno=21"));
}

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
    EXPECT_EQ(pids(), ids);
    for (const ReserveLine& line : final) EXPECT_EQ(line.blocks, (kRounds * 7 * 1024 + 2500000) / 1024);
    for (auto& looper : loopers) {
        looper->writeLine("exit");
        EXPECT_EQ(looper->wait(), 0);
    }
    EXPECT_EQ(readFileText(reserveFile()), "");
}

// The next writer prunes the lines of processes killed outright and keeps the others'. A process
// whose settings do not say "no" reserves nothing: the decision is made once per process, so a
// fresh process makes it from the setting.
TEST_F(Reservation, LinesOfKilledProcessesArePrunedByTheNextWriter) {
    configure("");
    std::vector<std::unique_ptr<HelperProcess>> holders;
    std::vector<std::string> ids;
    for (int i = 0; i < 4; ++i) {
        if (i == 1) configure("sDISABLERESERVE=No\n");
        holders.push_back(std::make_unique<HelperProcess>(std::vector<std::string>{"reserve_hold", "1000000"}));
        const std::string said = holders.back()->readLine();
        ASSERT_EQ(said.substr(0, 6), "ready ") << said;
        ids.push_back(said.substr(6));
        EXPECT_TRUE(i != 0 || !fs::exists(reserveFile())) << "reserved while disabled";
    }
    for (int i : {1, 3}) {
        holders[i]->kill(SIGKILL);
        holders[i]->wait();
    }
    EXPECT_EQ(pids().size(), 3u) << "nobody wrote since";
    TestCacheFs cache;
    ASSERT_EQ(cache.reserve(0, 0, 0, 0), 1);
    EXPECT_EQ(pids(), (std::set<std::string>{ids[2], ownProcessId()}));
    for (int i : {0, 2}) {
        holders[i]->writeLine("exit");
        EXPECT_EQ(holders[i]->wait(), 0);
    }
    EXPECT_EQ(pids(), (std::set<std::string>{ownProcessId()}));
}
