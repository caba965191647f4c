// Error loops and kill loops for the library's writers, after SQLite's I/O-error and crash tests:
// each writer runs once counting its file-changing calls (on its own directory), then once per
// call k with call k failing (ENOSPC, then EIO), and once per k killed there (SIGKILL, in a
// forked child). After each run: a reported success has the new result; what was committed
// before is there; every file it touched reads as the old content or the new, nothing else; the
// next writer succeeds; and nothing is left that the next writer does not clean.
#include <sched.h>
#include <sys/mount.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "Indexing/icommon/SortAndReplace.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "JobResults/PagingResultsDir.h"
#include "Platform/BatchSort.h"
#include "Platform/JobResultsTable.h"
#include "Platform/SettingsStore.h"
#include "Platform/TempNames.h"
#include "tests/JobResults/RetrieveFixture.h"
#include "tests/cacheFs/ReservationFixture.h"
#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/FaultInjection.h"

namespace {
enum class Outcome { Succeeded, Failed, Killed };
using Lines = std::vector<std::string>;

// A writer's files live in one directory, a fresh TempDir for each run.
struct Writer {
    const char* name;
    std::function<void(const TempDir&)> setup;
    std::function<bool(const TempDir&)> run;             // true when the writer reports success
    std::function<void(const TempDir&, Outcome)> check;  // what the run left; the next writer
    bool reportsFailure = true;  // false: it returns nothing, so a "success" is not judged
};

struct LoopCounts { long calls = 0, failures = 0, kills = 0; };

LoopCounts runLoops(const Writer& w) {
    LoopCounts counts;
    {
        TempDir dir;
        w.setup(dir);
        bool ok = false;
        counts.calls = countSysCalls([&] { ok = w.run(dir); }, SysKind::Any, dir.path());
        EXPECT_TRUE(ok) << w.name << " without faults";
        w.check(dir, Outcome::Succeeded);
    }
    EXPECT_GT(counts.calls, 0) << w.name;
    // The plans of one k: failing with ENOSPC, with EIO, and killing (0 stands for the kill).
    for (long k = 1; k <= counts.calls && !::testing::Test::HasFailure(); ++k) {
        for (int error : {ENOSPC, EIO, 0}) {
            TempDir dir;
            w.setup(dir);
            const FaultPlan plan{SysKind::Any, k, error, error == 0, false, dir.path()};
            std::string what = std::string(w.name) + ": killed at call " + std::to_string(k);
            Outcome o = Outcome::Killed;
            if (plan.kill) {
                EXPECT_EQ(runInChildWithFaults(plan, [&] { return w.run(dir) ? 0 : 1; }), 128 + SIGKILL) << what;
                ++counts.kills;
            } else {
                FaultInjection faults(plan);
                const bool ok = w.run(dir);
                o = ok && w.reportsFailure ? Outcome::Succeeded : Outcome::Failed;
                what = std::string(w.name) + ": call " + std::to_string(k) + " (" + faults.lastInjected() +
                       ") failing with " + errnoName(error) + ", the writer " + (ok ? "succeeded" : "failed");
                ++counts.failures;
            }
            SCOPED_TRACE(what);
            w.check(dir, o);
        }
    }
    return counts;
}

// Every entry of the directory but those expected. After a success only a temporary whose removal
// failed may stay, of a process of this host that still runs (the next writer takes it later).
void expectOnly(const std::string& dir, const Lines& expected, const std::string& base,
                const std::vector<const char*>& tags, Outcome o) {
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename();
        bool live = false;
        for (const char* tag : tags) {
            TempNames::Parsed p;
            live = live || (TempNames::parse(name, base, tag, p) && TempNames::madeOnThisHost(p) &&
                            !TempNames::isLeftover(p, e.path()));
        }
        EXPECT_TRUE((live && o == Outcome::Succeeded) || std::count(expected.begin(), expected.end(), name))
            << "left behind: " << name;
    }
}

// Sets the modification time of path (when there is an entry) to seconds ago.
void makeOlder(const std::string& path, int64_t seconds) {
    std::error_code absent;
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(seconds), absent);
}

// The app's index directories, and job 5:7's results directory, in the run's directory.
std::string app(const TempDir& d) { return d.file("KR_Index/2/7"); }
std::string job(const TempDir& d) { return d.file("KR_JobResults/2/5/7"); }

