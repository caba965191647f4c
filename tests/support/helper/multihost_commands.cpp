// Commands for the multi-host test: each runs inside a simulated host (its own host name, its own
// process ids, its own settings with its own client id) on a cache root that all hosts share.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <iterator>
#include <string>
#include <thread>

#include "HelperCommand.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/CXProcessId.h"
#include "Platform/PlatformSleep.h"
#include "Platform/TempNames.h"
#include "tests/support/ReserveText.h"

namespace {
struct HostDir : JobResultsCacheDir {
    HostDir(unsigned long app, unsigned long stamp)
        : JobResultsCacheDir(1, 2, app, 7, static_cast<BackupType>(1), stamp, TCacheIndex) {
        initialize(nullptr);
    }
};

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// How many lines of the reserve file are this process's on this host (its client id and its full
// process id: pid and start), and the blocks of the last. The file is rewritten in place under its
// lock: read under a shared lock, as the library does, or a rewrite under way shows a mix.
int ownLines(const std::string& reserveFile, const std::string& clientId, uint32_t* blocks) {
    CXFile file;
    std::string text;
    if (file.open(reserveFile.c_str(), sfReadOnly) != 0 || file.lock(sfLockShared, 60) != 1 || file.readWhole(text) != 0)
        text.clear();
    int count = 0;
    for (const ReserveLine& line : reserveLinesOf(text))
        if (line.host == clientId && line.pid == ownProcessId()) {
            ++count;
            if (blocks != nullptr) *blocks = line.blocks;
        }
    return count;
}

class HostWorker {
public:
    HostWorker(unsigned seed, const std::string& journal, const std::string& root)
        : random_(seed), journal_(::open(journal.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)),
          root_(root), own_(0, 0) {
        clientId_ = std::to_string(own_.getClientId());
        ownBytes_ = static_cast<uint64_t>(1 + seed % 40) << 20;
        ownBlocks_ = static_cast<uint32_t>((ownBytes_ + 2500000) / own_.getBlockSize());
    }

    void run(time_t deadline) {
        reassert();
        while (time(nullptr) < deadline) {
            switch (pick(9)) {
                case 0: case 1: reassert(); break;
                case 2: case 3: createAndHold(); break;
                case 4: readAndHold(); break;
                case 5: cleanUp(); break;
                case 6: updateAndHold(); break;
                default: tempName(); break;
            }
            checkOwnLine("after an operation");
        }
        if (own_.release(0, true) != 0) violation("release of all failed");
        if (ownLines(own_.getReserveFilePath(), clientId_, nullptr) != 0) violation("own line left after releasing all");
    }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }
    void say(const std::string& line) {
        const std::string text = line + "\n";
        if (write(journal_, text.data(), text.size()) < 0) std::_Exit(3);
    }
    std::string who() const { return TempNames::hostPart() + ":" + std::to_string(getpid()); }
    void violation(const std::string& what) { say("VIOLATION " + who() + " " + what); }

