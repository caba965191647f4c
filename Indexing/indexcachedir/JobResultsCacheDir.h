// One job's cache directory: root/<talCell>/<app>/<timeStamp>, holding the index files of one
// backup and a small "State" file that records whether the directory is being written, read,
// is suspended or complete, and when it was last used. The State file is also the lock object:
// every process that uses the directory holds a shared or exclusive byte lock on it.
//
// The State file has two lines: the state, one digit, ended by LF or CR LF (the file's second
// byte tells which, and rewrites keep it); then the access time in decimal seconds, four blanks
// and CR LF. Both lines are rewritten in place without truncating, so a shorter access time
// leaves a stale tail after its line end, which readers ignore.
//
// Between processes: every decision about a directory is made from what is read under a lock
// on its State file, after checking that the locked file is still the State file at the path
// (a remover may have unlinked it while the lock was waited for). Only the creator of a
// directory creates its State file; a removal holds the exclusive lock until State is gone,
// whatever forceReadLocks says.
//
// The implementation is split by concern: CacheDirLayout.cpp (construction, settings, paths,
// directory creation), CacheDirState.cpp (the State file), CacheDirLocks.cpp (the lock slots),
// CacheDirOpenClose.cpp (search, create, open, close), CacheDirDiscard.cpp (discard, uncache,
// failed directories), CacheDirPeriodicCleanup.cpp (the sweep on a day threshold),
// CacheDirUpdate.cpp (update from the previous index), CacheDirResume.cpp (suspend, resume,
// discard for resume), CacheDirJobId.cpp (the job id file, counters, integrity checks),
// CacheDirSideFiles.cpp (special files, checkpoint copies, host application, State helpers).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/icommon/BackupType.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/PathSep.h"

class CXDirectory;

// Which host program loaded the library; stored and handed back, nothing more.
enum EIndexCacheDirHostApp : int { eHostAppUnknown = 0, eHostAppMediaAgent = 1, eHostAppClient = 2 };

// The integrity checks a process may switch on; the library stores and tests the mask only.
enum Enum_IC_IntegrityCheck : unsigned {
    eIC_None = 0,
    eIC_JobIdFile = 2,
    eIC_WriteCounter = 4,
    eIC_StateFile = 7,
};

// The result of the State operations a host application uses: 0 the directory is in the
// wanted state, 1 it is not (or the operation is not available).
enum ReOpenIndexResult : int { eReOpenIndexOk = 0, eReOpenIndexNotDone = 1 };

// True for entries that an archived copy of an index leaves out.
bool skipInArchiveIndex(const char* name, bool keepJobMarkers);

class JobResultsCacheDir : public JobResultsCacheFs {
    // Keeps a scanned directory as its numbers and makes its object when asked for it, carrying
    // over what getAtime learnt meanwhile (otherStuff_, atimeUnavailable_, lastError_).
    friend class CacheDirArray;

public:
    enum State { Complete = 0, Suspended = 1, Reading = 2, Writing = 3 };
    static constexpr int kLockSlots = 4;

    // lastError codes of the cache directory.
    static constexpr int kErrClockBackwards = -1;
    static constexpr int kErrNoPreviousBackup = -2;
    static constexpr int kErrBusy = -3;
    static constexpr int kErrWrongState = -4;
    static constexpr int kErrNotOpened = -6;
    static constexpr int kErrOutOfMemory = -7;
    static constexpr int kErrNoCurrentTime = -8;
    static constexpr int kErrReservationRefused = -10;
    static constexpr int kErrStateUnreadable = 2;

    JobResultsCacheDir(KRAppType appType, unsigned long talCell, unsigned long app, int64_t jobId,
                       BackupType backupType, unsigned long timeStamp, TCacheTypeEnum cacheType, bool unused = false);
    ~JobResultsCacheDir() override;

    void initialize(const char* root, bool skipLocalPath) override;
    void initialize(const char* root) override { initialize(root, false); }
    // Initializes as a directory of the root that `resolved` (initialized, same application and
    // cache type) stands for, without resolving that root again.
    void initializeLike(const JobResultsCacheFs& resolved);
    int64_t getJobId() override { return jobId_ != 0 ? jobId_ : TDebuggable::getJobId(); }

    // The State file. putAtime writes line 2 (negative on failure); getAtime reads it, at most
    // ten attempts a second apart, 0 when it cannot be had.
    int putAtime(const char* text);
    int reopenState();
    bool stateError();
    int getAtime();