SettingsFixture* theSettings = nullptr;  // the running test's

// Settings of client1 (client id 42) with its index cache and its job results in the run's
// directory; more (settings of client1's machine, or further sections) goes at the end.
void useRoot(const TempDir& d, const std::string& more = "") {
    theSettings->write("[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" + d.path() +
            "\n[Platform\\4]\nTalServerHostName=central\n[Platform]\nTalClient=1\n[~Machines\\client1]\n"
            "ClientId=42\nJobResultsDirectory=" + d.path() + "\n" + more);
}

// The results directory of job 5:7 under the run's directory, with its State file.
void leaveResultsDir(const TempDir& d) {
    useRoot(d);
    fs::create_directories(job(d));
    writeFileText(job(d) + "/State", "0\r\n1700000000    \r\n");
}

// The lines of the first page of job 5:7's results of that kind; {"failed"} when the reader fails.
Lines servedPage(ResultsFile kind) {
    RetrieveResults reader(kTalCell, kJobId, kind, "client1");
    bool failed = true;
    const Page got = fetchPage(reader, 1, 100, &failed);
    return failed ? Lines{"failed"} : got.lines;
}

// The job id file of index 1700000000, written whole with that write counter.
const std::string kOldJobIdLine = "7:1:2:0 mahost\r\n";
bool writeJobId(unsigned counter) {
    TestDir writer(1700000000, 1, 7);
    writer.setJobPhaseNumber(1);
    writer.setJobAttemptNumber(2);
    writer.setJobIndexWriteCounter(counter);
    writer.createJobIdFile();
    return true;
}

// Lines appended to job 5:7's backup results by putLine and closeFile.
bool storeLines(std::initializer_list<const char*> lines) {
    StoreResults writer(kTalCell, kJobId, true, "client1");
    bool failed = writer.openFile(kResultsBackup, true, false);
    for (const char* line : lines) failed = failed || writer.putLine(line, false);
    return !writer.closeFile() && !failed;
}

// A reservation transaction: reserve, then release all.
bool reserveAndRelease() {
    TestCacheFs cache;
    return cache.reserve(10000000, 0, 0, 0) == 1 && cache.release(0, true) == 0;
}

// What the generation rows find: the lines stored in raw files, and the results of restores.
const Lines kStored = {"a1", "a2", "b1"};
const std::string kRestored = "a 1\r\nb 3\r\nc 5\r\nx 12\r\n";

// A raw file of job 5:7's backup results, claimed by openRaw and written by the caller.
bool storeRaw(std::initializer_list<const char*> lines) {
    StoreResults writer(kTalCell, kJobId, true, "client1");
    std::string raw;
    CXFile file;
    if (writer.openRaw(kResultsBackup, raw) || file.open(raw.c_str(), sfOpenOrCreate) != 0) return false;
    for (const char* line : lines)
        if (file.putLine(line, false) != 0) return false;
    return file.bufWriteFlush() == 0 && file.close() == 0;
}

// sortAndReplace(Ex) with runs on disk (more lines than the memory holds): the file holds the
// input or the whole sorted result, never a part.
Writer sortWriter(const char* name, int topN) {
    static const auto input = [] {
        std::string text;
        for (int i = 0; i < 14000; ++i) text += std::to_string(i * 7919 % 14000) + "\n";
        return text;
    };
    static const auto sorted = [](int n) {  // the first n lines (-1: all) in the sorter's order
        std::set<std::string> lines;
        for (int i = 0; i < 14000; ++i) lines.insert(std::to_string(i));
        std::string text;
        for (auto line = lines.begin(); line != lines.end() && n-- != 0; ++line) text += *line + "\r\n";
        return text;
    };
    return {name, [](const TempDir& d) { writeFileText(d.file("list.txt"), input()); },
            [topN](const TempDir& d) {
                BatchSort::setLimits(1, 256);
                const int rc = sortAndReplaceEx(d.file("list.txt").c_str(), BatchSortListSortAll, topN, true, false, 0,
                                                "", 0, 0);
                BatchSort::setLimits(0, 0);
                return rc == 0;
            },
            [topN](const TempDir& d, Outcome o) {
                const std::string path = d.file("list.txt"), now = readFileText(path);
                EXPECT_TRUE(now == sorted(topN > 0 ? topN : -1) || (o != Outcome::Succeeded && now == input()))
                    << "the file holds " << now.size() << " bytes";
                BatchSort::setLimits(1, 256);
                EXPECT_EQ(sortAndReplace(path.c_str(), false, true, false), 0) << "the next sort";
                BatchSort::setLimits(0, 0);
                expectOnly(d.path(), {"list.txt"}, "list.txt", {"sorted", "sortwork", "top"}, o);
            }};
}

