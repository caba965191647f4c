// The administration tool's shared parts: exit codes, the failure that ends a command, output
// in text or JSON, times, and the instance's cache roots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "Indexing/cacheFs/JobResultsCacheFs.h"

using Json = nlohmann::ordered_json;

// Stable: scripts test them.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitPartial = 3,
    kExitLockNotObtained = 11,
};

// Ends a command: main prints the message on stderr (as JSON with --json) and exits with code.
struct ToolFailure {
    int code;
    std::string message;
};
[[noreturn]] void failWith(int code, const std::string& message);
// A command's normal end with its exit code (thrown from the command's callback).
struct ToolExit {
    int code;
};

struct GlobalOptions {
    std::string config;
    bool json = false;
};
GlobalOptions& globalOptions();

// Points the library at the settings file (--config, else the environment's) and checks that it
// can be read: a missing settings file is a failure, not an empty instance.
void useSettings();

// A warning on stderr that does not end the command (as a JSON line with --json).
void warn(const std::string& message);
// One JSON document (or one JSON line) on stdout.
void printJson(const Json& document);

// "2026-12-06T22:37:54+00:00" in local time with its offset.
std::string rfc3339(int64_t epoch);
// Adds name (RFC 3339) and name_epoch to object.
void putTime(Json& object, const std::string& name, int64_t epoch);
std::string humanBytes(uint64_t bytes);
std::string errnoText(int error);

// The kinds of cache an instance has, by the name the commands take.
struct CacheKind {
    const char* name;
    KRAppType appType;
    TCacheTypeEnum cacheType;
};
const CacheKind& cacheKindNamed(const std::string& name);  // usage failure when unknown
std::string cacheKindNames();                             // "index|content|..." for --help

// An initialized cache file system of the kind, or a failure that names the cause.
std::unique_ptr<JobResultsCacheFs> openCacheFs(const CacheKind& kind);

// Adds the --type option (default index) to a command.
void addTypeOption(CLI::App& command, std::string& type);
