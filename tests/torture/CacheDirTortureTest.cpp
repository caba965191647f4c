// Real processes that create, read, write, update, suspend, resume, discard, uncache, clean up,
// reserve space and die by SIGKILL at random on one small cache, while every holder checks that what it holds stays
// there as it left it. VORNICA_TORTURE_SECONDS (20), VORNICA_TORTURE_PROCS (6) and
// VORNICA_TORTURE_KILLS (per mille of held directories, 20) set the run; bench/ runs it longer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/PlatformSleep.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/ReserveText.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {
unsigned setting(const char* name, unsigned fallback) {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

JobResultsCacheDir* serverDir(unsigned long app, unsigned long stamp) {
    auto* dir = new JobResultsCacheDir(1, 2, app, 7, static_cast<BackupType>(1), stamp, TCacheIndex);
    dir->initialize(nullptr);
    return dir;
}

// After every process has ended: no State lock is held, and each State is well formed or
// (only when processes were killed) left empty or missing by a creator that died.
void checkQuietTree(const std::string& appDir, unsigned kills, std::vector<std::string>& violations, int& abandoned) {
    if (!fs::exists(appDir)) return;
    for (const auto& entry : fs::directory_iterator(appDir)) {
        if (entry.path().filename() == "ready_to_resume") continue;  // restart files, no State
        const std::string state = entry.path().string() + "/State";
        CXFile file;
        if (file.open(state.c_str(), sfReadWrite) != 0) {
            ++abandoned;
            if (kills == 0) violations.push_back("no State in " + entry.path().string());
            continue;
        }
        if (file.lock(sfLockExclusive, 0) != 1) violations.push_back("lock still held on " + state);
        const std::string text = readFileText(state);
        const bool wellFormed = text.size() >= 2 && text[0] >= '0' && text[0] <= '3' && (text[1] == '\n' || text[1] == '\r');
        if (text.empty()) {
            ++abandoned;
            if (kills == 0) violations.push_back("empty State in " + entry.path().string());
        } else if (!wellFormed) {
            violations.push_back("malformed State in " + entry.path().string());
        }
    }
}
}  // namespace