// Create + close and update (by rename or by copy) + close of an app with one complete index: it is
// never lost, a success leaves a newer complete one, and the next reader and job succeed.
enum class IndexWrite { Create, UpdateByRename, UpdateByCopy };

Writer indexWriter(const char* name, IndexWrite how) {
    return {name,
            [](const TempDir& d) {
                useRoot(d);
                fs::create_directories(app(d) + "/100");
                writeFileText(app(d) + "/100/State", "0\r\n100    \r\n");
                writeFileText(app(d) + "/100/index.dat", "data");
            },
            [how](const TempDir&) {
                TestDir writer(0, 1, 42);
                writer.copyUponUpdate(how == IndexWrite::UpdateByCopy);
                const char* made = how == IndexWrite::Create ? writer.create(1000) : writer.update(false, 0, false);
                EXPECT_TRUE(made != nullptr || writer.getErrno() != 0) << "a failure has its error number";
                return made != nullptr && writer.close(false) == 0;
            },
            [how](const TempDir& d, Outcome o) {
                unsigned long newest = 0;
                for (const auto& e : fs::directory_iterator(app(d)))
                    if (readFileText(e.path().string() + "/State").rfind("0\r\n", 0) == 0)
                        newest = std::max(newest, std::stoul(e.path().filename().string()));
                EXPECT_TRUE(o != Outcome::Succeeded || newest > 100u) << "a success leaves a newer complete index";
                // Disabled for update by rename: a failed or killed close leaves the index it took over
                // in Writing, and the next open discards it (reported to the cache's owner).
                const bool takenOver = how == IndexWrite::UpdateByRename && o != Outcome::Succeeded && newest == 0;
                EXPECT_TRUE(how == IndexWrite::Create || takenOver ||
                            readFileText(app(d) + "/" + std::to_string(newest) + "/index.dat") == "data");
                TestDir reader(0, 1, 43), next(0, 1, 44);
                const bool opened = reader.open(0, false) != nullptr;
                EXPECT_TRUE(opened || takenOver) << "the next reader, errno " << reader.getErrno();
                EXPECT_TRUE(!opened || (reader.getTimeStamp() == newest && reader.close(false) == 0))
                    << "the next reader took " << reader.getTimeStamp() << ", not " << newest;
                // A killed create may leave its directory without State or with an empty one: made
                // an hour old, the next update takes it for abandoned and removes it.
                for (const std::string& path : {app(d) + "/1000/State", app(d) + "/1000"})
                    if (o == Outcome::Killed) makeOlder(path, 7200);
                const bool create = how != IndexWrite::Create;  // after a create, the next job updates
                ASSERT_NE(create ? next.create(2000000000) : next.update(false, 0, false), nullptr)
                    << "the next job's " << (create ? "index" : "update") << ", errno " << next.getErrno();
                EXPECT_EQ(next.close(false), 0);
            }};
}

// Another host's line, of the time the first run began.
const std::string& otherHostLine() {
    static const std::string line = "999:5/1/1 1 " + std::to_string(JobResultsCacheFs::getCurrentTime()) + "\r\n";
    return line;
}

// The rows of the results table (its lines), and a batch of rows put into it.
struct RowCollector : JobResultsCallback {
    int function(JobResultsTable*, JobResultsRecord* record) override {
        rows.push_back(record->line);
        return 0;
    }
    Lines rows;
};

Lines tableRows(const std::string& path) {
    JobResultsTable table;
    RowCollector all;
    if (table.initialize(path.c_str()) != 0 || table.open(false) != 0 || table.search("k", &all) < 0) return {"failed"};
    return all.rows;
}

bool createTable(const std::string& path) {
    JobResultsTable table;
    return table.initialize(path.c_str()) == 0 && table.create() == 0 && table.close() == 0;
}

