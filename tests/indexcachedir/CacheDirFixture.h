// A cache root with one app (talCell 2, app 7) for the cache directory suites, and directories
// left in a given state as another job would leave them.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/PlatformSleep.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/TempDir.h"

class CacheDirFixture : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(settings.dir().file("idx").c_str(), 0755);
        settings.write(settingsText());
    }
    // The settings every suite starts from; a suite may write them again with more appended.
    std::string settingsText() const {
        return "[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" + settings.dir().file("idx") +
               "\n[Platform\\4]\nTalServerHostName=central\n[Platform]\nTalClient=1\n[~Machines\\client1]\n"
               "JobResultsDirectory=" + settings.dir().file("idx") + "\n";
    }
    std::string appDir() const { return settings.dir().file("idx/KR_Index/2/7"); }
    std::string dirPath(unsigned long stamp) const { return appDir() + "/" + std::to_string(stamp); }
    void leave(unsigned long stamp, int state) const {
        std::filesystem::create_directories(dirPath(stamp));
        writeFileText(dirPath(stamp) + "/State", std::to_string(state) + "\r\n" + std::to_string(stamp) + "    \r\n");
        writeFileText(dirPath(stamp) + "/index.dat", "data");
    }
    // A client cache of the job results (application type 1001) keeps its directories here.
    std::string clientDirPath(unsigned long stamp) const {
        return settings.dir().file("idx/KR_JobResults/2/7/" + std::to_string(stamp));
    }
    std::string stateOf(unsigned long stamp) const { return readFileText(dirPath(stamp) + "/State").substr(0, 1); }
    // Another process that holds the directory for "read" or "write" until it is let go.
    static std::unique_ptr<HelperProcess> heldBy(const char* mode, unsigned long stamp) {
        return std::make_unique<HelperProcess>(
            std::vector<std::string>{"cachedir_lock", "2", "7", std::to_string(stamp), mode}, "ready");
    }

    SettingsFixture settings;
};

// A directory object of that app, initialized; the protected State and lock operations are
// open to the tests. appType 1001 makes it a client cache of the job results.
class TestDir : public JobResultsCacheDir {
public:
    explicit TestDir(unsigned long timeStamp = 0, KRAppType appType = 1, int64_t jobId = 42)
        : JobResultsCacheDir(appType, 2, 7, jobId, static_cast<BackupType>(1), timeStamp, TCacheIndex) {
        initialize("client1");
    }
    using JobResultsCacheDir::cleanFailedCachedirs;
    using JobResultsCacheDir::Failure;
    using JobResultsCacheDir::getState;
    using JobResultsCacheDir::mkCacheDir;
    using JobResultsCacheDir::myLock;
    using JobResultsCacheDir::readLock;
    using JobResultsCacheDir::setState;
    using JobResultsCacheDir::writeLock;
    void pointAt(uint32_t timeStamp) { composeCacheDir(timeStamp); }
};

// 1 when nobody holds the directory of that time stamp, 0 when another object or process does.
inline int lockStateOf(unsigned long stamp) {
    TestDir probe(stamp);
    const int locked = probe.writeLock(0);
    if (locked == 1) probe.unLock();
    return locked;
}
