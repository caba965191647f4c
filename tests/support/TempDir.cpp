#include "tests/support/TempDir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

TempDir::TempDir() {
    // VORNICA_TEST_TMPDIR puts the tests' files elsewhere: on a network share or a FUSE mount
    // that stands for one (tests/faults/ShareMountTest.cpp).
    const char* base = getenv("VORNICA_TEST_TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vornica-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

unsigned modeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::pair<unsigned, unsigned> ownerOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? std::pair<unsigned, unsigned>(st.st_uid, st.st_gid) : std::pair(~0u, ~0u);
}

std::string joinedLines(const std::vector<std::string>& lines, const char* end) {
    std::string text;
    for (const std::string& line : lines) text += line + end;
    return text;
}