bool tableBatch(const std::string& path, std::initializer_list<const char*> lines) {
    JobResultsTable table;
    if (table.initialize(path.c_str()) != 0 || table.open(true) != 0 || table.beginBatch() != 0) return false;
    for (const char* line : lines)
        if (table.insert("k", line) != 0) return false;
    return table.commitBatch() == 0 && table.close() == 0;
}

// The index 100 of the app, with its index file and a restart file, in the given state.
enum class Resumable { Suspended = 1, Writing = 3 };
void leaveJobIndex(const TempDir& d, Resumable state) {
    useRoot(d);
    fs::create_directories(app(d) + "/100");
    writeFileText(app(d) + "/100/State", std::to_string(static_cast<int>(state)) + "\r\n100    \r\n");
    writeFileText(app(d) + "/100/index.dat", "data");
    writeFileText(app(d) + "/100/TL_RST.cfg", "restart");
}

// Removable rows of job 5:7's backup results put into its results table, one withdrawn at the end.
bool storeRows(std::initializer_list<std::pair<const char*, const char*>> rows, const char* withdrawn = nullptr) {
    StoreResults writer(kTalCell, kJobId, true, "client1");
    if (writer.openRemovable(kResultsBackup)) return false;
    for (const auto& [key, line] : rows)
        if (writer.putRemovableLine(key, line)) return false;
    return withdrawn == nullptr || !writer.remove(withdrawn);
}
}  // namespace

// Each writer's settings point into the directory of its run.
class WriterLoops : public ::testing::Test {
protected:
    WriterLoops() { theSettings = &settings; }
    SettingsFixture settings;
};

