#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/JobResults/StoreFixture.h"
#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Platform/JobResultsTable.h"
#include "tests/support/DeniedDirectory.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/ReserveText.h"

namespace {

namespace fs = std::filesystem;

class StoreTest : public StoreFixture {
protected:
    std::string results() const { return readFileText(jobFile("backup.out")); }
    std::vector<uint64_t> map() const { return entriesOf(jobFile("1.map")); }
    // What a lock of the State file through a descriptor of its own gets (1: granted).
    int stateLock(sfLockMode_t kind) const {
        CXFile probe;
        return probe.open(jobFile("State").c_str(), sfReadWrite) == 0 ? probe.lock(kind, 0) : -1;
    }
    // The file's map is exactly the starts of its lines.
    void expectMapFits(const std::string& file, const std::string& mapFile) const {
        EXPECT_EQ(entriesOf(mapFile), lineStartsOf(readFileText(file)));
        EXPECT_EQ(fs::file_size(mapFile) % kMapEntrySize, 0u);
    }
};

// Control characters and blanks of an object name become blanks: no line break gets in. Lines
// the map cannot describe are refused, nothing written. Restore results are mapped anyway.
TEST_F(StoreTest, RestoreLinesHaveBlanksForControlCharactersAndUnmappableLinesAreRefused) {
    const std::string longest(1021, 'n');  // with " 3" and its terminator: 1024 bytes
    struct Case {  // stored: the line stored, empty when refused
        const char* name; std::string text; bool restoreStatus; std::string stored;
    } cases[] = {
        {"carriage return", "a\rb", false, ""},
        {"line feed", "a\nb", false, ""},
        {"carriage return in a middle block of 16", std::string(20, 'a') + "\r" + std::string(19, 'b'), false, ""},
        {"line feed only in the last block of 16", std::string(37, 'a') + "\nbc", false, ""},
        {"tab in an object name", "a\tb", true, "a b 3"},
        {"line break in an object name", "x\r\ny z", true, "x  y z 3"},
        {"object name one byte too long", longest + "n", true, ""},
        {"object name that just fits", longest, true, longest + " 3"},
        {"longest line a reader serves", std::string(102399, 'l'), false, std::string(102399, 'l')},
        {"one byte longer", std::string(102400, 'l'), false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoreResults store(kTalCell, kJobId, true, "client1");
        ASSERT_FALSE(store.openFile(kResultsRestore, false, true));
        ASSERT_FALSE(store.putLine("first", true));
        const bool failed = c.restoreStatus
                                ? store.setRestoreStatusOnObject(c.text.c_str(), RESTORE_STATUS_STRING_MAPPING(3), true)
                                : store.putLine(c.text.c_str(), true);
        EXPECT_EQ(failed, c.stored.empty());
        ASSERT_FALSE(store.putLine("last", true));
        ASSERT_FALSE(store.closeFile());
        EXPECT_EQ(readFileText(jobFile("restore.out")), "first\r\n" + (failed ? "" : c.stored + "\r\n") + "last\r\n");
        expectMapFits(jobFile("restore.out"), jobFile("2.map"));
    }
}

// Restore results reach the disk at least every 20 lines or every 1024 counted bytes, whatever
// the caller asks; other kinds only when asked. The files are read through descriptors of
// their own, as another process would see them.
TEST_F(StoreTest, RestoreResultsAreWrittenOutOnTheirOwnSchedule) {
    struct Case {  // writtenAfter: lines after which the file holds them all; 0: not within 25
        ResultsFile kind; size_t lineLength; int writtenAfter;
    } cases[] = {{kResultsRestore, 1, 20}, {kResultsRestore, 300, 4} /* 302 bytes counted a line */,
                 {kResultsRestore, 1022, 1} /* 1024 at once */, {kResultsBackup, 300, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kind << " " << c.lineLength);
        StoreResults store(kTalCell, kJobId, true, "client1");
        ASSERT_FALSE(store.openFile(c.kind, true, true));
        for (int n = 1; n <= (c.writtenAfter != 0 ? c.writtenAfter : 25); ++n) {
            ASSERT_FALSE(store.putLine(std::string(c.lineLength, 'r').c_str(), false));
            const bool due = n == c.writtenAfter;
            EXPECT_EQ(fs::file_size(store.getFile()), due ? n * (c.lineLength + 2) : 0u) << n;
            EXPECT_EQ(fs::file_size(jobFile(std::to_string(c.kind) + ".map")), due ? n * kMapEntrySize : 0u) << n;
        }
        ASSERT_FALSE(store.closeFile());
    }
}

// One writer's life: lines with CR LF and their offsets in the map; a map that a reader renamed
// over the writer's own while lines were added is made whole again at the next write-out; a
// reopening without a map empties the file on request and deletes the old map, and a map that
// a reader made meanwhile goes at the close; a close fails when the file was removed meanwhile.
TEST_F(StoreTest, DirectStoringKeepsTheFileAndItsMapInStep) {
    StoreResults store(kTalCell, kJobId, true, "client1");
    ASSERT_FALSE(store.openFile(kResultsBackup, true, false));
    EXPECT_EQ(store.getFile(), jobFile("backup.out"));
    for (const char* line : {"a", "bcd", ""}) ASSERT_FALSE(store.putLine(line, false));
    ASSERT_FALSE(store.closeFile());
    EXPECT_EQ(results(), "a\r\nbcd\r\n\r\n");
    EXPECT_EQ(map(), (std::vector<uint64_t>{0, 3, 8}));

    ASSERT_FALSE(store.openFile(kResultsBackup, true, true));
    ASSERT_FALSE(store.putLine("one", true));
    writeFileText(jobFile("new.map"), std::string(5, '\0'));
    fs::rename(jobFile("new.map"), jobFile("1.map"));
    for (const char* line : {"two", "three"}) ASSERT_FALSE(store.putLine(line, false));
    ASSERT_FALSE(store.closeFile());
    EXPECT_EQ(results(), "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(map(), (std::vector<uint64_t>{0, 5, 10}));

    ASSERT_FALSE(store.openFile(kResultsBackup, false, true));
    EXPECT_FALSE(fileExists(jobFile("1.map")));
    ASSERT_FALSE(store.putLine("new", false));
    writeFileText(jobFile("1.map"), std::string(5, '\0'));
    ASSERT_FALSE(store.closeFile());
    EXPECT_EQ(results(), "new\r\n");
    EXPECT_FALSE(fileExists(jobFile("1.map")));

    ASSERT_FALSE(store.openFile(kResultsBackup, true, false));
    ASSERT_FALSE(store.putLine("lost", false));
    fs::remove(jobFile("backup.out"));
    EXPECT_TRUE(store.closeFile());
}

// Appending to a file that a crash left behind: it goes on from the file's own end, a last
// line without its end is ended, and a map that does not fit the file is rebuilt.
TEST_F(StoreTest, ReopeningToAppendRepairsWhatACrashLeft) {
    struct Case {
        const char* name; std::string file; std::string map;
    } cases[] = {
        {"sound", "a\r\nbc\r\n", mapBytes({0, 3})},
        {"unfinished last line", "a\r\nbc", mapBytes({0, 3})},
        {"carriage return without its line feed", "a\r\nbc\r", mapBytes({0})},
        {"half an entry", "a\r\nbc\r\n", mapBytes({0, 3}) + "\x07"},
        {"entry past the end", "a\r\nbc\r\n", mapBytes({0, 3, 7})},
        {"map behind the file", "a\r\nbc\r\n", mapBytes({0})},
        {"map missing", "a\r\nbc\r\n", ""},
        {"map of an emptied file", "", mapBytes({0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeJobDir();
        writeFileText(jobFile("backup.out"), c.file);
        c.map.empty() ? (void)fs::remove(jobFile("1.map")) : writeFileText(jobFile("1.map"), c.map);
        StoreResults store(kTalCell, kJobId, true, "client1");
        ASSERT_FALSE(store.openFile(kResultsBackup, true, false));
        ASSERT_FALSE(store.putLine("d", false));
        ASSERT_FALSE(store.closeFile());
        EXPECT_EQ(results(), c.file.empty() ? "d\r\n" : "a\r\nbc\r\nd\r\n");
        expectMapFits(jobFile("backup.out"), jobFile("1.map"));
    }
}

// Map entries are 40-bit little-endian offsets: a line that would start past that is refused.
TEST_F(StoreTest, LinesAreMappedUpToTheFortyBitLimit) {
    struct Case {  // size: where the next line starts
        uint64_t size; bool refused; std::string entry;
    } cases[] = {{(uint64_t(1) << 32) + 5, false, std::string("\x05\0\0\0\x01", 5)},
                 {kMaxMappedOffset, false, std::string(5, '\xff')}, {kMaxMappedOffset + 1, true, ""}};
    makeJobDir();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        // A sparse file whose last line is "\r\n", and its map.
        const int fd = ::open(jobFile("backup.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ASSERT_EQ(pwrite(fd, "\n\r\n", 3, static_cast<off_t>(c.size - 3)), 3);
        close(fd);
        writeFileText(jobFile("1.map"), mapBytes({0, c.size - 2}));
        StoreResults store(kTalCell, kJobId, true, "client1");
        ASSERT_FALSE(store.openFile(kResultsBackup, true, false));
        EXPECT_EQ(store.putLine("x", false), c.refused);
        ASSERT_FALSE(store.closeFile());
        EXPECT_EQ(fs::file_size(jobFile("backup.out")), c.size + (c.refused ? 0 : 3));
        const std::string map = readFileText(jobFile("1.map"));
        ASSERT_EQ(map.size(), c.refused ? 10u : 15u);
        EXPECT_EQ(map.substr(10), c.entry);
    }
    fs::remove(jobFile("backup.out"));
}

// A write that fails part-way (a file size limit; a full volume, where this test may mount
// one) leaves no part of a line: the file is cut back to its last whole line, never holding the
// line whose putLine failed, its map fits it, and the writer goes on from there.
TEST_F(StoreTest, AFailedWriteLeavesNoPartOfALine) {
    const auto lineOf = [](size_t n) { return "line-" + std::to_string(n) + std::string(300, 'w'); };
    const std::string volume = fs::path(jobDir()).parent_path();  // the job's directory is made on it
    for (const bool fullVolume : {false, true}) {
        SCOPED_TRACE(fullVolume ? "full volume" : "file size limit");
        fs::remove_all(jobDir());
        if (fullVolume) {
            fs::create_directories(volume);
            if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("none", volume.c_str(), "tmpfs", 0, "size=64k") != 0)
                GTEST_SKIP() << "cannot mount a small volume here (needs root)";
        }
        signal(SIGXFSZ, SIG_IGN);
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, limited{20000, RLIM_INFINITY};
        StoreResults store(kTalCell, kJobId, true, "client1");
        ASSERT_FALSE(store.openFile(kResultsBackup, true, true));
        setrlimit(RLIMIT_FSIZE, fullVolume ? &unlimited : &limited);
        size_t failedAt = 0;
        for (size_t n = 1; n < 1000 && failedAt == 0; ++n)
            if (store.putLine(lineOf(n).c_str(), n % 5 == 0)) failedAt = n;
        setrlimit(RLIMIT_FSIZE, &unlimited);
        ASSERT_GT(failedAt, 0u) << "no write failed";
        const std::string text = results();
        const std::vector<uint64_t> starts = lineStartsOf(text);
        ASSERT_TRUE(text.empty() || text.back() == '\n') << "a part of a line is left";
        ASSERT_LT(starts.size(), failedAt);
        std::string expected;
        for (size_t n = 1; n <= starts.size(); ++n) expected += lineOf(n) + "\r\n";
        EXPECT_EQ(text, expected);
        EXPECT_EQ(map(), starts);
        // Where the volume has room again, the writer goes on from the last whole line.
        if (!fullVolume) {
            ASSERT_FALSE(store.putLine(lineOf(starts.size() + 1).c_str(), true));
            expected += lineOf(starts.size() + 1) + "\r\n";
        }
        ASSERT_FALSE(store.closeFile());
        EXPECT_EQ(results(), expected);
        EXPECT_EQ(map(), lineStartsOf(expected));
    }
    fs::remove_all(jobDir());
    umount(volume.c_str());
}

// Direct writers of other processes: a second one is refused while the first writes, and a
// writer killed in the middle of its lines leaves a file and map that the next one continues.
TEST_F(StoreTest, ASecondDirectWriterWaitsForTheFirstAndContinuesAKilledOneSoundly) {
    HelperProcess first({"store_hold", std::to_string(kTalCell), std::to_string(kJobId)}, "ready");
    StoreResults store(kTalCell, kJobId, true, "client1");
    EXPECT_TRUE(store.openFile(kResultsBackup, true, false));
    first.writeLine("go");
    EXPECT_EQ(first.wait(), 0);
    ASSERT_FALSE(store.openFile(kResultsBackup, true, false));
    ASSERT_FALSE(store.closeFile());
    HelperProcess writer({"store_lines", std::to_string(kTalCell), std::to_string(kJobId), "5000"}, "ready");
    writer.kill(SIGKILL);
    writer.wait();
    ASSERT_FALSE(store.openFile(kResultsBackup, true, false));
    ASSERT_FALSE(store.putLine("after the crash", false));
    ASSERT_FALSE(store.closeFile());
    const std::string text = results();
    EXPECT_GT(lineStartsOf(text).size(), 5000u);
    EXPECT_EQ(text.substr(text.size() - 17), "after the crash\r\n");
    expectMapFits(jobFile("backup.out"), jobFile("1.map"));
}

// openRaw makes a missing State file whole and refreshes the access time of one that is there;
// each call claims a raw name of its own (a second one of the same process and second takes
// the next free second), and the object holds one shared lock on State, which goes with it.
TEST_F(StoreTest, OpenRawClaimsANameAndHoldsOneSharedLockOnAWholeState) {
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "State there" : "no State");
        fs::remove_all(jobDir());
        if (existing) { fs::create_directories(jobDir()); writeFileText(jobFile("State"), "0\r\n1000    \r\n"); }
        {
            StoreResults store(kTalCell, kJobId, true, "client1");
            std::string raw, second;
            const auto before = static_cast<unsigned long>(time(nullptr));
            ASSERT_FALSE(store.openRaw(kResultsBackup, raw));
            const std::string state = readFileText(jobFile("State"));
            const unsigned long stamp = std::stoul(state.substr(3));
            EXPECT_TRUE(state.starts_with("0\r\n") && state.ends_with("\r\n") && stamp >= before &&
                        stamp <= static_cast<unsigned long>(time(nullptr))) << state;
            const std::string prefix = jobFile("backup_") + std::to_string(getpid()) + "_";
            ASSERT_EQ(raw.substr(0, prefix.size()), prefix);
            EXPECT_TRUE(fileExists(raw));
            EXPECT_FALSE(fileExists(jobFile("1.map")));
            // Nothing but State and the raw file: the State file was put in place whole.
            EXPECT_EQ(std::distance(fs::directory_iterator(jobDir()), fs::directory_iterator()), 2);
            ASSERT_FALSE(store.openRaw(existing ? kResultsCrossCheck : kResultsBackup, second));
            EXPECT_NE(second, raw);
            EXPECT_EQ(second.substr(0, prefix.size()) == prefix, !existing);
            EXPECT_TRUE(fileExists(second));
            EXPECT_EQ(stateLock(sfLockExclusive), 0);  // the writer holds it
            EXPECT_EQ(stateLock(sfLockShared), 1);     // shared with other writers
        }
        EXPECT_EQ(stateLock(sfLockExclusive), 1);  // both locks went with the object
    }
}

// The keys of the rows committed to a table, in their order, as another process reads them.
std::vector<std::string> committedKeys(const std::string& path) {
    struct Keys : JobResultsCallback {
        std::vector<std::string> seen;
        int function(JobResultsTable*, JobResultsRecord* record) override {
            seen.push_back(record->key);
            return 0;
        }
    } keys;
    JobResultsTable table;
    if (table.initialize(path.c_str()) != 0 || table.open(false) != 0 || table.search(nullptr, &keys) < 0)
        return {"failed: " + table.lastErrorText()};
    return keys.seen;
}

// Rows wait in the writer and go in together: when the group is full, at the first call after
// the oldest has waited long enough, with a removal (which takes the waiting rows of its key
// too, so that they never come back) and at the close, which lets the State file go.
TEST_F(StoreTest, RemovableRowsAreCommittedInGroupsUntilTheResultsFileIsMade) {
    const std::string table = jobFile("JobResults");
    {
        StoreResults store(kTalCell, kJobId, true, "client1");
        ASSERT_FALSE(store.openRemovable(kResultsBackup));
        for (const char* key : {"k1", "k2", "k1"}) EXPECT_FALSE(store.putRemovableLine(key, "%s row"));
        EXPECT_EQ(committedKeys(table), std::vector<std::string>{}) << "rows wait for their group";
        EXPECT_EQ(store.removeRows("k1"), 2);
        EXPECT_FALSE(store.remove("absent"));
        EXPECT_EQ(committedKeys(table), std::vector<std::string>{"k2"});
        for (size_t n = 1; n < StoreResults::kRowsPerCommit; ++n) ASSERT_FALSE(store.putRemovableLine("full", "%s"));
        EXPECT_EQ(committedKeys(table).size(), 1u);
        ASSERT_FALSE(store.putRemovableLine("full", "%s"));
        EXPECT_EQ(committedKeys(table).size(), 1 + StoreResults::kRowsPerCommit);
        ASSERT_FALSE(store.putRemovableLine("old", "%s"));
        usleep(StoreResults::kCommitAfterMs * 1000);
        ASSERT_FALSE(store.putRemovableLine("aged", "%s"));
        EXPECT_EQ(committedKeys(table).back(), "aged");
        ASSERT_FALSE(store.putRemovableLine("last", "%s"));
        ASSERT_FALSE(store.closeRemovable());
        EXPECT_EQ(stateLock(sfLockExclusive), 1) << "the State file's lock went with the close";
    }
    const std::vector<std::string> keys = committedKeys(table);
    EXPECT_EQ(keys.size(), 4 + StoreResults::kRowsPerCommit);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "k1"), 0);
    EXPECT_EQ(keys.back(), "last");
    writeFileText(jobFile("backup.out"), "made earlier\r\n");
    // Once the results file is made, neither kind of writer may start: its lines would never
    // be served.
    StoreResults store(kTalCell, kJobId, true, "client1");
    EXPECT_TRUE(store.openRemovable(kResultsBackup));
    std::string raw;
    EXPECT_TRUE(store.openRaw(kResultsBackup, raw));
    EXPECT_TRUE(raw.empty());
    EXPECT_EQ(results(), "made earlier\r\n");
    for (const auto& entry : fs::directory_iterator(jobDir()))
        EXPECT_NE(entry.path().filename().string().rfind("backup_", 0), 0u) << entry.path();
}

// Rows of a table that cannot be opened right now are not lost for that: openRemovable fails,
// logged, and leaves the file as it is. A writer that cannot commit now fails the call that
// commits, without its own row; the rows before wait for the next commit.
TEST_F(StoreTest, ATableThatCannotBeOpenedNowIsNeitherRemovedNorReplaced) {
    const std::string table = jobFile("JobResults");
    auto fillTable = [&] {
        fs::remove_all(jobDir());
        StoreResults store(kTalCell, kJobId, true, "client1");
        ASSERT_FALSE(store.openRemovable(kResultsBackup));
        for (int row = 1; row <= 10; ++row) ASSERT_FALSE(store.putRemovableLine(std::to_string(row).c_str(), "%s"));
    };
    auto openRemovable = [] { return StoreResults(kTalCell, kJobId, true, "client1").openRemovable(kResultsBackup); };

    // Damaged: the bytes stay.
    fillTable();
    const std::string bytes = readFileText(table).replace(0, 16, "damaged  header!");
    writeFileText(table, bytes);
    EXPECT_TRUE(openRemovable());
    EXPECT_EQ(readFileText(table), bytes);
    EXPECT_NE(settings.journalText().find("cannot be opened"), std::string::npos);

    // Busy: another process holds it exclusively for longer than the (shortened) busy timeout.
    fillTable();
    TCtreeTable::setBusyTimeoutForTests(200);
    {
        StoreResults writer(kTalCell, kJobId, true, "client1");
        ASSERT_FALSE(writer.openRemovable(kResultsBackup));
        for (size_t n = 1; n < StoreResults::kRowsPerCommit; ++n) ASSERT_FALSE(writer.putRemovableLine("w", "%s"));
        HelperProcess holder({"table_die_in_batch", table}, "ready");
        EXPECT_TRUE(openRemovable());
        EXPECT_TRUE(writer.putRemovableLine("dropped", "%s"));
        EXPECT_TRUE(writer.flushRemovable());
        EXPECT_LT(writer.removeRows("w"), 0);
        holder.writeLine("go");  // ends without committing: its batch is rolled back
        EXPECT_EQ(holder.wait(), 0);
        EXPECT_EQ(committedKeys(table).size(), 10u);
        ASSERT_FALSE(writer.flushRemovable());
        const std::vector<std::string> keys = committedKeys(table);
        EXPECT_EQ(std::count(keys.begin(), keys.end(), "w"), static_cast<long>(StoreResults::kRowsPerCommit - 1));
        EXPECT_EQ(keys.size(), 10 + StoreResults::kRowsPerCommit - 1);
        // A table removed under the writer takes no rows: they would be lost with it.
        ASSERT_FALSE(writer.putRemovableLine("gone", "%s"));
        fs::remove(table);
        EXPECT_TRUE(writer.flushRemovable());
        EXPECT_NE(settings.journalText().find("code " + std::to_string(ESTALE)), std::string::npos);
    }
    TCtreeTable::setBusyTimeoutForTests(0);

    // Not readable by this account.
    fillTable();
    fs::permissions(table, fs::perms::none);
    bool failed = false;
    if (runWithoutFileOverrides([&] { failed = openRemovable(); })) { EXPECT_TRUE(failed); }
    fs::permissions(table, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(committedKeys(table).size(), 10u);
}

// Removable writers of one job work side by side. Those that start together write into one
// table: the one whose table is linked in second opens the first one's. A writer's waiting
// rows hold no lock, so another commits beside them within a short busy timeout; they go in
// at its close, and a writer killed loses only them.
TEST_F(StoreTest, RemovableWritersShareOneTableAndWaitingRowsHoldNoLock) {
    const std::string cell = std::to_string(kTalCell), job = std::to_string(kJobId);
    const auto rowsOf = [&](const char* key) {
        const std::vector<std::string> keys = committedKeys(jobFile("JobResults"));
        return std::to_string(std::count(keys.begin(), keys.end(), key)) + " of " + std::to_string(keys.size());
    };
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        fs::remove_all(jobDir());
        HelperProcess a({"removable_writer", cell, job, "a"}, "ready"), b({"removable_writer", cell, job, "b"}, "ready");
        for (HelperProcess* writer : {&a, &b}) writer->writeLine("go");
        for (HelperProcess* writer : {&a, &b}) { EXPECT_EQ(writer->readLine(), "ok"); writer->wait(); }
        EXPECT_EQ(rowsOf("a") + ", " + rowsOf("b"), "1 of 2, 1 of 2");
    }
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "closed");
        fs::remove_all(jobDir());
        HelperProcess other({"removable_writer", cell, job, "o", "3", "5"}, "ready");
        other.writeLine("go");
        ASSERT_EQ(other.readLine(), "ok");
        StoreResults store(kTalCell, kJobId, true, "client1");
        TCtreeTable::setBusyTimeoutForTests(300);
        EXPECT_FALSE(store.openRemovable(kResultsBackup) || store.putRemovableLine("s", "%s") ||
                     store.flushRemovable());
        TCtreeTable::setBusyTimeoutForTests(0);
        killed ? other.kill(SIGKILL) : other.writeLine("close");
        EXPECT_EQ(other.readLine(), killed ? "" : "closed");
        other.wait();
        EXPECT_EQ(rowsOf("o"), killed ? "3 of 4" : "8 of 9") << "the other writer's rows, and this one's";
    }
}

