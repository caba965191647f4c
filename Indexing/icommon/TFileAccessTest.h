// What the calling process can do with one path: whether it exists, can be created, written and
// read, and whether its folders can be listed. Every step is written to a readable report that
// the caller prints or sends to its debug log.
//
// The create and write tests work on the path as a scratch file: they truncate it and finally
// delete it. Run them only on a path whose content may be lost.
#pragma once

#include <string>

class TDebuggable;

class TFileAccessTest {
public:
    // The test set bits of run().
    static constexpr unsigned int kExists = 1;
    static constexpr unsigned int kWrite = 2;
    static constexpr unsigned int kRead = 4;
    static constexpr unsigned int kCreate = 8;
    static constexpr unsigned int kDirContent = 16;  // folders only
    static constexpr unsigned int kStandardSet = kExists | kWrite | kRead | kCreate;

    explicit TFileAccessTest(const std::string& path);
    TFileAccessTest() = delete;
    TFileAccessTest(const TFileAccessTest&) = delete;
    TFileAccessTest& operator=(const TFileAccessTest&) = delete;

    // A buffer the write and read tests use in place of their 64 KB scratch buffer. When both
    // are set (data not null, size not 0) those tests only open and close the file and transfer
    // nothing. The buffer stays the caller's.
    void setTestData(int size, char* data) {
        testDataSize_ = size;
        testData_ = data;
    }

    // Runs the requested tests on the path and appends the report of this run to the log.
    // recursive: the path's folders are tested first, from the nearest upwards. Otherwise, when
    // the path fails, the nearest existing folder above it is listed. Returns the passed flag.
    bool run(unsigned int tests, bool recursive);

    const std::string& getLog() const { return log_; }

private:
    // One pass of the requested tests over one path; folder: the path is a folder, which the
    // DirContent test lists. True when no requested test failed.
    bool internalRun(const std::string& path, unsigned int tests, bool folder);
    bool testExists(const std::string& path);
    bool testDirContent(const std::string& path);
    bool testCreate(const std::string& path);
    bool testRead(const std::string& path);
    void fail(const char* test, const std::string& path, const char* middle, int error);

    std::string path_;
    std::string log_;
    bool passed_ = true;
    int runCount_ = 0;
    int testDataSize_ = 0;
    char* testData_ = nullptr;
};

// Runs the standard set (exists, create, write, read) on path, not recursively, and reports the
// outcome with the whole report: through log's debug at level 1 when log is given, else on
// standard output. Returns whether the run passed. An existing file at path is deleted.
bool TFileAccessTest_runSingleTest(std::string path, TDebuggable* log);