// Every writer; its name is its loops' test's.
std::vector<Writer> allWriters() {
    return {
        // The settings rewrite: a value set before is never lost; the new one is there after success.
        {"SettingsRewrite",
            [](const TempDir& d) { writeFileText(d.file("settings.ini"), "[~MediaAgent]\nnOld=1\n; a comment\n"); },
            [](const TempDir& d) { return SettingsStore::setText(d.file("settings.ini"), "~MediaAgent", "nNew", "2"); },
            [](const TempDir& d, Outcome o) {
                const std::string path = d.file("settings.ini");
                const auto value = [&](const char* name) { return SettingsStore(path).getInteger("~MediaAgent", name); };
                EXPECT_TRUE(SettingsStore(path).fileRead());
                EXPECT_EQ(value("nOld"), 1);
                EXPECT_TRUE(o == Outcome::Succeeded ? value("nNew") == 2 : !value("nNew") || value("nNew") == 2);
                EXPECT_NE(readFileText(path).find("; a comment"), std::string::npos);
                ASSERT_TRUE(SettingsStore::setText(path, "~MediaAgent", "nNext", "3")) << "the next writer";
                EXPECT_TRUE(value("nOld") == 1 && value("nNext") == 3) << readFileText(path);
                expectOnly(d.path(), {"settings.ini", "settings.ini.lock"}, "settings.ini", {"tmp"}, o);
            }},
        sortWriter("SortAndReplace", 0),
        sortWriter("SortAndReplaceTopN", 25),
        // The job id file of an index directory, rewritten whole: it reads as the old line or the new.
        {"JobIdFile",
            [](const TempDir& d) {
                useRoot(d, "HostName=mahost\n");
                fs::create_directories(app(d) + "/1700000000");
                writeFileText(app(d) + "/1700000000/JobId", kOldJobIdLine);
            },
            [](const TempDir&) { return writeJobId(3); },
            [](const TempDir& d, Outcome o) {
                const std::string path = app(d) + "/1700000000/JobId", now = readFileText(path);
                EXPECT_TRUE(now == kOldJobIdLine || now == "7:1:2:3 mahost\r\n") << now;
                writeJobId(4);
                EXPECT_EQ(readFileText(path), "7:1:2:4 mahost\r\n") << "the next writer";
                expectOnly(app(d) + "/1700000000", {"JobId"}, "JobId", {"tmp"}, o);
            },
            false},
        // putLine + closeFile appending to a results file that holds lines of an earlier writer: those
        // stay, the file holds whole lines only, and the next writer appends after them.
        {"PutLineAndCloseFile",
            [](const TempDir& d) {
                useRoot(d);
                fs::create_directories(d.file("KR_JobResults"));
                ASSERT_TRUE(storeLines({"old one", "old two"}));
            },
            [](const TempDir&) { return storeLines({"new one", "new two"}); },
            [](const TempDir& d, Outcome o) {
                const std::string committed = "old one\r\nold two\r\n", all = committed + "new one\r\nnew two\r\n";
                const std::string now = readFileText(job(d) + "/backup.out");
                EXPECT_EQ(now.rfind(committed, 0), 0u) << now;
                EXPECT_TRUE(o != Outcome::Succeeded || now == all) << now;
                ASSERT_TRUE(storeLines({"next"})) << "the next writer";
                const std::string after = readFileText(job(d) + "/backup.out");
                EXPECT_TRUE(after == committed + "next\r\n" || after == committed + "new one\r\nnext\r\n" ||
                            after == all + "next\r\n")
                    << "whole lines only: " << after;
                const std::string map = readFileText(job(d) + "/1.map");
                std::vector<uint64_t> entries, starts;
                for (size_t at = 0; at + kMapEntrySize <= map.size(); at += kMapEntrySize)
                    entries.push_back(decodeMapEntry(reinterpret_cast<const unsigned char*>(map.data() + at)));
                for (size_t at = 0; at < after.size(); at = after.find('\n', at) + 1) starts.push_back(at);
                EXPECT_EQ(entries, starts) << "the map fits the file";
            }},
        indexWriter("CacheCreateAndClose", IndexWrite::Create),
        indexWriter("CacheUpdateByRename", IndexWrite::UpdateByRename),
        indexWriter("CacheUpdateByCopy", IndexWrite::UpdateByCopy),
        // A reservation transaction (reserve, release) beside another host's line: that line stays, the
        // file parses, and the next process reserves, dropping what a killed process of its host left.
        {"ReservationTransaction",
            [](const TempDir& d) {
                useRoot(d, "[MediaAgent]\nsDISABLERESERVE=No\n");
                fs::create_directories(d.file("KR_Index"));
                writeFileText(d.file("KR_Index/reserveFile"), otherHostLine());
            },
            [](const TempDir&) { return reserveAndRelease(); },
            [](const TempDir& d, Outcome) {
                int malformed = 0;
                reserveLinesOf(readFileText(d.file("KR_Index/reserveFile")), &malformed);
                EXPECT_EQ(malformed, 0) << readFileText(d.file("KR_Index/reserveFile"));
                ASSERT_TRUE(reserveAndRelease()) << "the next transaction";
                const std::string after = readFileText(d.file("KR_Index/reserveFile"));
                EXPECT_TRUE(after.rfind(otherHostLine(), 0) == 0 || after.find("\n" + otherHostLine()) != std::string::npos)
                    << "the other host's line is kept: " << after;
                EXPECT_EQ(reserveLinesOf(after).size(), 1u) << "only the other host's line is left: " << after;
            }},
        // generateFile (raw files merged into the results file at the first page) and generateMap: every
        // stored line is served afterwards, by this reader or the next, exactly once and in order.
        {"GenerateFileAndMap",
            [](const TempDir& d) {
                leaveResultsDir(d);
                writeFileText(job(d) + "/backup_11_100", "a1\r\na2\r\n");
                writeFileText(job(d) + "/backup_12_200", "b1\r\n");
            },
            [](const TempDir&) { return servedPage(kResultsBackup) == kStored; },
            [](const TempDir& d, Outcome o) {
                EXPECT_EQ(servedPage(kResultsBackup), kStored) << "the next reader serves every stored line";
                // Raw files left out: an unlink that failed after the results file was in place
                // leaves them (they go with the job's directory); those of a generation killed
                // then are removed by the next reader, which finds no map.
                Lines kept{"State", "backup.out", "1.map", "raw.log"};
                if (o == Outcome::Succeeded) kept.insert(kept.end(), {"backup_11_100", "backup_12_200"});
                expectOnly(job(d), kept, "1.map", {"new"}, o);
            }},
        // A batch of rows into the results table (SQLite, through the wrapping VFS of SysCalls): the
        // rows committed before stay, the batch is all or nothing, and the next writer adds its row.
        {"ResultsTableBatch",
            [](const TempDir& d) {
                ASSERT_TRUE(createTable(d.file("results.db")) && tableBatch(d.file("results.db"), {"old"}));
            },
            [](const TempDir& d) { return tableBatch(d.file("results.db"), {"new1", "new2"}); },
            [](const TempDir& d, Outcome o) {
                const Lines now = tableRows(d.file("results.db")), all{"old", "new1", "new2"};
                EXPECT_TRUE(now == all || (o != Outcome::Succeeded && now == Lines{"old"})) << now.size() << " rows";
                ASSERT_TRUE(tableBatch(d.file("results.db"), {"next"})) << "the next writer";
                Lines expected = now;
                expected.push_back("next");
                EXPECT_EQ(tableRows(d.file("results.db")), expected);
                expectOnly(d.path(), {"results.db"}, "results.db", {}, o);
            }},
        // Suspend, resume and close as still resumable: the restart files and the index are never lost, a
        // success leaves the index complete and resumable, and the next job resumes it or is told why not.
        {"SuspendAndResume",
            [](const TempDir& d) { leaveJobIndex(d, Resumable::Suspended); },
            [](const TempDir&) {
                TestDir job(0, 1, 42);
                return job.resume(0, false) != nullptr && job.suspend() == 0 && job.resume(0, false) != nullptr &&
                       job.close(true) == 0;
            },
            [](const TempDir& d, Outcome o) {
                const std::string dir = app(d) + "/100", aside = app(d) + "/ready_to_resume";
                const bool there = fsExists(dir.c_str());
                EXPECT_EQ(readFileText((there ? dir : aside) + "/TL_RST.cfg"), "restart");
                const std::string state = there ? readFileText(dir + "/State").substr(0, 1) : "gone";
                EXPECT_TRUE(o != Outcome::Succeeded || (state == "0" && fsExists((dir + "/canStillResume").c_str())))
                    << "a success leaves it complete and resumable";
                EXPECT_TRUE(!there || readFileText(dir + "/index.dat") == "data");
                TestDir next(0, 1, 43);
                const bool resumed = next.resume(0, false) != nullptr;
                // Only an index that a failed close left complete without its marker, or one left in
                // Writing (moved aside with its restart files), refuses the next resume.
                EXPECT_TRUE(resumed || (o != Outcome::Succeeded && (state == "0" || state == "3")))
                    << "the next resume, state " << state << ", errno " << next.getErrno();
                EXPECT_TRUE(!resumed || next.close(false) == 0);
                const Lines kept{"State", "index.dat", "TL_RST.cfg", "canStillResume"};
                expectOnly(fsExists(dir.c_str()) ? dir : aside, kept, "State", {"tmp"}, o);
            }},
        // Discard for resume of an index its writer left in Writing: the restart files go aside to
        // ready_to_resume, or the directory stays whole with its State; nothing else.
        {"DiscardForResume",
            [](const TempDir& d) { leaveJobIndex(d, Resumable::Writing); },
            [](const TempDir&) { return TestDir(100, 1, 42).discardForResume(true) == 0; },
            [](const TempDir& d, Outcome o) {
                const std::string dir = app(d) + "/100", aside = app(d) + "/ready_to_resume";
                const bool moved = !fsExists(dir.c_str());
                EXPECT_TRUE(o != Outcome::Succeeded || (moved && !fsExists((aside + "/State").c_str())));
                EXPECT_EQ(readFileText((moved ? aside : dir) + "/TL_RST.cfg"), "restart");
                if (!moved) {
                    EXPECT_EQ(readFileText(dir + "/State").substr(0, 1), "3") << "kept whole";
                    EXPECT_EQ(readFileText(dir + "/index.dat"), "data") << "kept whole";
                    TestDir next(100, 1, 43);
                    EXPECT_EQ(next.discardForResume(true), 0) << "the next discard, errno " << next.getErrno();
                }
                expectOnly(aside, {"TL_RST.cfg", "State", "index.dat"}, "State", {"tmp"}, o);
                TestDir job(0, 1, 44);
                ASSERT_NE(job.create(2000000000), nullptr) << "the next job's index, errno " << job.getErrno();
                EXPECT_EQ(job.close(false), 0);
            }},
        // Raw storing: openRaw claims a raw file and the caller writes its lines into it. The raw files
        // stored before are served at the next page, the new one whole or not at all, never a part line.
        {"RawStoring",
            [](const TempDir& d) {
                leaveResultsDir(d);
                writeFileText(job(d) + "/backup_11_100", "a1\r\na2\r\n");
            },
            [](const TempDir&) { return storeRaw({"n1", "n2"}); },
            [](const TempDir&, Outcome o) {
                ASSERT_TRUE(storeRaw({"next"})) << "the next writer";
                const Lines now = servedPage(kResultsBackup);
                const bool whole = now == Lines{"a1", "a2", "n1", "n2", "next"} || now == Lines{"a1", "a2", "next"};
                EXPECT_TRUE(whole && (o != Outcome::Succeeded || now.size() == 5))
                    << "served: " << ::testing::PrintToString(now);
            }},

        // Removable storing: rows put into the results table, one withdrawn. Each call commits on its own;
        // the row stored before stays, and the next writer's row and the page made from the table follow.
        {"RemovableStoring",
            [](const TempDir& d) {
                leaveResultsDir(d);
                ASSERT_TRUE(storeRows({{"k0", "%s kept"}}));
            },
            [](const TempDir&) { return storeRows({{"k1", "%s one"}, {"k2", "%s two"}}, "k1"); },
            [](const TempDir& d, Outcome o) {
                ASSERT_TRUE(storeRows({{"k3", "%s next"}})) << "the next writer";
                const Lines now = servedPage(kResultsBackup);  // the page made from the table
                const bool fits = now.size() >= 2 && now.front() == "k0 kept" && now.back() == "k3 next" &&
                                  std::all_of(now.begin() + 1, now.end() - 1,
                                              [](const std::string& l) { return l == "k1 one" || l == "k2 two"; });
                EXPECT_TRUE(o == Outcome::Succeeded ? now == (Lines{"k0 kept", "k2 two", "k3 next"}) : fits)
                    << ::testing::PrintToString(now);
                expectOnly(job(d), {"State", "backup.out", "1.map"}, "JobResults", {"tmp"}, o);
            }},
        // generateFile from the results table at the first page; the table goes once the file is in place.
        // Every row is served once, by this reader or the next (a writer after that is refused).
        {"GenerateFileFromTable",
            [](const TempDir& d) {
                leaveResultsDir(d);
                ASSERT_TRUE(storeRows({{"k1", "%s one"}, {"k2", "%s two"}}));
            },
            [](const TempDir&) { return servedPage(kResultsBackup) == Lines{"k1 one", "k2 two"}; },
            [](const TempDir& d, Outcome o) {
                EXPECT_EQ(servedPage(kResultsBackup), (Lines{"k1 one", "k2 two"})) << "the next reader";
                // A kill between the results file's rename and the table's removal leaves the
                // table: never read again (the file stands for it), it goes with the directory.
                Lines kept{"State", "backup.out", "1.map"};
                if (o == Outcome::Killed) kept.push_back("JobResults");
                expectOnly(job(d), kept, ".generating", {"1"}, o);
            }},
        // A restore filter file: a reader of the failed restores filters restore.out into a paging file of
        // its own. The next reader serves the whole filter; a filter file left holds all of it.
        {"RestoreFilterFile",
            [](const TempDir& d) {
                leaveResultsDir(d);
                writeFileText(job(d) + "/" + resultsFileName(kResultsRestore), kRestored);
            },
            [](const TempDir&) { return servedPage(kRestoreFailed) == Lines{"b 3", "x 12"}; },
            [](const TempDir& d, Outcome o) {
                EXPECT_EQ(servedPage(kRestoreFailed), (Lines{"b 3", "x 12"})) << "the next reader";
                EXPECT_EQ(readFileText(job(d) + "/" + resultsFileName(kResultsRestore)), kRestored);
                // The filter files go beside KR_JobResults, and a killed reader's temporaries (of the
                // filter, of its map), which the age cleanup of paging files takes (below).
                for (const auto& e : fs::directory_iterator(d.path())) {
                    const std::string name = e.path().filename();
                    const bool filter = name.ends_with(".f_rst"), killed = o == Outcome::Killed;
                    EXPECT_TRUE(e.is_directory() || filter || name.ends_with(".f_rst.map") ||
                                (killed && name.starts_with("PagingFile_")))
                        << "left behind: " << name;
                    EXPECT_TRUE(!filter || readFileText(e.path()) == "b 3\r\nx 12\r\n") << name;
                }
                PagingResultsDir::setClockForTests([] { return int64_t(time(nullptr)) + 2 * PagingResultsDir::kMaxAgeSeconds; });
                { PagingResultsDir cleaner("client1"); }
                PagingResultsDir::setClockForTests(nullptr);
                for (const auto& e : fs::directory_iterator(d.path()))
                    EXPECT_TRUE(e.is_directory()) << "not taken by the age cleanup: " << e.path();
            }},
    };
}

