#include "Platform/SettingsStore.h"

#include <errno.h>
#include <fcntl.h>
#include <ini.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "Platform/EvDebug.h"
#include "Platform/PlatformEnv.h"

namespace {
std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

void logSettings(const std::string& message) {
    EvDebug log;
    log.Debug("SETTINGS", "%s\n", message.c_str());
}

bool readWhole(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream all;
    all << file.rdbuf();
    text = all.str();
    return true;
}

// Returns the section name of a "[name]" line, or nothing.
std::optional<std::string> sectionOf(const std::string& line) {
    std::string t = trimmed(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return trimmed(t.substr(1, close - 1));
}

std::optional<std::string> entryNameOf(const std::string& line) {
    std::string t = trimmed(line);
    if (t.empty() || t[0] == ';' || t[0] == '#' || t[0] == '[') return std::nullopt;
    size_t sep = t.find_first_of("=:");
    if (sep == std::string::npos) return std::nullopt;
    return trimmed(t.substr(0, sep));
}

// Feeds inih one whole line at a time. Leading blanks are dropped (so no line continues the
// previous value). inih's line buffer is small (about 200 characters), and settings hold paths
// of up to a kilobyte: a longer line is taken here instead and inih is handed a comment, so
// that no value is ever cut short.
struct LineFeed {
    std::istringstream in;
    std::string section;
    void* store = nullptr;
    int (*onEntry)(void*, const char*, const char*, const char*) = nullptr;
};

char* readLine(char* buffer, int size, void* stream) {
    auto* feed = static_cast<LineFeed*>(stream);
    std::string line;
    if (!std::getline(feed->in, line)) return nullptr;
    size_t first = line.find_first_not_of(" \t");
    line = first == std::string::npos ? std::string() : line.substr(first);
    if (auto section = sectionOf(line)) feed->section = *section;
    if (static_cast<int>(line.size()) + 2 > size) {
        if (auto name = entryNameOf(line)) {
            std::string value = line.substr(line.find_first_of("=:") + 1);
            size_t comment = value.find(" ;");
            if (comment != std::string::npos) value.erase(comment);
            feed->onEntry(feed->store, feed->section.c_str(), name->c_str(), trimmed(value).c_str());
        }
        line = ";";
    }
    memcpy(buffer, line.c_str(), line.size() + 1);
    strcat(buffer, "\n");
    return buffer;
}

std::string withEntry(const std::string& text, const std::string& section, const std::string& name,
                      const std::string& value) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::string entry = name + "=" + value;
    bool inSection = false;
    long sectionEnd = -1;  // index after the last line of the wanted section
    for (size_t i = 0; i < lines.size(); ++i) {
        if (auto s = sectionOf(lines[i])) {
            inSection = lowered(*s) == lowered(section);
            if (inSection) sectionEnd = static_cast<long>(i) + 1;
            continue;
        }
        if (!inSection) continue;
        if (!trimmed(lines[i]).empty()) sectionEnd = static_cast<long>(i) + 1;
        auto n = entryNameOf(lines[i]);
        if (n && lowered(*n) == lowered(name)) {
            lines[i] = entry;
            sectionEnd = -2;  // replaced
            break;
        }
    }
    if (sectionEnd >= 0) {
        lines.insert(lines.begin() + sectionEnd, entry);
    } else if (sectionEnd == -1) {
        if (!lines.empty() && !trimmed(lines.back()).empty()) lines.push_back("");
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    }
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

SettingsStore::SettingsStore(const std::string& path) : path_(path) {
    std::string text;
    if (!readWhole(path, text)) return;
    fileRead_ = true;
    LineFeed feed;
    feed.in.str(text);
    feed.store = this;
    feed.onEntry = &SettingsStore::onEntry;
    int firstError = ini_parse_stream(readLine, &feed, &SettingsStore::onEntry, this);
    if (firstError > 0)
        logSettings(path + ": malformed line " + std::to_string(firstError) + " ignored");
}

SettingsStore SettingsStore::current() { return SettingsStore(PlatformEnv::configPath()); }

std::string SettingsStore::keyOf(const std::string& section, const std::string& name) {
    return lowered(section) + '\n' + lowered(name);
}

int SettingsStore::onEntry(void* user, const char* section, const char* name, const char* value) {
    auto* store = static_cast<SettingsStore*>(user);
    store->values_[keyOf(section, name)] = value;
    return 1;
}

bool SettingsStore::hasSection(const std::string& section) const {
    const std::string prefix = lowered(section) + '\n';
    auto next = values_.lower_bound(prefix);
    return next != values_.end() && next->first.compare(0, prefix.size(), prefix) == 0;
}

std::map<std::string, std::string> SettingsStore::entries(const std::string& section) const {
    const std::string prefix = lowered(section) + '\n';
    std::map<std::string, std::string> out;
    for (auto it = values_.lower_bound(prefix); it != values_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it)
        out[it->first.substr(prefix.size())] = it->second;
    return out;
}

std::optional<std::string> SettingsStore::getText(const std::string& section, const std::string& name) const {
    auto found = values_.find(keyOf(section, name));
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

std::optional<int64_t> SettingsStore::getInteger(const std::string& section, const std::string& name) const {
    auto text = getText(section, name);
    if (!text) return std::nullopt;
    const char* start = text->c_str();
    char* end = nullptr;
    errno = 0;
    bool hex = strncmp(start, "0x", 2) == 0 || strncmp(start, "0X", 2) == 0;
    long long value = hex ? static_cast<long long>(strtoull(start + 2, &end, 16)) : strtoll(start, &end, 10);
    if (text->empty() || errno != 0 || *end != '\0' || (hex && end == start + 2)) {
        logSettings("[" + section + "] " + name + ": '" + *text + "' is not a number");
        return std::nullopt;
    }
    return value;
}

std::optional<bool> SettingsStore::getBool(const std::string& section, const std::string& name) const {
    auto text = getText(section, name);
    if (!text) return std::nullopt;
    std::string v = lowered(*text);
    if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
    if (v == "0" || v == "false" || v == "no" || v == "off") return false;
    logSettings("[" + section + "] " + name + ": '" + *text + "' is not a boolean");
    return std::nullopt;
}

bool SettingsStore::setText(const std::string& path, const std::string& section, const std::string& name,
                            const std::string& value) {
    if (name.empty() || section.empty() || value.find('\n') != std::string::npos ||
        name.find_first_of("=:[]\n") != std::string::npos || section.find_first_of("[]\n") != std::string::npos) {
        logSettings("refused to write [" + section + "] " + name + "='" + value + "'");
        return false;
    }
    const std::string lockPath = path + ".lock";
    int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0) {
        logSettings("cannot open " + lockPath + ": " + strerror(errno));
        return false;
    }
    bool written = false;
    std::string tempPath;
    while (flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
    }
    do {
        std::string text;
        readWhole(path, text);  // a missing file starts empty
        std::string updated = withEntry(text, section, name, value);
        tempPath = path + ".tmp." + std::to_string(getpid());
        int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) break;
        bool ok = writeAll(fd, updated) && fsync(fd) == 0;
        ok = (close(fd) == 0) && ok;
        if (!ok || rename(tempPath.c_str(), path.c_str()) != 0) {
            unlink(tempPath.c_str());
            break;
        }
        int dirFd = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            fsync(dirFd);
            close(dirFd);
        }
        written = true;
    } while (false);
    int savedErrno = errno;
    flock(lockFd, LOCK_UN);
    close(lockFd);
    if (!written) logSettings("cannot write " + path + ": " + strerror(savedErrno));
    return written;
}
