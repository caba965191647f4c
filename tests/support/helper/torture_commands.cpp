// torture_worker SEED DEADLINE JOURNAL KILLPERMILLE: random operations on the index cache of
// talCell 2, apps 7 and 8 (server caches) and their client caches of the job results, and on
// the cache's reserve file, until DEADLINE (seconds since 1970). Every finished operation appends "OK <op>" to JOURNAL, every
// broken promise "VIOLATION <what>"; with probability KILLPERMILLE/1000 per held directory the
// process appends "KILL <op>" and dies by SIGKILL while holding it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HelperCommand.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/PlatformSleep.h"
#include "tests/support/ReserveText.h"

namespace {
constexpr uint32_t kAnchorAge = 200000;  // the anchors are older than every directory made here

struct TortureDir : JobResultsCacheDir {
    TortureDir(KRAppType type, unsigned long app, unsigned long stamp)
        : JobResultsCacheDir(type, 2, app, 7, static_cast<BackupType>(1), stamp, TCacheIndex) {
        initialize(nullptr);
    }
    bool busy() const { return busyOpen_; }
};

// The lines of the reserve file whose head names this process.
int ownReserveLines(const std::string& reserveFile) {
    const std::string suffix = ":" + ownProcessId() + " ";
    std::ifstream in(reserveFile);
    int count = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find(suffix) != std::string::npos) ++count;
    return count;
}

class Worker {
public:
    Worker(unsigned seed, const std::string& journal, unsigned killPermille)
        : random_(seed), journal_(::open(journal.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)),
          killPermille_(killPermille) {}