    // This process's reservation is in the file once, as it wrote it, whatever the processes
    // of other hosts (some with the same pid) wrote meanwhile.
    void checkOwnLine(const char* when) {
        uint32_t blocks = 0;
        const int count = ownLines(own_.getReserveFilePath(), clientId_, &blocks);
        if (count != 1 || blocks != ownBlocks_)
            violation(std::string("own reserve line ") + (count == 0 ? "gone" : "changed") + " " + when);
    }
    // A transaction on the reserve file that writes this process's line anew.
    void reassert() {
        own_.setReserveBuffer(0);
        if (own_.reserve(ownBytes_, 0, 0, 0) != 1) return violation("reserve failed");
        say("OK reserve");
    }
    // While held, the directory is there and the mark this holder wrote is still its own.
    void hold(const std::string& path, const std::string& mark) {
        if (!mark.empty()) std::ofstream(path + "/owner") << mark;
        for (int i = 0; i < 2; ++i) {
            if (access((path + "/State").c_str(), F_OK) != 0) return violation("held directory removed " + path);
            if (!mark.empty() && readText(path + "/owner") != mark) return violation("another writer in " + path);
            std::this_thread::sleep_for(std::chrono::microseconds(pick(5000)));
        }
    }
    void createAndHold() {
        HostDir dir(7, 0);
        char* path = dir.create(static_cast<uint32_t>(time(nullptr)) - 100000 + pick(2000));
        if (path == nullptr) return;  // the time stamp is taken
        const std::string kept = path;
        hold(kept, who() + ":" + std::to_string(++ops_));
        if (dir.close(false) != 0) violation("close after create failed " + kept);
        say("OK create");
    }
    // The newest index copied (the copy's temporary names carry host and pid) or renamed into
    // a directory of this second, this process's alone until it closes it.
    void updateAndHold() {
        HostDir dir(7, 0);
        dir.copyUponUpdate(pick(2) == 0);
        char* path = dir.update(false, 0, false);
        if (path == nullptr) return;  // nothing to update, or busy
        const std::string kept = path;
        hold(kept, who() + ":" + std::to_string(++ops_));
        if (dir.close(false) != 0) violation("close after update failed " + kept);
        say("OK update");
    }
    void readAndHold() {
        HostDir dir(7, 0);
        char* path = dir.open(0, false);
        if (path == nullptr) return;  // nothing complete yet, or all cleaned
        const std::string kept = path;
        hold(kept, "");
        if (dir.close(false) != 0) violation("close after open failed " + kept);
        say("OK read");
    }
    void cleanUp() {
        HostDir dir(0, 0);
        dir.setNumDays(pick(2) == 0 ? 0 : 1);
        if (dir.cleanUp(0, true, false, false, 0, 0, 0, 0, 0, 0) < 0) violation("cleanUp failed");
        say("OK cleanup");
    }
    // A temporary name is made here and created exclusively: the same pid on another host must
    // never give the same name.
    void tempName() {
        const std::string name = TempNames::make(root_ + "/names", "w");
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) return violation("temporary name taken: " + name + " errno " + std::to_string(errno));
        ::close(fd);
        say("NAME " + TempNames::hostPart() + " " + name.substr(name.rfind('/') + 1));
    }

    std::mt19937 random_;
    int journal_;
    std::string root_;
    HostDir own_;
    std::string clientId_;
    uint64_t ownBytes_ = 0;
    uint32_t ownBlocks_ = 0;
    unsigned long ops_ = 0;
};

void shortenSleeps() {
    setPlatformSleepHook([](unsigned long ms, const char*, int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 10ul)));
    });
}
}  // namespace

// multihost_worker SEED DEADLINE JOURNAL ROOT: keeps a reservation of its own and, until DEADLINE
// (seconds since 1970), rewrites it, creates, reads and updates (by copy or rename) directories of
// app 7 while checking what it holds, runs the cleanup and makes temporary names under ROOT/names.
// Broken promises go to JOURNAL as "VIOLATION ...", finished operations as "OK ..." and names as
// "NAME <host> <name>".
HELPER_COMMAND(multihost_worker) {
    if (args.size() != 4) return 64;
    shortenSleeps();
    HostWorker worker(static_cast<unsigned>(std::strtoul(args[0].c_str(), nullptr, 10)), args[2], args[3]);
    worker.run(static_cast<time_t>(std::strtoll(args[1].c_str(), nullptr, 10)));
    return 0;
}

// multihost_reserve die|pass: reserves a megabyte and says its line's head; "die" then dies by
// SIGKILL with its line in the file, "pass" gives everything back and exits 0. (Not as the
// namespace's first process: that one cannot be killed from inside.)
HELPER_COMMAND(multihost_reserve) {
    if (args.size() != 1) return 64;
    shortenSleeps();
    HostDir dir(0, 0);
    if (dir.reserve(1 << 20, 0, 0, 0) != 1) return 2;
    helperSay(std::to_string(dir.getClientId()) + ":" + ownProcessId());
    if (args[0] == "die") raise(SIGKILL);
    return dir.release(0, true) == 0 ? 0 : 1;
}
