// The one path separator of this platform and the small helpers that compose and split paths
// with it. Every path the library builds or takes apart goes through kPathSep; there is no
// second separator (a backslash is an ordinary character of a file name here).
#pragma once

#include <string>

constexpr char kPathSep = '/';

// folder, separator, name. No separator is doubled when folder already ends in one; an empty
// folder gives name alone.
inline std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == kPathSep) return folder + name;
    return folder + kPathSep + name;
}

// Everything before the last separator: "a/b/c" -> "a/b", "/c" -> "/", "c" -> "" (no parent
// in the text).
inline std::string parentPath(const std::string& path) {
    const size_t cut = path.rfind(kPathSep);
    if (cut == std::string::npos) return std::string();
    if (cut == 0) return std::string(1, kPathSep);
    return path.substr(0, cut);
}

// Everything after the last separator: "a/b/c" -> "c", "c" -> "c", "a/b/" -> "".
inline std::string lastPathComponent(const std::string& path) {
    const size_t cut = path.rfind(kPathSep);
    return cut == std::string::npos ? path : path.substr(cut + 1);
}
