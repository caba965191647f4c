#include "Indexing/icommon/TDebuggable.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Platform/ApplicationId.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPI_Krd.h"
#include "Platform/KRPlatformInfo.h"
#include "Platform/KrTime.h"
#include "Platform/PlatformEnv.h"

int TDebuggable::usageCount = 0;
uint32_t TDebuggable::debugMask = 0;
long TDebuggable::debugPid = 0;
FILE* TDebuggable::debugLog = nullptr;
int TDebuggable::logEventsFlag = 1;
bool TDebuggable::multiThreadedFlag = false;
bool TDebuggable::multiJobFlag = false;
bool TDebuggable::symlinkTableFlag = true;

namespace {
// Guards the usage count and the log file against objects made and destroyed on several threads.
std::mutex logMutex;
}  // namespace

TDebuggable::TDebuggable() {
    std::lock_guard<std::mutex> guard(logMutex);
    if (debugMask == 0 || usageCount == 0) {
        KRPI_Krd krd;
        const char* focus = KRPI_Focus::getFocus();
        if (focus != nullptr && *focus != '\0' && krd.setFocus(focus) != 0)
            debugMask = static_cast<uint32_t>(krd.getIndexDebug(false));
    }
    debugMask |= 1;
    if (++usageCount == 1) {
        if (logEventsFlag != 0 && !event_.getReady()) event_.initialize(2, "Debuggable", 0);
        openLogFile();
    }
}

TDebuggable::TDebuggable(const TDebuggable& other)
    : jobId_(other.jobId_),
      debugPrefix_(other.debugPrefix_),
      appText_(other.appText_),
      dateText_(other.dateText_),
      registryText_(other.registryText_),
      event_(other.event_),
      stdoutFlag_(other.stdoutFlag_) {
    std::lock_guard<std::mutex> guard(logMutex);
    ++usageCount;
}

TDebuggable& TDebuggable::operator=(const TDebuggable& other) {
    if (this != &other) {
        jobId_ = other.jobId_;
        debugPrefix_ = other.debugPrefix_;
        appText_ = other.appText_;
        dateText_ = other.dateText_;
        registryText_ = other.registryText_;
        event_ = other.event_;
        stdoutFlag_ = other.stdoutFlag_;
    }
    return *this;
}

TDebuggable::~TDebuggable() {
    std::lock_guard<std::mutex> guard(logMutex);
    if (--usageCount == 0 && debugLog != nullptr) {
        fclose(debugLog);
        debugLog = nullptr;
    }
}

void TDebuggable::openLogFile() {
    const std::string dir = PlatformEnv::logDirectory();
    char path[1024];
    snprintf(path, sizeof path, "%sCXIndexLogging", dir.c_str());
    if (logEventsFlag != 0 && !PlatformEnv::pathExists(path)) return;
    snprintf(path, sizeof path, "%slog.out", dir.c_str());
    debugPid = PlatformEnv::processId();
    debugLog = fopen(path, "ae");
    if (debugLog == nullptr) {
        snprintf(path, sizeof path, "%slog%ld.out", dir.c_str(), debugPid);
        debugLog = fopen(path, "ae");
    }
    if (debugLog != nullptr) {
        fprintf(debugLog, "\nHello from pid %ld\n", debugPid);
        fflush(debugLog);
    } else {
        printf("Cannot open %s file, errno %d\n", path, errno);
    }
}

bool TDebuggable::prepareLine(Line& line, int level, const char* format, va_list args) {
    if (!isDebugOn(static_cast<unsigned long>(level))) return false;
    int head = snprintf(line.text, kMaxLine + 1, "%s: ", debugPrefix_.c_str());
    size_t used = head < 0 ? 0 : std::min(static_cast<size_t>(head), kMaxLine);
    if (used < kMaxLine) {
        va_list forFile;
        va_copy(forFile, args);
        vsnprintf(line.text + used, kMaxLine + 1 - used, format, forFile);
        va_end(forFile);
    }
    if (stdoutFlag_ != 0) {
        printf("%s(%d): ", debugPrefix_.c_str(), level);
        va_list forStdout;
        va_copy(forStdout, args);
        vprintf(format, forStdout);
        va_end(forStdout);
    }
    char* newline = strrchr(line.text, '\n');
    line.hadNewline = newline != nullptr;
    if (newline != nullptr) *newline = '\0';
    return true;
}

void TDebuggable::forwardLine(EvEvent& event, int64_t jobId, const char* text) {
    if (jobId != 0)
        event.DebugJob("", jobId, "%s", text);
    else
        event.debug("%s", text);
}

void TDebuggable::finishLine(Line& line) {
    std::lock_guard<std::mutex> guard(logMutex);
    if (debugLog == nullptr) return;
    strcat(line.text, "\n");  // the cut newline put back, or the missing one added
    if (stdoutFlag_ == 0 && PlatformEnv::stdoutIsTerminal()) {
        fputs(line.text, stdout);
        fflush(stdout);
    }
    fprintf(debugLog, "%s", line.text);
    fflush(debugLog);
}

