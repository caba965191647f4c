#include "Indexing/icommon/TFileAccessTest.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/idxport/PathSep.h"

namespace {
constexpr size_t kScratchSize = 65536;

// The C stream modes of the tests; 'e' opens the descriptor close-on-exec.
constexpr const char* kWriteMode = "wbe";
constexpr const char* kReadMode = "rbe";

// Drops trailing separators, keeping a lone root separator.
void trimSeparators(std::string& path) {
    while (path.size() > 1 && path.back() == kPathSep) path.pop_back();
}

// Replaces path by its parent folder: the text before its last separator ("a/b/c" -> "a/b",
// "/a" -> "/"). False when there is none ("a", "/").
bool toParent(std::string& path) {
    trimSeparators(path);
    const size_t cut = path.rfind(kPathSep);
    if (cut == std::string::npos || path.size() == 1) return false;
    path.erase(cut == 0 ? 1 : cut);
    trimSeparators(path);
    return true;
}
}  // namespace

TFileAccessTest::TFileAccessTest(const std::string& path) : path_(path) {}

void TFileAccessTest::fail(const char* test, const std::string& path, const char* middle, int error) {
    log_ += test;
    log_ += " failed for '";
    log_ += path;
    log_ += middle;
    log_ += std::to_string(error);
    log_ += "\n";
}

bool TFileAccessTest::testExists(const std::string& path) {
    if (fsExists(path.c_str())) {
        log_ += "Test_Exists succeeded. ";
        return true;
    }
    log_ += "Test_Exists failed for '" + path + "'\n";
    return false;
}

bool TFileAccessTest::testDirContent(const std::string& path) {
    CXDirectory dir;
    if (dir.open(path.c_str()) != 0) {
        // The listing failure shares its wording with the create test.
        fail("Test_Createable", path, "' - could not open file with error ", dir.getLastError());
        return false;
    }
    log_ += "Content of '" + path + "'. Start list:\n";
    for (const char* name = dir.read(); name != nullptr; name = dir.read()) {
        log_ += "        '";
        log_ += name;
        log_ += "'\n";
    }
    dir.close();
    log_ += "Content of '" + path + "'. End list.\n";
    log_ += "Test_DirContent succeeded. ";
    return true;
}

bool TFileAccessTest::testCreate(const std::string& path) {
    FILE* file = fopen(path.c_str(), kWriteMode);
    if (file == nullptr) {
        fail("Test_Createable", path, "' - could not open file with error ", errno);
        return false;
    }
    bool ok = true;
    if (fclose(file) != 0) {
        fail("Test_Createable", path, "' - could not close file with error ", errno);
        ok = false;
    }
    if (fsUnlink(path.c_str()) != 0) {
        fail("Test_Createable", path, "' - could not unlink file with error ", errno);
        ok = false;
    }
    if (ok) log_ += "Test_Createable succeeded. ";
    return ok;
}

bool TFileAccessTest::testRead(const std::string& path) {
    FILE* file = fopen(path.c_str(), kReadMode);
    if (file == nullptr) {
        fail("Test_Readable", path, "' - could not open file with error ", errno);
        return false;
    }
    bool ok = true;
    if (testData_ == nullptr || testDataSize_ == 0) {
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[kScratchSize]);
        if (!buffer) {
            fail("Test_Readable", path, "' - could not allocate buffer with error ", ENOMEM);
            ok = false;
        } else {
            errno = 0;  // no byte at the end of the file leaves 0 here
            if (fread(buffer.get(), 1, 1, file) != 1) {
                fail("Test_Readable", path, "' - could not read buffer with error ", errno);
                ok = false;
            }
        }
    }
    if (fclose(file) != 0) {
        fail("Test_Readable", path, "' - could not close file with error ", errno);
        ok = false;
    }
    if (ok) log_ += "Test_Readable succeeded. ";
    return ok;
}