TEST_F(StoreTest, CleanUpThresholdsOutsideTheirRangeFailTheCleanUp) {
    const std::pair<const char*, const char*> cases[] = {  // the client's properties, the failure logged
        {"DiskFullThreshold=90\nCacheAgingThreshold=7\n", nullptr},
        {"DiskFullThreshold=0\nCacheAgingThreshold=7\n", "cleanUp: invalid disk full threshold 0"},
        {"DiskFullThreshold=101\nCacheAgingThreshold=7\n", "cleanUp: invalid disk full threshold 101"},
        {"DiskFullThreshold=90\nCacheAgingThreshold=0\n", "cleanUp: invalid cache aging threshold 0"},
        {"CacheAgingThreshold=7\n", "cleanUp: getDiskFullThreshold failed for client 'client1'"}};
    for (const auto& [properties, failure] : cases) {
        SCOPED_TRACE(properties);
        writeSettings(properties);
        const int result = StoreResults(kTalCell, kJobId, true, "client1").cleanUp("client1");
        const size_t logged = settings.journalText().find(failure != nullptr ? failure : "cleanUp: ");
        EXPECT_TRUE(failure != nullptr ? result == 1 && logged != std::string::npos : result >= 0 && logged == std::string::npos)
            << result << " " << settings.journalText();
    }
}

