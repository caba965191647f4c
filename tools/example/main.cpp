// The main job's example: walks through what the library does, step by step, on a scratch
// instance of its own (settings, log directory and locks under one temporary directory).
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXChildProcess.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/CXProcessId.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "JobResults/VornicaConstants.h"
#include "Platform/EvEvent.h"
#include "Platform/EvReturnData.h"
#include "Platform/EventJournal.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPlatformInfo.h"
#include "Platform/MDLock.h"
#include "Platform/ReturnDataReader.h"
#include "tools/example/ExampleSteps.h"

namespace {
bool pathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A scratch instance: the settings file, the log directory with its marker, the lock directory.
std::string prepareInstance() {
    char pattern[] = "/tmp/vornica-example-XXXXXX";
    std::string dir = mkdtemp(pattern);
    mkdir((dir + "/log").c_str(), 0755);
    std::ofstream(dir + "/log/CXIndexLogging");
    std::ofstream(dir + "/instance.ini") << "[Focus]\nClientName=client1\n"
                                            "[Platform]\nMediaAgent=yes\nTalClient=yes\nTempDirectory=" << dir << "/tmp\n"
                                            "[Debug]\nIndexDebug=0x4\n"
                                            "[MediaAgent]\nIndexCacheDirectory=" << dir << "/cache\n"
                                            "sSPACESAVER=1\nsDISABLERESERVE=n\n"
                                         << "[~Machines\\client1]\nHostName=client1.example\nClientId=2\n"
                                         << "JobResultsDirectory=" << dir << "/results\n";
    mkdir((dir + "/tmp").c_str(), 0755);
    setenv("VORNICA_CONFIG", (dir + "/instance.ini").c_str(), 1);
    setenv("VORNICA_DEBUG_DIR", (dir + "/log/").c_str(), 1);
    setenv("VORNICA_LOCK_DIR", (dir + "/locks").c_str(), 1);
    return dir;
}
const char* stateName(const std::string& dir) {
    std::ifstream state(dir + "/State");
    static const char* names[] = {"Complete", "Suspended", "Reading", "Writing"};
    int value = state.get() - '0';
    return value >= 0 && value <= 3 ? names[value] : "(no State file)";
}

JobResultsCacheDir* backupIndex(int64_t jobId) {
    auto* dir = new JobResultsCacheDir(kAppTypeIndex, 2, 7, jobId, static_cast<BackupType>(1), 0, TCacheIndex);
    dir->initialize("client1");
    return dir;
}

void listDirectory(const std::string& path) {
    CXDirectory listing;
    if (listing.open(path.c_str()) != 0) return;
    for (char* name = listing.read(); name != nullptr; name = listing.read())
        if (name[0] != '.') std::printf("      %s\n", name);
}
// update names the new directory by the current second: two updates need two seconds.
void waitForNextSecond() {
    const time_t start = time(nullptr);
    while (time(nullptr) == start) usleep(20000);
}

// Incremental backups continue the previous index: by a copy while it is small (the settings set
// the threshold to 1 MB), by renaming it once it has grown; a job can be suspended and resumed,
// and a resume by the wrong job moves the directory aside.
void walkIncrementalsSuspendAndResume() {
    step("an incremental backup updates the previous index by copying it (below the 1 MB threshold)");
    std::string copied;
    {
        JobResultsCacheDir* job = backupIndex(103);
        const char* previous = job->open(0, false);
        const std::string old = previous != nullptr ? previous : "";
        job->close(false);
        char* path = job->update(false, 0, false);
        if (path == nullptr) return std::printf("    update failed: %d\n", job->getErrno()), void();
        copied = path;
        std::printf("    %s copied to %s: %s; the old one is %s\n", old.c_str(), path, stateName(path),
                    pathExists(old) ? stateName(old) : "gone");
        std::ofstream(copied + "/index.dat", std::ios::app) << std::string(2 << 20, 'i');  // grows past 1 MB
        job->close(false);
        delete job;
    }
    waitForNextSecond();
    step("the next incremental renames the grown index instead of copying it");
    {
        JobResultsCacheDir* job = backupIndex(104);
        char* path = job->update(false, 0, false);
        if (path == nullptr) return std::printf("    update failed: %d\n", job->getErrno()), void();
        std::printf("    %s renamed to %s: %s; %s %s\n", copied.c_str(), path, stateName(path), copied.c_str(),
                    pathExists(copied) ? "still there" : "gone");
        step("the job records itself in the job id file, is suspended, and resumed by the same job");
        job->setJobIndexWriteCounter(1);
        job->createJobIdFile();
        std::ifstream jobIdFile(std::string(path) + "/JobId");
        std::string line;
        std::getline(jobIdFile, line);
        std::printf("    JobId: %s\n", line.c_str());
        const std::string kept = path;
        const int suspended = job->suspend();
        std::printf("    suspend: %d, state %s\n", suspended, stateName(kept));
        delete job;
        JobResultsCacheDir* again = backupIndex(104);
        again->setJobIndexWriteCounter(1);
        path = again->resume(104, false);
        std::printf("    resume by job 104: %s, %s, write counter now %u\n", path != nullptr ? path : "(refused)",
                    stateName(kept), again->getJobIndexWriteCounter());
        std::ofstream(kept + "/TL_RST.cfg") << "restart point\n";
        std::ofstream(kept + "/current_chunk") << "7\n";
        std::printf("    suspend again: %d\n", again->suspend());
        delete again;

        step("a resume by another job finds the directory is not its own and moves it to ready_to_resume");
        JobResultsCacheDir* wrong = backupIndex(105);
        path = wrong->resume(105, false);
        std::printf("    resume by job 105: %s, rejected %s\n", path != nullptr ? path : "(null)",
                    wrong->isResumeRejected() ? "yes" : "no");
        const std::string aside = kept.substr(0, kept.rfind('/')) + "/ready_to_resume";
        std::printf("    %s holds:\n", aside.c_str());
        listDirectory(aside);
        delete wrong;
    }
}

// Two processes reserve space in the cache's shared reserve file; each keeps one line there.
void twoProcessesReserveSpace() {
    step("two processes reserve space: each has one line in the shared reserve file");
    int ready[2], done[2];
    if (pipe(ready) != 0 || pipe(done) != 0) return;
    std::fflush(stdout);  // or the child would print the parent's buffered lines again
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        close(done[1]);
        JobResultsCacheFs cache(kAppTypeIndex, TCacheIndex);
        cache.initialize("client1");
        const int result = cache.reserve(50u << 20, 0, 0, 0);
        std::printf("    child %d: reserve of 50 MB: %d (1 = reserved)\n", getpid(), result);
        std::fflush(stdout);
        (void)!write(ready[1], "r", 1);
        char byte;
        (void)!read(done[0], &byte, 1);
        _exit(0);  // dies without giving its line back: the next rewrite drops a dead process's line
    }
    // Only the child holds these ends: when it dies early (its output closed: SIGPIPE), the
    // read below sees the end of the pipe instead of waiting for ever.
    close(ready[1]);
    close(done[0]);
    char byte;
    const bool childReady = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!childReady) {
        close(done[1]);
        waitpid(child, nullptr, 0);
        std::printf("    the child ended before it reserved\n");
        return;
    }
    JobResultsCacheFs cache(kAppTypeIndex, TCacheIndex);
    cache.initialize("client1");
    const int first = cache.reserve(10u << 20, 0, 0, 0);
    std::printf("    parent %d: reserve of 10 MB: %d, buffer now %" PRIu64 " bytes\n", getpid(), first,
                cache.getReserveBuffer());
    const int second = cache.reserve(5u << 20, 0, 0, 0);
    std::printf("    a second reserve of 5 MB is served from the buffer: %d, buffer now %" PRIu64 " bytes\n", second,
                cache.getReserveBuffer());
    std::ifstream reserveFile(cache.getReserveFilePath());
    std::printf("    %s:\n", cache.getReserveFilePath().c_str());
    for (std::string line; std::getline(reserveFile, line);) std::printf("      %s\n", line.c_str());
    close(done[1]);  // the child's signal to end
    waitpid(child, nullptr, 0);
    cache.release(0, true);
    std::ifstream after(cache.getReserveFilePath());
    int lines = 0;
    for (std::string line; std::getline(after, line);) ++lines;
    std::printf("    after the child died and the parent released all: %d line(s)\n", lines);
}