// One test per writer, so that ctest runs them side by side; the loop counts appear in the output.
class WriterLoop : public WriterLoops, public ::testing::WithParamInterface<size_t> {};
TEST_P(WriterLoop, ErrorsAndKills) {
    const Writer w = allWriters().at(GetParam());
    const LoopCounts c = runLoops(w);
    std::printf("%s: %ld calls, %ld injected failures, %ld kills\n", w.name, c.calls, c.failures, c.kills);
}
INSTANTIATE_TEST_SUITE_P(WriterLoops, WriterLoop, ::testing::Range<size_t>(0, allWriters().size()),
                         [](const auto& test) { return std::string(allWriters().at(test.param).name); });

// Every writer on a really full file system: a small tmpfs (private mount namespace, root only)
// filled after the set-up. Failure reported or the right result; with room, the checks hold.
TEST_F(WriterLoops, FullDisk) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace and a tmpfs";
    for (const Writer& w : allWriters()) {
        TempDir dir;
        const int status = runInChildWithFaults(FaultPlan{}, [&] {
            if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m") != 0)
                return 77;
            w.setup(dir);
            // Page by page (a tmpfs has nothing smaller) until the file system is full.
            if (runCommand("LC_ALL=C dd if=/dev/zero of=" + dir.file("filler") + " bs=4k 2>&1 | grep -q 'No space'"))
                return 78;
            const bool ok = w.run(dir);
            std::printf("%s on a full disk: %s\n", w.name, ok ? "succeeded" : "failed");
            unlink(dir.file("filler").c_str());
            w.check(dir, ok && w.reportsFailure ? Outcome::Succeeded : Outcome::Failed);
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        if (status == 77) GTEST_SKIP() << "no private mount namespace or tmpfs here";
        ASSERT_NE(status, 78) << w.name << ": the tmpfs did not fill";
        EXPECT_EQ(status, 0) << w.name << " on a full disk (see above)";
    }
}

// Other hosts' temporaries go by age in every sweep: one unchanged for longer than the limit goes;
// a younger one stays (its writer may be at it), and so does an old work directory with a young file.
TEST_F(WriterLoops, OtherHostsLeftoversGoByAge) {
    const Writer tableCreate{"ResultsTableCreate", [](const TempDir&) {},
                             [](const TempDir& d) { return createTable(d.file("results.db")); }, {}};
    const std::vector<Writer> all = allWriters();
    const auto named = [&](std::string_view name) {
        return *std::find_if(all.begin(), all.end(), [&](const Writer& w) { return w.name == name; });
    };
    const std::tuple<Writer, const char*, const char*> cases[] = {
        {named("SettingsRewrite"), "settings.ini", "tmp"},
        {named("SortAndReplace"), "list.txt", "sortwork"},
        {named("JobIdFile"), "KR_Index/2/7/1700000000/JobId", "tmp"},
        {named("GenerateFileAndMap"), "KR_JobResults/2/5/7/.generating", "1"},
        {named("GenerateFileAndMap"), "KR_JobResults/2/5/7/1.map", "new"},
        {tableCreate, "results.db", "new"},
    };
    const int64_t old = TempNames::kOtherHostLeftoverSeconds + 86400, recent = old - 2 * 86400;
    for (const auto& [writer, base, tag] : cases) {
        TempDir dir;
        writer.setup(dir);
        const std::string name = dir.file(base) + "." + tag + ".otherhost.", stale = name + "1.0badcafe",
                          young = name + "2.0badcafe", busy = name + "3.0badcafe";
        writeFileText(stale, "x");
        writeFileText(young, "x");
        fs::create_directory(busy);
        writeFileText(busy + "/run", "x");
        for (const auto& [path, seconds] : {std::pair{stale, old}, {young, recent}, {busy + "/run", recent}, {busy, old}})
            makeOlder(path, seconds);
        EXPECT_TRUE(writer.run(dir)) << writer.name;
        EXPECT_FALSE(fs::exists(stale)) << writer.name << ": " << stale;
        EXPECT_TRUE(fs::exists(young) && fs::exists(busy)) << writer.name;
    }
}
