// A fresh directory under /tmp for one test, removed with everything in it afterwards.
#pragma once

#include <string>
#include <utility>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Small file helpers for tests.
std::string readFileText(const std::string& path);
void writeFileText(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);
// The permission bits (07777) of what path names, 0 when nothing; its owner and group.
unsigned modeOf(const std::string& path);
std::pair<unsigned, unsigned> ownerOf(const std::string& path);
// The lines, each followed by end.
std::string joinedLines(const std::vector<std::string>& lines, const char* end = "\r\n");