    void run(time_t deadline) {
        base_ = static_cast<uint32_t>(time(nullptr)) - kAnchorAge / 2;
        while (time(nullptr) < deadline) {
            const unsigned long app = pick(2) == 0 ? 7 : 8;
            switch (pick(14)) {
                case 0: case 1: case 5: createAndEnd(app); break;
                case 2: case 3: readAndClose(app); break;
                case 4: writeClientCache(app); break;
                case 6: discard(app); break;
                case 7: unCacheOne(app); break;
                case 8: cleanUp(); break;
                case 9: periodic(); break;
                case 10: update(app); break;
                case 11: resume(app); break;
                default: reserveAndRelease(); break;
            }
        }
    }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }
    void say(const std::string& line) {
        const std::string text = line + "\n";
        if (write(journal_, text.data(), text.size()) < 0) std::_Exit(3);
    }
    void violation(const std::string& what, const char* path) {
        say("VIOLATION " + what + " " + (path != nullptr ? path : "-") + " pid " + std::to_string(getpid()));
    }
    uint32_t newStamp() { return base_ + pick(4000); }
    void maybeDie(const char* op) {
        if (pick(1000) < killPermille_) {
            say(std::string("KILL ") + op);
            raise(SIGKILL);
        }
    }
    static std::string readText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return in ? all.str() : std::string("<unreadable>");
    }
    // While held: the directory is there, its State reads one of the states its holder allows,
    // and a writer's mark is still its own.
    bool holds(const char* path, const char* states, const std::string& mark) {
        const std::string state = readText(std::string(path) + "/State");
        if (state.empty() || std::string(states).find(state[0]) == std::string::npos) {
            violation("state '" + state.substr(0, 1) + "' not in " + states, path);
            return false;
        }
        if (!mark.empty() && readText(std::string(path) + "/owner") != mark) {
            violation("another writer in", path);
            return false;
        }
        return true;
    }
    void hold(const char* path, const char* states, const std::string& mark, const char* op) {
        if (!mark.empty()) std::ofstream(std::string(path) + "/owner") << mark;
        holds(path, states, mark);
        maybeDie(op);
        std::this_thread::sleep_for(std::chrono::microseconds(pick(3000)));
        holds(path, states, mark);
    }
    std::string mark() const { return std::to_string(getpid()) + ":" + std::to_string(ops_); }
    // Holds a directory this process writes, then ends it by suspend (one time in `suspendOneIn`)
    // or by a close, as one that may still be resumed or not.
    void writeAndEnd(TortureDir& dir, char* path, const char* op, unsigned suspendOneIn, const std::string& ok) {
        ++ops_;
        hold(path, "3", mark(), op);
        const std::string kept = path;
        const bool suspend = pick(suspendOneIn) == 0;
        if (suspend ? dir.suspend() != 0 : dir.close(pick(2) == 0) != 0) violation(std::string("end of ") + op + " failed", kept.c_str());
        say(ok + (suspend ? " suspended" : ""));
    }

    void createAndEnd(unsigned long app) {
        TortureDir dir(1, app, 0);
        // A null path: the time stamp is taken.
        if (char* path = dir.create(newStamp())) writeAndEnd(dir, path, "create", 3, "OK create");
    }
    void readAndClose(unsigned long app) {
        TortureDir dir(1, app, 0);
        char* path = dir.open(0, false);
        // The anchor, older than all, is held by a reader for the whole run: always usable.
        if (path == nullptr) return violation("open failed, error " + std::to_string(dir.getErrno()), nullptr);
        ++ops_;
        hold(path, "02", "", "read");
        if (dir.close(false) != 0) violation("close after open failed", path);
        say("OK read");
    }
    void writeClientCache(unsigned long app) {
        TortureDir dir(kAppTypeJobResults, app, 900);
        char* path = dir.open(0, false);
        if (path == nullptr && dir.getErrno() == JobResultsCacheDir::kErrNoPreviousBackup) path = dir.create(0);
        if (path == nullptr) {
            if (dir.getErrno() != JobResultsCacheDir::kErrBusy && dir.getErrno() != EEXIST)
                say("NOTE client open failed " + std::to_string(dir.getErrno()));
            return;
        }
        ++ops_;
        hold(path, dir.busy() ? "0123" : "3", dir.busy() ? "" : mark(), "write");
        if (dir.close(false) != 0) violation("close after write failed", path);
        say(dir.busy() ? "OK busywrite" : "OK write");
    }
    // The previous index is copied or renamed into a directory of this second; the new one is
    // this process's alone until it closes or suspends it.
    void update(unsigned long app) {
        TortureDir dir(1, app, 0);
        const bool copy = pick(2) == 0;
        dir.copyUponUpdate(copy);
        char* path = dir.update(false, 0, false);
        if (path == nullptr) return say("OK updatefail " + std::to_string(dir.getErrno()));
        writeAndEnd(dir, path, "update", 3, copy ? "OK updatecopy" : "OK updaterename");
    }
    // Resumes the app's newest directory: a suspended one becomes this process's writer.
    void resume(unsigned long app) {
        TortureDir dir(1, app, 0);
        char* path = dir.resume(pick(2) == 0 ? 0 : 7, false);
        if (path == nullptr) return say("OK resumefail " + std::to_string(dir.getErrno()));
        writeAndEnd(dir, path, "resume", 2, "OK resume");
    }
    // While this process has a reservation its line is in the reserve file exactly once; when it
    // gives everything back the line is gone.
    void reserveAndRelease() {
        TortureDir dir(1, 0, 0);
        const std::string file = dir.getReserveFilePath();
        const uint64_t bytes = static_cast<uint64_t>(pick(64)) << 20;
        if (dir.reserve(bytes, 0, 0, 0) != 1) return violation("reserve failed", file.c_str());
        if (dir.getReserveBuffer() > 0 && ownReserveLines(file) != 1)
            violation("own reserve line not there once", file.c_str());
        maybeDie("reserve");
        if (dir.release(bytes / 2, false) != 0) violation("release failed", file.c_str());
        if (pick(2) == 0) {
            if (dir.release(0, true) != 0) violation("release of all failed", file.c_str());
            if (ownReserveLines(file) != 0) violation("own reserve line left after releasing all", file.c_str());
        }
        say("OK reserve");
    }
    void discard(unsigned long app) {
        TortureDir dir(1, app, 0);
        const bool own = pick(2) == 0;
        char* path = own ? dir.create(newStamp()) : dir.open(0, false);
        if (path == nullptr) return;
        ++ops_;
        const std::string kept = path;
        const int result = dir.discard(true);
        if (own && result != 0) violation("discard of its own directory failed", kept.c_str());
        if (result != 0 && dir.getErrno() != JobResultsCacheDir::kErrBusy) violation("discard failed", kept.c_str());
        if (result != 0) dir.close(false);
        say(result == 0 ? "OK discard" : "OK discardbusy");
    }
    void unCacheOne(unsigned long app) {
        std::vector<unsigned long> stamps;
        const std::string appDir = std::string(getenv("VORNICA_TORTURE_ROOT")) + "/KR_Index/2/" + std::to_string(app);
        if (DIR* listing = opendir(appDir.c_str())) {
            while (dirent* entry = readdir(listing))
                if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') stamps.push_back(std::strtoul(entry->d_name, nullptr, 10));
            closedir(listing);
        }
        if (stamps.empty()) return;
        TortureDir dir(1, app, stamps[pick(static_cast<unsigned>(stamps.size()))]);
        if (dir.unCache(pick(2) == 0, 0, 0, 0) != 0) violation("unCache failed", dir.getCacheDir());
        say("OK uncache");
    }
    void cleanUp() {
        static const unsigned days[] = {0, 1, 2, 3, 20400, 36500};
        TortureDir dir(1, 0, 0);
        dir.setNumDays(days[pick(6)]);
        if (dir.cleanUp(0, pick(2) == 0, false, pick(2) == 0, 0, 0, 0, 0, 0, 0) < 0) violation("cleanUp failed", nullptr);
        say("OK cleanup");
    }
    void periodic() {
        TortureDir dir(1, 0, 0);
        if (dir.periodicCleanup() != 0) violation("periodicCleanup failed", nullptr);
        say("OK periodic");
    }

    std::mt19937 random_;
    int journal_;
    unsigned killPermille_;
    uint32_t base_ = 0;
    unsigned long ops_ = 0;
};
}  // namespace

HELPER_COMMAND(torture_worker) {
    if (args.size() != 4) return 64;
    Worker worker(static_cast<unsigned>(std::strtoul(args[0].c_str(), nullptr, 10)), args[2],
                  static_cast<unsigned>(std::strtoul(args[3].c_str(), nullptr, 10)));
    // The retries of a second and the lock polls are cut short, so that many more operations
    // meet each other; a lock wait of 60 s still lasts several seconds.
    setPlatformSleepHook([](unsigned long ms, const char*, int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 10ul)));
    });
    worker.run(static_cast<time_t>(std::strtoll(args[1].c_str(), nullptr, 10)));
    return 0;
}
