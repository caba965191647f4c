#include "tools/vornica/Tool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "Indexing/idxport/FsEntryStatus.h"

namespace {
const CacheKind kKinds[] = {
    {"index", 1, TCacheIndex},
    {"content", 1, TCacheContentIndex},
    {"snap", 1, TCacheSnapMetadata},
    {"page", 1, TCachePage},
    {"optional", kAppTypeOptionalIndex, TCacheIndex},
    {"results", kAppTypeJobResults, TCacheIndex},
};

std::string settingsPath() {
    const GlobalOptions& options = globalOptions();
    if (!options.config.empty()) return options.config;
    if (const char* path = std::getenv("VORNICA_CONFIG"); path != nullptr && *path != '\0') return path;
    const char* instance = std::getenv("VORNICA_INSTANCE");
    return std::string("/etc/vornica/") + (instance != nullptr && *instance != '\0' ? instance : "Instance001") + ".ini";
}
}  // namespace

void failWith(int code, const std::string& message) { throw ToolFailure{code, message}; }

GlobalOptions& globalOptions() {
    static GlobalOptions options;
    return options;
}

void useSettings() {
    const std::string path = settingsPath();
    FsEntryStatus status;
    if (fsEntryStatus(path.c_str(), status) != 0)
        failWith(kExitFailure, "settings file " + path + ": " + errnoText(errno) +
                                   " (give it with --config or VORNICA_CONFIG)");
    if (status.kind == FsEntryStatus::Kind::Directory) failWith(kExitFailure, "settings file " + path + " is a directory");
    // The library reads the same variable, so that the tool sees the instance as a job does.
    setenv("VORNICA_CONFIG", path.c_str(), 1);
}

void warn(const std::string& message) {
    if (globalOptions().json)
        std::cerr << Json{{"message_type", "warning"}, {"message", message}}.dump() << '\n';
    else
        std::cerr << "vornica: " << message << '\n';
}

void printJson(const Json& document) {
    std::cout << document.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

std::string rfc3339(int64_t epoch) {
    const time_t t = static_cast<time_t>(epoch);
    tm local{};
    if (localtime_r(&t, &local) == nullptr) return std::to_string(epoch);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string out = text;  // +hhmm -> +hh:mm
    if (out.size() > 4) out.insert(out.size() - 2, ":");
    return out;
}

void putTime(Json& object, const std::string& name, int64_t epoch) {
    object[name] = rfc3339(epoch);
    object[name + "_epoch"] = epoch;
}

std::string humanBytes(uint64_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string errnoText(int error) { return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")"; }

const CacheKind& cacheKindNamed(const std::string& name) {
    for (const CacheKind& kind : kKinds)
        if (name == kind.name) return kind;
    failWith(kExitUsage, "unknown cache type '" + name + "': one of " + cacheKindNames());
}

std::string cacheKindNames() {
    std::string names;
    for (const CacheKind& kind : kKinds) names += (names.empty() ? "" : "|") + std::string(kind.name);
    return names;
}

std::unique_ptr<JobResultsCacheFs> openCacheFs(const CacheKind& kind) {
    useSettings();
    auto fs = std::make_unique<JobResultsCacheFs>(kind.appType, kind.cacheType);
    fs->initialize(nullptr);
    if (!fs->isInitialized())
        failWith(kExitFailure, std::string("the ") + kind.name + " cache of this instance cannot be used: " +
                                   fs->jobPendingMessage() + " (reason " +
                                   std::to_string(fs->getInitializationFailureReason()) +
                                   (fs->getAccessError() != 0 ? ", " + errnoText(fs->getAccessError()) : "") + ")");
    return fs;
}

void addTypeOption(CLI::App& command, std::string& type) {
    command.add_option("--type", type, "cache type: " + cacheKindNames())->default_val("index");
}