bool TFileAccessTest::internalRun(const std::string& path, unsigned int tests, bool folder) {
    bool ok = true;
    bool exists = false;
    if ((tests & (kExists | kRead | kDirContent)) != 0) {
        exists = testExists(path);
        ok = exists;
    }
    if ((tests & kDirContent) != 0 && folder && exists && !testDirContent(path)) ok = false;
    if ((tests & kCreate) != 0 && !testCreate(path)) ok = false;

    // The write test: the file is written here and deleted after the read test.
    bool written = false;
    if ((tests & kWrite) != 0) {
        FILE* file = fopen(path.c_str(), kWriteMode);
        if (file == nullptr) {
            fail("Test_Writeable", path, "' - could not open file with error ", errno);
            ok = false;
        } else {
            written = true;
            if (testData_ == nullptr || testDataSize_ == 0) {
                std::unique_ptr<char[]> buffer(new (std::nothrow) char[kScratchSize]());
                if (!buffer) {
                    fail("Test_Writeable", path, "' - could not allocate buffer with error ", ENOMEM);
                    written = false;
                } else if (fwrite(buffer.get(), 1, kScratchSize, file) != kScratchSize) {
                    fail("Test_Writeable", path, "' - could not write buffer with error ", errno);
                    written = false;
                }
            }
            if (fclose(file) != 0) {
                fail("Test_Writeable", path, "' - could not close file with error ", errno);
                written = false;
            }
            if (!written) ok = false;
        }
    }
    if ((tests & kRead) != 0 && !testRead(path)) ok = false;
    if (written) {
        if (fsUnlink(path.c_str()) != 0) {
            fail("Test_Writeable", path, "' - could not unlink file with error ", errno);
            ok = false;
        } else {
            log_ += "Test_Writeable succeeded. ";
        }
    }
    return ok;
}

bool TFileAccessTest::run(unsigned int tests, bool recursive) {
    ++runCount_;
    log_ += "\nRun #" + std::to_string(runCount_);
    if (recursive) log_ += " (recursive)";
    log_ += ". Test set: ";
    if ((tests & kExists) != 0) log_ += "Exists ";
    if ((tests & kRead) != 0) log_ += "Read ";
    if ((tests & kDirContent) != 0) log_ += "DirContent ";
    if ((tests & kWrite) != 0) log_ += "Write ";
    if ((tests & kCreate) != 0) log_ += "Create ";
    log_ += "\n";

    bool folderResult = true;
    if (recursive) {
        // Until a folder is found, each is tested as a folder; after a missing one, the folders
        // above it are listed too, so that the first existing one shows what it holds.
        unsigned int folderTests = kExists;
        bool asFolder = true;
        for (std::string folder = path_; toParent(folder);) {
            if (internalRun(folder, folderTests, asFolder)) {
                asFolder = false;
            } else {
                folderResult = false;
                folderTests |= kDirContent;
            }
        }
        if (folderResult) log_ += "Folder test passed\n";
    }

    const bool fileResult = internalRun(path_, tests, false);
    if (fileResult) {
        log_ += "File test(s) passed\n";
    } else if (!recursive) {
        // List the nearest existing folder above the path.
        for (std::string folder = path_; toParent(folder);)
            if (internalRun(folder, kDirContent, true)) break;
    }
    passed_ = folderResult && fileResult;
    return passed_;
}

bool TFileAccessTest_runSingleTest(std::string path, TDebuggable* log) {
    TFileAccessTest test(path);
    const bool passed = test.run(TFileAccessTest::kStandardSet, false);
    const char* report = test.getLog().c_str();
    if (passed) {
        if (log != nullptr)
            log->debug(1, "All tests are passed. log=%s", report);
        else
            printf("All tests are passed. log=%s", report);
    } else {
        if (log != nullptr)
            log->debug(1, "File access test failed:\n%s", report);
        else
            printf("File access test failed:\n%s", report);
    }
    return passed;
}