// The road of a backup job's index through the cache, as far as the library goes.
void walkTheRoadOfABackupIndex() {
    const uint32_t now = JobResultsCacheFs::getCurrentTime();
    step("an old full backup, 30 days ago, writes its index and closes it");
    {
        JobResultsCacheDir* job = backupIndex(100);
        const char* path = job->create(now - 30 * 86400);
        std::ofstream(std::string(path) + "/index.dat") << "old index\n";
        std::printf("    created %s: %s\n", path, stateName(path));
        job->close(false);
        delete job;
    }
    step("a full backup creates a directory, writes its index, closes it");
    std::string fullPath;
    {
        JobResultsCacheDir* job = backupIndex(101);
        fullPath = job->create(now - 3600);
        std::ofstream(fullPath + "/index.dat") << "index of job 101\n";
        std::printf("    created %s: %s, locked exclusively: %s\n", fullPath.c_str(), stateName(fullPath),
                    job->alreadyLocked() ? "yes" : "no");
        job->close(false);
        std::printf("    closed: %s\n", stateName(fullPath));
        delete job;
    }
    step("a reader opens the newest directory");
    {
        JobResultsCacheDir* reader = backupIndex(0);
        const char* path = reader->open(0, false);
        std::printf("    opened %s: %s, access time %d\n", path, stateName(path), reader->getAtime());
        reader->close(false);
        delete reader;
    }
    step("a writer crashes: its directory stays in Writing with nobody holding the lock");
    std::string crashedPath;
    {
        JobResultsCacheDir* crashed = backupIndex(102);
        crashedPath = crashed->create(now - 60);
        delete crashed;  // no close: the lock goes with the process, the state stays
        std::printf("    %s: %s\n", crashedPath.c_str(), stateName(crashedPath));
    }
    step("the next open discards the crashed writer's directory and falls back to the newest good one");
    {
        JobResultsCacheDir* reader = backupIndex(0);
        const char* path = reader->open(0, false);
        std::printf("    opened %s\n", path != nullptr ? path : "(nothing)");
        std::printf("    %s %s\n", crashedPath.c_str(), pathExists(crashedPath) ? "still there" : "discarded");
        reader->close(false);
        delete reader;
    }
    walkIncrementalsSuspendAndResume();

    step("cleanup ages out directories older than 15 days");
    {
        JobResultsCacheFs cache(kAppTypeIndex, TCacheIndex);
        cache.initialize("client1");
        cache.setNumDays(15);
        cache.setDiskFree(0);
        std::printf("    cleanUp: %d\n", cache.cleanUp(0, true, false, false, 0, 0, 0, 0, 0, 0));
        CXDirectory app;
        app.open((std::string(cache.getCacheFs()) + "/2/7").c_str());
        for (char* name = app.read(); name != nullptr; name = app.read())
            if (name[0] != '.') std::printf("    left: %s\n", name);
    }
}

