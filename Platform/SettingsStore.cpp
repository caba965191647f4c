#include "Platform/SettingsStore.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <vector>

#include "Platform/AtomicRewrite.h"
#include "Platform/EvDebug.h"
#include "Platform/PlatformEnv.h"
#include "Platform/SysCalls.h"

namespace {
std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trimmed(std::string_view text) {
    size_t first = 0, last = text.size();
    while (first < last && isBlank(text[first])) ++first;
    while (last > first && isBlank(text[last - 1])) --last;
    return std::string(text.substr(first, last - first));
}

void logSettings(const std::string& message) {
    EvDebug log;
    log.Debug("SETTINGS", "%s\n", message.c_str());
}

// One line of the file as the reader sees it; the writer classifies lines the same way, so that
// the entry it replaces is the one the reader reads. Lines have no length limit.
struct IniLine {
    enum Kind { Blank, Comment, Section, Entry, Malformed };
    Kind kind = Blank;
    std::string section;  // Section: the name, trimmed
    std::string name;     // Entry: the name and the value, trimmed, the value without a comment
    std::string value;
};

// The first ';' that follows a blank starts a comment at the end of a line.
size_t inlineComment(std::string_view text) {
    for (size_t i = 1; i < text.size(); ++i)
        if (text[i] == ';' && isBlank(text[i - 1])) return i;
    return std::string_view::npos;
}

IniLine parseLine(std::string_view raw) {
    IniLine line;
    // Settings are text: a NUL byte would cut a value short for every caller that takes it as
    // a C string, while its length said otherwise.
    if (raw.find('\0') != std::string_view::npos) {
        line.kind = IniLine::Malformed;
        return line;
    }
    const std::string text = trimmed(raw);
    if (text.empty()) return line;
    if (text[0] == ';' || text[0] == '#') {
        line.kind = IniLine::Comment;
        return line;
    }
    if (text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            line.kind = IniLine::Malformed;
        } else {
            line.kind = IniLine::Section;
            line.section = trimmed(std::string_view(text).substr(1, close - 1));
        }
        return line;
    }
    // The name ends at the first '=' or ':'; a comment before it leaves no entry.
    const size_t separator = text.find_first_of("=:");
    if (separator == std::string::npos || inlineComment(std::string_view(text).substr(0, separator)) != std::string::npos) {
        line.kind = IniLine::Malformed;
        return line;
    }
    std::string_view value = std::string_view(text).substr(separator + 1);
    value = value.substr(0, inlineComment(value));
    line.kind = IniLine::Entry;
    line.name = trimmed(std::string_view(text).substr(0, separator));
    line.value = trimmed(value);
    return line;
}

// The lines of a text; the line feed ends a line, a last line without one counts.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string_view withoutBom(std::string_view text) {
    return text.substr(0, 3) == "\xEF\xBB\xBF" ? text.substr(3) : text;
}

std::string withEntry(const std::string& text, const std::string& section, const std::string& name,
                      const std::string& value) {
    std::vector<std::string> lines;
    for (std::string_view line : splitLines(text)) lines.emplace_back(line);
    const std::string entry = name + "=" + value;
    // The reader takes the last entry of that name in any part of the section: that one is
    // replaced. A new entry goes after the last non-blank line of the section's last part.
    bool inSection = false;
    long lastEntry = -1, sectionEnd = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        const IniLine line = parseLine(i == 0 ? withoutBom(lines[i]) : std::string_view(lines[i]));
        if (line.kind == IniLine::Section) {
            inSection = lowered(line.section) == lowered(section);
            if (inSection) sectionEnd = static_cast<long>(i) + 1;
            continue;
        }
        if (!inSection) continue;
        if (line.kind != IniLine::Blank) sectionEnd = static_cast<long>(i) + 1;
        if (line.kind == IniLine::Entry && lowered(line.name) == lowered(name)) lastEntry = static_cast<long>(i);
    }
    if (lastEntry >= 0) {
        lines[static_cast<size_t>(lastEntry)] = entry;
    } else if (sectionEnd >= 0) {
        lines.insert(lines.begin() + sectionEnd, entry);
    } else {
        if (!lines.empty() && !trimmed(lines.back()).empty()) lines.push_back("");
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    }
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

// True when the section header and the entry line read back as exactly what is to be written.
bool readsBack(const std::string& section, const std::string& name, const std::string& value) {
    const IniLine header = parseLine("[" + section + "]");
    const IniLine entry = parseLine(name + "=" + value);
    return section.find_first_of("[]\n") == std::string::npos && value.find('\n') == std::string::npos &&
           header.kind == IniLine::Section && header.section == section && entry.kind == IniLine::Entry &&
           entry.name == name && entry.value == value;
}
}  // namespace

SettingsStore::SettingsStore(const std::string& path) : path_(path) {
    std::string text;
    int error = readWholeFile(path, text);
    if (error != 0) {
        if (error != ENOENT) logSettings("cannot read " + path + ": " + strerror(error));
        return;
    }
    fileRead_ = true;
    parse(text);
}

SettingsStore SettingsStore::fromText(const std::string& text) {
    SettingsStore store;
    store.parse(text);
    return store;
}

void SettingsStore::parse(std::string_view text) {
    std::string section;
    size_t number = 0;
    for (std::string_view raw : splitLines(withoutBom(text))) {
        ++number;
        IniLine line = parseLine(raw);
        if (line.kind == IniLine::Section)
            section = std::move(line.section);
        else if (line.kind == IniLine::Entry)
            values_[keyOf(section, line.name)] = std::move(line.value);  // a later entry wins
        else if (line.kind == IniLine::Malformed)
            logSettings(path_ + ": malformed line " + std::to_string(number) + " ignored");
    }
}

SettingsStore SettingsStore::current() { return SettingsStore(PlatformEnv::configPath()); }

std::string SettingsStore::keyOf(const std::string& section, const std::string& name) {
    return lowered(section) + '\n' + lowered(name);
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
    if (name.empty() || section.empty() || !readsBack(section, name, value)) {
        logSettings("refused to write [" + section + "] " + name + "='" + value + "'");
        return false;
    }
    const std::string lockPath = path + ".lock";
    int lockFd = sys::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lockFd < 0) {
        logSettings("cannot open " + lockPath + ": " + strerror(errno));
        return false;
    }
    while (flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
    }
    // Under the lock no writer of this file is half-way: what dead ones of this host left goes.
    removeDeadTemporaries(path, "tmp");
    // Only a missing file starts empty: one that cannot be read is never replaced by what
    // would be left of it.
    std::string text;
    FileOwnership ownership;
    int error = readWholeFile(path, text, &ownership);
    const bool exists = error == 0;
    if (error == ENOENT) error = 0;
    if (error != 0)
        logSettings("cannot read " + path + ", not rewritten: " + strerror(error));
    else if ((error = rewriteFile(path, withEntry(text, section, name, value), exists ? &ownership : nullptr)) != 0)
        logSettings("cannot write " + path + ": " + strerror(error));
    flock(lockFd, LOCK_UN);
    close(lockFd);
    return error == 0;
}
