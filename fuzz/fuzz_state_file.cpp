// The State file of a cache directory, as another process or a damaged disk may leave it: the
// input becomes root/2/7/<time stamp>/State in a fresh app directory, then one object reads the
// access time and another opens the directory for reading and closes it.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/PlatformSleep.h"
#include "fuzz/FuzzSandbox.h"

namespace {
constexpr unsigned long kTalCell = 2;
constexpr unsigned long kApp = 7;
constexpr unsigned long kStamp = 1700000000;

struct Setup {
    FuzzSandbox sandbox;
    std::string appDir = sandbox.file("idx/KR_Index/2/7");
    std::string backupDir = appDir + "/" + std::to_string(kStamp);

    Setup() {
        std::filesystem::create_directories(sandbox.file("idx"));
        sandbox.writeSettings("[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" + sandbox.file("idx") +
                              "\n");
        // The retries of a state read or an open wait a second each: here they do not wait.
        setPlatformSleepHook([](unsigned long, const char*, int) {});
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    // open() may discard the directory or set it aside: every input starts from the same tree.
    std::filesystem::remove_all(setup.appDir);
    std::filesystem::create_directories(setup.backupDir);
    writeFileText(setup.backupDir + "/State", std::string(reinterpret_cast<const char*>(data), size));
    {
        JobResultsCacheDir reader(1, kTalCell, kApp, 99, static_cast<BackupType>(1), kStamp, TCacheIndex);
        reader.initialize("client1");
        // An access time older than the directory is raised to its time stamp.
        const auto atime = static_cast<uint32_t>(reader.getAtime());
        if (atime != 0 && atime < kStamp) __builtin_trap();
    }
    {
        JobResultsCacheDir opener(1, kTalCell, kApp, 99, static_cast<BackupType>(1), 0, TCacheIndex);
        opener.initialize("client1");
        if (opener.open(kStamp, true) != nullptr) opener.close(false);
        opener.getErrno();
    }
    setup.sandbox.trimJournal();
    return 0;
}
