// The job id file of a cache directory, as another process, an older writer or a damaged disk
// may leave it: the input becomes root/2/7/<time stamp>/JobId, then one object reads it into
// its outputs, another into itself, and a third checks it for job 42.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "fuzz/FuzzSandbox.h"

namespace {
constexpr unsigned long kStamp = 1700000000;
constexpr int64_t kJob = 42;

struct Setup {
    FuzzSandbox sandbox;
    std::string backupDir = sandbox.file("idx/KR_Index/2/7/" + std::to_string(kStamp));

    Setup() {
        std::filesystem::create_directories(backupDir);
        sandbox.writeSettings("[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" + sandbox.file("idx") +
                              "\n");
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    writeFileText(setup.backupDir + "/JobId", std::string(reinterpret_cast<const char*>(data), size));
    int64_t job = 0;
    std::string name;
    unsigned phase = 0, attempt = 0, counter = 0;
    {
        JobResultsCacheDir outputs(1, 2, 7, kJob, static_cast<BackupType>(1), kStamp, TCacheIndex);
        outputs.initialize("client1");
        outputs.readJobIdFile(&job, &name, &phase, &attempt, &counter);
        // A line is read up to 2047 bytes, and the name is part of it.
        if (name.size() > 2046) __builtin_trap();
    }
    {
        JobResultsCacheDir itself(1, 2, 7, 0, static_cast<BackupType>(1), kStamp, TCacheIndex);
        itself.initialize("client1");
        itself.readJobIdFile(nullptr, nullptr, nullptr, nullptr, nullptr);
        if (itself.getJobId() != job || itself.getJobPhaseNumber() != phase) __builtin_trap();
    }
    {
        JobResultsCacheDir checker(1, 2, 7, kJob, static_cast<BackupType>(1), kStamp, TCacheIndex);
        checker.initialize("client1");
        checker.setJobIndexWriteCounter(5);
        std::string reason;
        // A file that names another job, or none, is never this job's own.
        if (checker.isJobIdFileValid(&reason) && job != kJob && job != 0) __builtin_trap();
        if (checker.getJobId() != kJob) __builtin_trap();
    }
    setup.sandbox.trimJournal();
    return 0;
}