std::string scratch;
void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);  // never follows a link inside
}

const char* const kUsage =
    "usage: vornica-example [--keep]\n"
    "Walks what the library does, step by step, on a scratch instance of its own under /tmp\n"
    "(settings, log directory, locks, an index cache and job results).\n"
    "  --keep   keep the scratch instance afterwards (it is removed by default)\n"
    "  --help   print this and exit\n";
}  // namespace

int main(int argc, char** argv) {
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg != "--keep") {
            std::fprintf(stderr, "vornica-example: unknown argument %s\n%s", argv[i], kUsage);
            return 2;
        }
        keep = true;
    }
    // Lines go out as they are made, and a reader that goes away ends the walk (see step)
    // instead of killing the process before it cleans up.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    std::string dir = prepareInstance();
    scratch = dir;
    if (!keep) std::atexit(removeScratch);
    std::printf("scratch instance in %s%s\n", dir.c_str(), keep ? " (kept)" : " (removed at the end; --keep keeps it)");

    step("read the instance's settings");
    KRPlatformInfo info;
    info.setFocus(KRPI_Focus::getFocus());
    const char* client = KRPI_Focus::getFocusClientName(false);
    char host[256] = "";
    info.getClientHostName(client, host, sizeof host);
    std::printf("    focus %s, client %s on host %s\n", KRPI_Focus::getFocus(), client, host);

    step("write debug lines: level 1 always, level 4 enabled by the mask, level 2 filtered");
    {
        TDebuggable log;
        log.setDebugPrefix("EXAMPLE");
        log.setProgramName("vornica-example");
        std::printf("    debug mask 0x%x\n", TDebuggable::getDebugMask());
        log.debug(1, "a level 1 line\n");
        log.debug(4, "a detail line for %s\n", log.dateToString(static_cast<unsigned long>(time(nullptr))));
        log.debug(2, "this line is filtered out\n");

        step("raise an event with streamed arguments");
        log.ev() << "client1" << 42L;
        log.ev().InfoEvent(0xE000008, 0, 0);
    }
    std::ifstream logFile(dir + "/log/log.out");
    for (std::string line; std::getline(logFile, line);)
        if (!line.empty()) std::printf("    log.out: %s\n", line.c_str());

    step("write a setting atomically and read it back");
    info.setRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", 1);
    int enabled = 0;
    KRPlatformInfo again;
    again.setFocus(KRPI_Focus::getFocus());
    again.getRegInt("~Machines\\client1", "nTRANLOGCATALOGSERVERENABLED", &enabled);
    std::printf("    nTRANLOGCATALOGSERVERENABLED = %d\n", enabled);

    step("take and release a machine-wide named lock");
    {
        MDLock lock("PAGING_CLEANUP");
        std::printf("    set: %s\n", lock.set(MDLock::kWaitForever) ? "held" : "failed");
        lock.unset();
        std::printf("    released\n");
    }

    step("send a reply of tagged fields over a socket and decode it");
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
        {
            EvReturnData reply(1084, 7, CYuSocket(pair[0]), false);
            int64_t total = 2;
            reply.send(4140, &total, sizeof total);
            reply.add(4148, "first line", 10);
            reply.add(4148, "second line", 11);
            reply.end(0);
        }
        ReturnDataReader reader(pair[1]);
        unsigned long type = 0;
        int64_t sequence = 0;
        reader.readHeader(type, sequence);
        std::printf("    reply type %lu, sequence %" PRId64 "\n", type, sequence);
        ReturnDataReader::Field field;
        while (reader.next(field) == 1)
            std::printf("    %s (tag %u): %zu bytes\n", pageTagName(field.tag), field.tag, field.bytes.size());
        close(pair[1]);
    }

    step("a job's State file: write two lines, hold the exclusive lock, read them back");
    std::string jobDir = dir + "/cache/KR_Index/2/7/1700000000";
    recursiveMkdir(jobDir.c_str(), 0700);
    {
        CXFile state;
        state.open((jobDir + "/State").c_str(), sfOpenOrCreate);
        std::printf("    exclusive lock: %d\n", state.lock(sfLockExclusive, 0));
        CXFile other;
        other.open((jobDir + "/State").c_str(), sfReadWrite);
        std::printf("    a second open file is refused a shared lock at once: %d\n", other.lock(sfLockShared, 0));
        state.putLine("Writing", false);
        state.putLine("1700000000", true);
        state.seek(0, sfSeekSet);
        char line[128];
        while (state.getLine(line, sizeof line) == 1) std::printf("    State: %s\n", line);
        state.unlock();
        std::printf("    released; now the other gets it: %d\n", other.lock(sfLockShared, 0));
    }

    step("list the job's directory and measure its volume");
    {
        CXDirectory listing;
        listing.open(jobDir.c_str());
        for (char* name = listing.read(); name != nullptr; name = listing.read()) std::printf("    entry %s\n", name);
        uint64_t availableKB = 0, totalKB = 0;
        unsigned long blockSize = 0;
        listing.getFreeSpace(jobDir.c_str(), &availableKB, &totalKB, &blockSize);
        std::printf("    %llu of %llu KB available (blocks of %lu bytes)\n", static_cast<unsigned long long>(availableKB),
                    static_cast<unsigned long long>(totalKB), blockSize);
    }

    step("run a child process connected through pipes, and name this process durably");
    {
        CXChildProcess child;
        char* unameArgs[] = {const_cast<char*>("uname"), const_cast<char*>("-sr"), nullptr};
        if (child.spawnConnected("uname", unameArgs, true, false) == 0) {
            char line[256];
            while (child.getLine(line, sizeof line) == 1) std::printf("    child says: %s\n", line);
            std::printf("    wait: %d\n", child.wait());
        } else {
            std::printf("    spawn failed: %s\n", child.getFailureMessage());
        }
        CXProcessId self;
        self.thisProcess();
        std::printf("    this process: %s, running %d\n", self.getIdString(), self.isRunning());
    }

    walkTheRoadOfABackupIndex();
    twoProcessesReserveSpace();
    walkTheRoadOfAPage(dir);

    step("the event journal");
    std::ifstream journal(EventJournal::journalPath());
    int records = 0;
    for (std::string line; std::getline(journal, line);) ++records;
    std::printf("    %d records in %s\n", records, EventJournal::journalPath().c_str());
    return 0;
}