void TDebuggable::debug(int level, const char* format, ...) {
    Line line;
    va_list args;
    va_start(args, format);
    bool kept = prepareLine(line, level, format, args);
    va_end(args);
    if (!kept) return;
    if (forwardsToEvents()) forwardLine(event_, jobId_, line.text);
    finishLine(line);
}

void TDebuggable::setProgramName(const char* name) {
    if (!event_.getReady()) event_.initialize(2, name, 0);
}

void TDebuggable::setJobId(int64_t jobId) {
    jobId_ = jobId;
    if (jobId != 0 && KRPI_Focus::AmIAService() == 0) event_.setJobId(jobId);
}

const char* TDebuggable::appToString(unsigned long talCell, unsigned long app) {
    ApplicationId id(talCell, app);
    bool failed = false;
    // Only the first failure is logged; the formats stay literal for the compiler's checks.
#define APP_LOOKUP_FAILED(...)                    \
    do {                                          \
        if (!failed) debug(1, __VA_ARGS__);       \
        failed = true;                            \
    } while (0)
    std::string client, type, instance, backupSet, subclient;
    bool hasInstance = false;
    int code = id.getApplicationId();
    if (code != 0) {
        APP_LOOKUP_FAILED("appToString: getApplicationId failed for talCell %lu app %lu, code %d\n", talCell, app, code);
    } else {
        if (const AppClient* c = id.getClient(); c == nullptr)
            APP_LOOKUP_FAILED("appToString: getClient failed for talCell %lu app %lu\n", talCell, app);
        else if ((code = c->getClientName(client)) != 0)
            APP_LOOKUP_FAILED("appToString: getClientName failed for talCell %lu app %lu, code %d\n", talCell, app, code);
        if (const AppType* t = id.getApplicationType(); t == nullptr)
            APP_LOOKUP_FAILED("appToString: getApplicationType failed for talCell %lu app %lu\n", talCell, app);
        else if ((code = t->getAppTypeName(type)) != 0)
            APP_LOOKUP_FAILED("appToString: getAppTypeName failed for talCell %lu app %lu, code %d\n", talCell, app, code);
        if ((code = id.isInstanceAvailable(hasInstance)) != 0) {
            APP_LOOKUP_FAILED("appToString: isInstanceAvailable failed for talCell %lu app %lu, code %d\n", talCell, app, code);
        } else if (hasInstance) {
            if (const AppInstance* i = id.getInstance(); i == nullptr)
                APP_LOOKUP_FAILED("appToString: getInstance failed for talCell %lu app %lu\n", talCell, app);
            else if ((code = i->getInstanceName(instance)) != 0)
                APP_LOOKUP_FAILED("appToString: getInstanceName failed for talCell %lu app %lu, code %d\n", talCell, app, code);
        }
        if (const AppBackupSet* b = id.getBackupSet(); b == nullptr)
            APP_LOOKUP_FAILED("appToString: getBackupSet failed for talCell %lu app %lu\n", talCell, app);
        else if ((code = b->getBackupSetName(backupSet)) != 0)
            APP_LOOKUP_FAILED("appToString: getBackupSetName failed for talCell %lu app %lu, code %d\n", talCell, app, code);
        if (const AppSubclient* s = id.getSubclient(); s == nullptr)
            APP_LOOKUP_FAILED("appToString: getSubclient failed for talCell %lu app %lu\n", talCell, app);
        else if ((code = s->getSubclientName(subclient)) != 0)
            APP_LOOKUP_FAILED("appToString: getSubclientName failed for talCell %lu app %lu, code %d\n", talCell, app, code);
    }
#undef APP_LOOKUP_FAILED
    if (failed) {
        appText_ = std::to_string(talCell) + ":" + std::to_string(app);
    } else {
        appText_ = client + "\\" + type + "\\";
        if (hasInstance) appText_ += instance + "\\";
        appText_ += backupSet + "\\" + subclient;
    }
    return appText_.c_str();
}

const char* TDebuggable::dateToString(unsigned long time) {
    if (time == 0) {
        dateText_ = "now";
        return dateText_.c_str();
    }
    char buffer[1024];
    time_t when = static_cast<time_t>(time);
    if (KR_ctime(&when, buffer, sizeof buffer) == nullptr) {
        dateText_ = "error";
        return dateText_.c_str();
    }
    dateText_ = buffer;
    for (int i = 0; i < 2 && !dateText_.empty() && (dateText_.back() == '\n' || dateText_.back() == '\r'); ++i)
        dateText_.pop_back();
    return dateText_.c_str();
}

int TDebuggable::getRegistryNumber(const char* name, unsigned long* value, const char* key) {
    KRPlatformInfo info;
    info.setFocus(KRPI_Focus::getFocus());
    return info.getNumber(key != nullptr ? key : "MediaAgent", name, value) != 0 ? 0 : -1;
}

const char* TDebuggable::getRegistryString(const char* name, const char* key) {
    const char* focus = KRPI_Focus::getFocus();
    if (focus == nullptr || *focus == '\0') return nullptr;
    KRPlatformInfo info;
    info.setFocus(focus);
    char buffer[1026];
    int length = sizeof buffer;
    if (info.getString(key != nullptr ? key : "MediaAgent", name, buffer, &length) == 0) return nullptr;
    registryText_ = buffer;
    return registryText_.c_str();
}