    // Create, open and close. create and open return the directory's path, null on failure
    // (the reason in getErrno()); timeStamp 0 asks create for the current time and open for
    // the newest directory.
    char* create(unsigned long timeStamp);
    char* open(unsigned long timeStamp, bool exact);
    int close(bool canStillResume);
    // 0 found (in *found), -1 none, -2 no app directory, -3 error.
    int searchDirectoryByTime(unsigned long time, unsigned long* found, bool backward);
    // The newest time stamp not after time (0: no limit); 0 when none.
    unsigned long backSearch(unsigned long time, bool unused);

    // Discard, uncache and failed directories.
    int discard(bool unusable);
    int unCache(bool lowSpace, unsigned long talCell, unsigned long app, unsigned long timeStamp);
    int routineUnCache(bool lowSpace, unsigned long talCell, unsigned long app, unsigned long timeStamp);
    // Removes the directory whatever its State holds, under the exclusive State lock (claiming
    // a directory that has no State file by creating it): 0 removed, 1 left because another
    // process holds it, -1 failure. For the cleanup of directories whose State is unreadable.
    int removeUnreadable();
    int failJob(bool wholeJob);
    void preserveFailedCache(const char* suffix);

    // Update from the previous index: the new directory's path (in Writing, exclusively
    // locked), null on failure. time limits the search for the previous index (0: none).
    char* update(bool fullBackup, unsigned long time, bool restoreFlag);
    void copyUponUpdate(bool on) { copyUponUpdate_ = on; }

    // Suspend, resume and discard for resume. suspend: 0 or -1. resume: the path, null on
    // failure or when the job id file did not match (isResumeRejected). discardForResume:
    // 0 or -1.
    int suspend();
    char* resume(int64_t expectedJobId, bool unused);
    int discardForResume(bool force);
    int discardForResume() { return discardForResume(false); }
    bool isResumeRejected() const { return resumeRejected_; }
    bool isResumedCompleted() const { return resumedCompleted_; }

    // The job id file "JobId": job, phase, attempt, write counter and media agent name.
    // readJobIdFile fills each given output; a null one makes the value go to the object.
    void createJobIdFile();
    void readJobIdFile(int64_t* jobId, std::string* maName, unsigned* phase, unsigned* attempt, unsigned* counter);
    void removeJobIdFile();
    bool isJobIdFileValid(std::string* reason);
    std::string getIndexRestartPointXml() { return std::string(); }
    std::string getNextIndexRestartPointXml() { return std::string(); }
    void setJobPhaseNumber(unsigned n) { jobPhaseNumber_ = n; }
    unsigned getJobPhaseNumber() const { return jobPhaseNumber_; }
    void setJobAttemptNumber(unsigned n) { jobAttemptNumber_ = n; }
    unsigned getJobAttemptNumber() const { return jobAttemptNumber_; }
    void setJobIndexWriteCounter(unsigned n) { jobIndexWriteCounter_ = n; }
    unsigned getJobIndexWriteCounter() const { return jobIndexWriteCounter_; }
    static void setIntegrityCheckFlags(unsigned flags);
    static bool isIntegrityCheckEnabled(Enum_IC_IntegrityCheck check);

    // Special files, checkpoint copies and the host application's State operations.
    static bool IsSnapMetaFile(const char* name, int64_t jobId);
    bool GetSnapMetaFiles(std::vector<std::string>& out, int64_t jobId);
    bool GetSQLDumpFiles(std::vector<std::string>& out, std::string database, std::string instance);
    // root/checkpoints, and /<app> unless baseOnly; empty when it cannot be composed.
    std::string defaultCopyDir(bool baseOnly);
    ReOpenIndexResult PutIndexCacheIntoWritableStateMA(unsigned long& unused);
    ReOpenIndexResult PutIndexCacheIntoClosedStateMA();
    static int TranLog_copyFile(const char* from, const char* to, bool unused);
    static void setHostApplication(EIndexCacheDirHostApp app);
    static EIndexCacheDirHostApp getHostApplication();

    // Sweeps the whole cache at most once every "dINDEXCLEANALLDAYS" days, the last sweep being
    // recorded in the root's "periodicCleanup" file: 0 when none was due or it ran, -1 on failure.
    int periodicCleanup();

    // Locks on the current directory's State file.
    int unLock();
    bool alreadyLocked();
    void forceReadLocks() { forceReadLocks_ = true; }
    int getErrno() const { return lastError_; }
    bool isBusyOpen() const { return busyOpen_; }  // opened while another process held it