// A line longer than the room left in the writer's buffer goes to the file while it is copied
// in: when that write fails part-way, what reached the file of it (and of the unwritten lines
// before it) is cut away again, and the writer goes on.
TEST_F(StoreTest, ALongLineWhoseWriteFailsLeavesNoPartOfIt) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, limited{50000, RLIM_INFINITY};
    StoreResults store(kTalCell, kJobId, true, "client1");
    ASSERT_FALSE(store.openFile(kResultsBackup, true, true));
    ASSERT_FALSE(store.putLine("first", true));
    ASSERT_FALSE(store.putLine(std::string(60000, 'a').c_str(), false));
    setrlimit(RLIMIT_FSIZE, &limited);
    const bool failed = store.putLine(std::string(100000, 'x').c_str(), false);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_TRUE(failed);
    ASSERT_FALSE(store.putLine("next", true));
    ASSERT_FALSE(store.closeFile());
    EXPECT_EQ(readFileText(jobFile("backup.out")), "first\r\nnext\r\n");
}

// With reservation on, a line is stored only once its space is reserved: while another host's
// line holds more than any disk has, a line is refused and nothing written; once that line is
// gone, lines are stored, and the close gives their space back.
TEST_F(StoreTest, WithReservationOnALineIsStoredOnlyOnceItsSpaceIsReserved) {
    writeSettings("[MediaAgent]\nsDISABLERESERVE=no\n");
    const std::string reserveFile = settings.dir().file("idx/KR_JobResults/reserveFile");
    writeFileText(reserveFile, "999:5/1/1 2147483647 " + std::to_string(JobResultsCacheFs::getCurrentTime()) + "\r\n");
    HelperProcess writer({"store_reserved", std::to_string(kTalCell), std::to_string(kJobId), "1000"});
    EXPECT_EQ(writer.readLine(), "refused");
    writeFileText(reserveFile, "");
    writer.writeLine("go");
    EXPECT_EQ(writer.readLine(), "done");
    EXPECT_EQ(writer.wait(), 0);
    EXPECT_EQ(fs::file_size(jobFile("backup.out")), 1000 * 102u);
    EXPECT_EQ(entriesOf(jobFile("1.map")).size(), 1000u);
    EXPECT_EQ(reserveLinesOf(readFileText(reserveFile)).size(), 0u) << "the writer gave its space back at the close";
}

}  // namespace
