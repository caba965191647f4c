#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "HelperCommand.h"
#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/idxport/CXFile.h"
#include "Platform/PlatformSleep.h"
#include "tests/support/ReserveText.h"

namespace {
// The 9-second pause between two tries for the reserve file's lock is cut short; the waits
// inside a try stay real.
void shortenLockRetries() {
    setPlatformSleepHook([](unsigned long ms, const char*, int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms >= 9000 ? 20 : ms));
    });
}

// Reads the reserve file under a shared lock: "" when it holds exactly `lines` well-formed lines
// of distinct processes, this process's with ownBlocks; otherwise what is wrong.
std::string checkReserveFile(const std::string& path, size_t lines, uint32_t ownBlocks) {
    CXFile file;
    std::string text;
    if (file.open(path.c_str(), sfReadOnly) != 0 || file.lock(sfLockShared, 60) != 1 || file.readWhole(text) != 0)
        return "cannot read the reserve file";
    file.close();
    int malformed = 0;
    std::set<std::string> heads;
    bool ownSeen = false;
    for (const ReserveLine& line : reserveLinesOf(text, &malformed)) {
        if (line.time == 0) ++malformed;
        if (!heads.insert(line.head).second) return "duplicate line of " + line.head;
        if (line.pid == ownProcessId()) ownSeen = line.blocks == ownBlocks;
    }
    if (malformed != 0) return std::to_string(malformed) + " malformed lines";
    if (heads.size() != lines) return std::to_string(heads.size()) + " lines";
    return ownSeen ? "" : "own line missing or wrong";
}
}  // namespace

// reserve_loop COUNT PEERS: reserves once and says "started"; on a line, makes COUNT reservations
// that each go to the reserve file (a growing request), checking after each that the file holds
// the lines of all PEERS loopers, its own as just written. Then "done ID" (or "bad ROUND WHAT"),
// and on a line it exits, its last object giving its line back.
HELPER_COMMAND(reserve_loop) {
    if (args.size() != 2) return 64;
    const int count = std::atoi(args[0].c_str());
    const size_t peers = std::strtoul(args[1].c_str(), nullptr, 10);
    shortenLockRetries();
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize(nullptr);
    if (cache.reserve(0, 0, 0, 0) != 1) return 2;
    helperSay("started");
    helperAwaitLine();
    std::string problem;
    for (int round = 1; round <= count && problem.empty(); ++round) {
        const uint64_t bytes = static_cast<uint64_t>(round) * 7 * 1024;
        cache.setReserveBuffer(0);
        if (cache.reserve(bytes, 0, 0, 0) != 1) {
            problem = "bad " + std::to_string(round) + " reserve failed";
            break;
        }
        std::string wrong = checkReserveFile(cache.getReserveFilePath(), peers,
                                             static_cast<uint32_t>((bytes + 2500000) / cache.getBlockSize()));
        if (!wrong.empty()) problem = "bad " + std::to_string(round) + " " + wrong;
    }
    helperSay(problem.empty() ? "done " + ownProcessId() : problem);
    helperAwaitLine();
    return problem.empty() ? 0 : 1;
}

// reserve_hold BYTES: reserves BYTES and says "ready ID" (or "failed"); exits on a line.
HELPER_COMMAND(reserve_hold) {
    if (args.size() != 1) return 64;
    shortenLockRetries();
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize(nullptr);
    const bool reserved = cache.reserve(std::strtoull(args[0].c_str(), nullptr, 10), 0, 0, 0) == 1;
    helperSay(reserved ? "ready " + ownProcessId() : "failed");
    helperAwaitLine();
    return reserved ? 0 : 1;
}

// reserve_release_behind LINE: writes the reserve file by plain stream output as this process's
// line (client id 42, 5000 blocks) followed by LINE, then gives its line back with release(all),
// which rewrites the file shorter. Exits 0 when the release returned. For a run under a tracer
// that kills the process at a chosen step of that rewrite.
HELPER_COMMAND(reserve_release_behind) {
    if (args.size() != 1) return 64;
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize(nullptr);
    {
        std::ofstream out(cache.getReserveFilePath(), std::ios::binary | std::ios::trunc);
        out << "42:" << ownProcessId() << " 5000 " << JobResultsCacheFs::getCurrentTime() << "\r\n" << args[0] << "\r\n";
        if (!out.flush()) return 3;
    }
    return cache.release(0, true) == 0 ? 0 : 1;
}