    // Accessors.
    const char* getCacheDir();
    std::string getCacheDirComp(const std::string& component);
    unsigned long getTimeStamp();
    unsigned long getAppNumber() const { return appNumber_; }
    unsigned long getTalCellId() const { return talCell_; }
    bool noIndexFiles() const { return noIndexFiles_; }
    bool isRestoreStopped() const { return restoreStopped_; }
    bool copyUponUpdate() const { return copyUponUpdate_; }
    bool isBackupRestoreEnabled() const { return backupRestoreEnabled_; }
    void enableBackupRestore() { backupRestoreEnabled_ = true; }
    void disableBackupRestore() { backupRestoreEnabled_ = false; }
    void setCopyId(int id) { copyId_ = id; }
    void setGuiSequenceNumber(int64_t number) { guiSequenceNumber_ = number; }
    int64_t getGuiSequenceNumber() const { return guiSequenceNumber_; }
    int compress() { return 0; }
    int uncompress() { return 0; }
    bool isComponentBasedIndex() const { return false; }
    bool areComponentsInCache(const char* components);

    // Process-wide settings read from "sSPACESAVER" on the first construction.
    static bool defaultCopyUponUpdate();
    static uint64_t copyThresholdMB();

protected:
    // The operations below throw their failure text (Failure) to the public operation that
    // called them, which logs it and returns its failure result.
    int getState(bool reportEvent);
    void setState(int state);
    int seekToAtime(CXFile& file, bool offsetOnly);
    // Where line 2 starts (2 or 3) from the first got bytes of a State file; -1, logged and with
    // lastError set, when they are too few or the second byte ends no line.
    int atimeOffsetOf(const char* head, long got, CXFile& file);
    // Timeouts in seconds; a timeout of 0 makes one try and returns every failure as -1/0.
    int writeLock(unsigned long timeout) { return myLock(timeout, true); }
    int readLock(unsigned long timeout) { return myLock(timeout, false); }
    int myLock(unsigned long timeout, bool exclusive);
    // The exclusive lock that guards a removal: never turned into a shared one. With a timeout
    // of 0, the one try may wait up to tryMs for the lock's release.
    int removalLock(unsigned long timeout, unsigned long tryMs = 0) { return slotLock(timeout, true, tryMs); }
    void switchLock();
    // Turns this object's shared lock on the current directory exclusive on the same open file,
    // so that the directory is never unguarded in between, in one try: 1 done, 0 other holders,
    // -1 no lock held or an error. It never waits: two shared holders that both waited to
    // upgrade would keep each other from it until their budgets ran out.
    int upgradeLock();
    // Releases this object's lock on the named directory (unLock for another path).
    int unLockDirectory(const std::string& directory);
    // After a failed update or resume: no lock on those directories, no State file open, and a
    // server cache without a path, so that the object may be used again; lastError stays.
    void letGoAfterFailure(std::initializer_list<std::string> directories);
    // The bytes of the index that update would copy, from the opened previous directory; -1 on
    // failure. Virtual so that a test can stand for an index of any size.
    virtual int64_t sizeOfIndex(CXDirectory& opened);

    // The newest time stamp of the app; throws on a search error.
    unsigned long backSearch();
    void cleanFailedCachedirs(unsigned long limit);
    // How long a directory without a readable State must have stayed unchanged before it is
    // taken for one whose creator was killed: a creator takes a moment (at most the minute it
    // waits for the lock) from its mkdir to State's first line.
    static constexpr int64_t kAbandonedCreateSeconds = 3600;
    // Removes the directory cacheDir_ when a killed create left it: no State file, or an empty
    // or torn one that nobody holds, nothing else in it, and unchanged for
    // kAbandonedCreateSeconds. Only rmdir: a directory that holds anything stays. true when removed.
    bool removeAbandonedCreate();
    [[noreturn]] void restore();

    virtual void _preInit(KRAppType appType, unsigned long talCell, unsigned long app, int64_t jobId,
                          BackupType backupType, unsigned long timeStamp);
    virtual void _postInit();
    // Makes the talCell, app and backup levels and the State file, under an exclusive lock.
    // mustBeNew: an existing backup-level directory is a failure, not one to go on with.
    void mkCacheDir(bool mustBeNew = false);
    void abandonNewDirectory();
    int removeAfterShareLeftovers(const char* dir);
    // Composes root/talCell/app/timeStamp into the cache directory path.
    void composeCacheDir(uint32_t timeStamp);
    std::string statePath() const;
    // Opens the current directory's State file into file: never through a symbolic link and
    // only a regular file (a FIFO would hang the process, a link would lead the writes
    // elsewhere); a new one is created 0666 less the umask, for processes of other accounts lock
    // it exclusively too. 0, or -1 with the file's last error.
    int openState(CXFile& file, sfOpenMode_t mode, unsigned retries = 0);
    // Raises a major event with the directory path (or the given stand-in) as its argument.
    void raiseMajorEvent(int messageId, const char* noPath);

    struct OtherStuff {
        uint32_t atime = 0;
    };
    struct LockSlot {
        CXFile file;
        char* directory = nullptr;
        bool exclusive = false;
    };