TEST(CacheDirTorture, ProcessesThatComeAndDieNeverBreakTheProtocol) {
    const unsigned seconds = setting("VORNICA_TORTURE_SECONDS", 20);
    const unsigned processes = setting("VORNICA_TORTURE_PROCS", 6);
    const unsigned killPermille = setting("VORNICA_TORTURE_KILLS", 20);
    SettingsFixture settings;
    const std::string idx = settings.dir().file("idx");
    fs::create_directories(idx);
    settings.write("[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" + idx +
                   "\ndINDEXCLEANALLDAYS=0\nsDISABLERESERVE=n\n[Platform]\nTalClient=1\n[~Machines\\client1]\nClientId=3\nJobResultsDirectory=" + idx +
                   "\n");
    setenv("VORNICA_TORTURE_ROOT", idx.c_str(), 1);
    const std::string journal = settings.dir().file("torture.journal");

    // One old complete directory per app, held by a reader throughout: a reader's open always
    // has a usable directory to fall back on.
    const uint32_t anchorStamp = static_cast<uint32_t>(time(nullptr)) - 200000;
    std::vector<std::unique_ptr<HelperProcess>> anchors;
    for (unsigned long app : {7ul, 8ul}) {
        std::unique_ptr<JobResultsCacheDir> maker(serverDir(app, 0));
        ASSERT_NE(maker->create(anchorStamp), nullptr);
        ASSERT_EQ(maker->close(false), 0);
        anchors.push_back(std::make_unique<HelperProcess>(
            std::vector<std::string>{"cachedir_lock", "2", std::to_string(app), std::to_string(anchorStamp), "read"}));
        ASSERT_TRUE(anchors.back()->waitForLine("ready"));
    }

    const time_t deadline = time(nullptr) + seconds;
    unsigned seed = static_cast<unsigned>(setting("VORNICA_TORTURE_SEED", static_cast<unsigned>(time(nullptr))));
    std::cout << "torture seed " << seed << "\n";
    auto start = [&] {
        return std::make_unique<HelperProcess>(std::vector<std::string>{
            "torture_worker", std::to_string(seed++), std::to_string(deadline), journal, std::to_string(killPermille)});
    };
    std::vector<std::unique_ptr<HelperProcess>> workers;
    for (unsigned i = 0; i < processes; ++i) workers.push_back(start());
    unsigned started = processes;
    while (time(nullptr) < deadline) {
        for (auto& worker : workers)
            if (worker->exited() && time(nullptr) < deadline) {
                worker = start();
                ++started;
            }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& worker : workers) worker->wait();
    for (auto& anchor : anchors) {
        anchor->writeLine("done");
        anchor->wait();
    }

    std::map<std::string, unsigned> counts;
    std::vector<std::string> violations;
    std::istringstream lines(readFileText(journal));
    for (std::string line; std::getline(lines, line);) {
        const std::string kind = line.substr(0, line.find(' '));
        if (kind == "VIOLATION") violations.push_back(line);
        ++counts[kind == "OK" || kind == "KILL" || kind == "NOTE" ? line : kind];
    }
    unsigned kills = 0;
    for (const auto& [line, count] : counts)
        if (line.rfind("KILL", 0) == 0) kills += count;
    int abandoned = 0;
    for (const char* app : {"7", "8"}) {
        checkQuietTree(idx + "/KR_Index/2/" + app, kills, violations, abandoned);
        checkQuietTree(idx + "/KR_JobResults/2/" + app, kills, violations, abandoned);
        std::unique_ptr<JobResultsCacheDir> reader(serverDir(std::strtoul(app, nullptr, 10), 0));
        if (reader->open(0, false) == nullptr) violations.push_back(std::string("final open failed in app ") + app);
        reader->close(false);
    }
    // Whatever the dead left behind, a cleanup can remove once nobody holds anything.
    setPlatformSleepHook([](unsigned long, const char*, int) {});
    std::unique_ptr<JobResultsCacheDir> cleaner(serverDir(0, 0));
    cleaner->setNumDays(0);
    cleaner->cleanUp(0, true, false, false, 0, 0, 0, 0, 0, 0);
    for (const char* app : {"7", "8"})
        for (const auto& entry : fs::directory_iterator(idx + "/KR_Index/2/" + app))
            if (entry.path().filename() != "ready_to_resume")
                violations.push_back("left after the final cleanup: " + entry.path().string());

    // Every line of the reserve file is well formed, and once a live process rewrites it, the
    // lines of the dead are gone: only that process's own line is left.
    const std::string reserveFile = cleaner->getReserveFilePath();
    int malformed = 0;
    reserveLinesOf(readFileText(reserveFile), &malformed);
    if (malformed != 0) violations.push_back(std::to_string(malformed) + " malformed reserve lines");
    if (cleaner->reserve(1 << 20, 0, 0, 0) != 1) violations.push_back("final reserve failed");
    const size_t live = reserveLinesOf(readFileText(reserveFile), &malformed).size() + malformed;
    if (live != 1) violations.push_back("reserve file holds " + std::to_string(live) + " lines, not the one live");
    if (cleaner->release(0, true) != 0 || !readFileText(reserveFile).empty())
        violations.push_back("reserve file not empty after the last release");

    std::cout << "torture: " << seconds << " s, " << processes << " at a time, " << started << " processes, " << kills
              << " killed, " << abandoned << " directories left by the dead\n";
    for (const auto& [line, count] : counts) std::cout << "  " << count << "  " << line << "\n";
    setPlatformSleepHook({});
    unsigned operations = 0;
    for (const auto& [line, count] : counts) operations += line.rfind("OK", 0) == 0 ? count : 0;
    std::cout << "  " << operations / std::max(seconds, 1u) << " operations a second\n";
    for (const std::string& v : violations) ADD_FAILURE() << v;
}