    CXFile stateFile_;
    int lastError_ = 0;
    OtherStuff* otherStuff_ = nullptr;
    int currentLockSlot_ = -1;
    int copyId_ = 0;
    bool backupRestoreEnabled_ = false;
    bool forceReadLocks_ = false;
    bool atimeUnavailable_ = false;
    bool noIndexFiles_ = false;
    bool resumeRejected_ = false;
    bool busyOpen_ = false;
    bool restoreStopped_ = false;
    bool resumedCompleted_ = false;
    int64_t guiSequenceNumber_ = 0;
    char pathSeparator_[2] = {kPathSep, '\0'};
    int64_t jobId_ = 0;
    uint32_t jobPhaseNumber_ = 0;
    uint32_t jobAttemptNumber_ = 0;
    uint32_t jobIndexWriteCounter_ = 0;
    uint32_t requestedTimeStamp_ = 0;
    BackupType backupType_{};
    bool copyUponUpdate_ = true;
    LockSlot lockSlots_[kLockSlots];

private:
    // What open does with one candidate directory.
    enum class Candidate { Held, BusyOpen, StepBack, Suspended, Retry, SearchAgain, Unreadable };

    bool unusable_ = false;  // constructed for an application type that has no cache directory
    int lockFailure(unsigned long timeout, const char* text);
    // Takes a lock in a slot and checks that it guards the State file at the path.
    int slotLock(unsigned long timeout, bool exclusive, unsigned long tryMs = 0);
    // The lock slot named like the current directory, or null.
    LockSlot* currentSlot();
    // Makes sure this object holds the exclusive lock before a removal, waiting up to timeout
    // seconds for it when it holds none; throws when another process holds the directory
    // (lastError -3 when it is busy).
    void holdForRemoval(unsigned long timeout = 60);
    // The State file's two lines as discard logs them, stand-ins for lines that cannot be read.
    void readStateLines(char* state, char* atime, unsigned long size);
    // Update: the previous directory held under a shared lock and checked; a copy into the new
    // directory; a rename to it. The previous job's resume marker and job id file stay behind.
    void holdPreviousIndex();
    bool reserveForCopy(const std::string& previous, unsigned long prev, uint64_t& bytes);
    void openPreviousState();
    void copyPreviousIndex(const std::string& from, uint32_t now);
    void renamePreviousIndex(const std::string& from, const std::string& to, uint32_t now);
    // The exclusive lock on the previous index when the shared one could not be turned at once:
    // let go, waited for afresh and the state checked again under it; throws why not.
    void holdPreviousExclusively(const std::string& from);
    void dropPreviousJobFiles();
    // Resume: the newest directory taken over under the exclusive lock, or the reason why not.
    char* resumeNewest(int64_t expectedJobId);
    void holdForResume();
    void openStateForResume();
    bool jobIdFileMatches(int64_t expectedJobId);
    void removeCollectList();
    // Deletes the index files of a directory moved aside for a restart, keeping the restart files.
    void keepOnlyRestartFiles(const std::string& directory);
    // The state read without events or failure lines of its own: -2 when it cannot be read.
    int peekState();
    Candidate tryCandidate(bool writing, bool fallback);
    Candidate decideUnderLock(bool fallback);
    Candidate decideWhenBusy(bool writing, bool fallback);
    int unCacheWorker(const char* kind, unsigned long talCell, unsigned long app, unsigned long timeStamp);
    void dropCacheDir();
    // Makes the "canStillResume" marker of close(true); false (the cause logged and in
    // getErrno()) when it cannot.
    bool markResumable();
    // Writes the access time line; throws "State file putLine error".
    void stampAccessTime(uint32_t now);
    // (app << 32) | time stamp: the identity a client cache's events carry.
    unsigned long long clientEventValue() const;
    static void readSpaceSaverSetting(TDebuggable& log);
    // How a read of the job id file went: no file (or no directory to hold one), a whole line,
    // a file that was read but does not hold a whole line, or one that could not be opened or
    // read (the cause in jobIdReadError_): only the damaged one says something about the index.
    enum class JobIdFileRead { Missing, Read, Damaged, Unreadable };
    int jobIdReadError_ = 0;
    // The job id file's path; empty, with a line naming op, when the object has no directory.
    std::string jobIdFilePath(const char* op);
    int replaceJobIdFile(const std::string& path, const std::string& line, const char*& step);
    // Removes temporary files of the job id file from the directory: all of them when they are
    // this object's copies (update by copy), else those of this host's processes that ended.
    void removeJobIdTemporaries(bool copies);
    JobIdFileRead readJobIdLine(int64_t* jobId, std::string* maName, unsigned* phase, unsigned* attempt,
                                unsigned* counter);
};
