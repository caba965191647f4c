// The storing suites' job results cache for the reader's suites, the job's directory made as
// the first writer leaves it, and pages fetched through a real socket pair and decoded with
// ReturnDataReader.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "JobResults/RetrieveResults.h"
#include "Platform/ReturnDataReader.h"
#include "tests/JobResults/StoreFixture.h"
#include "tests/support/EventCapture.h"

// One page reply as it arrived; no header when nothing was sent.
struct Page {
    bool replied = false;
    int64_t total = -1, numLines = -1, lineNumber = -1, lastLine = -1, code = -1;
    std::vector<std::string> lines;
    bool wellFormed = false;  // the fields came in the order of a page reply
};

inline Page decodePage(int fd) {
    Page page;
    ReturnDataReader reader(fd, 30000);
    unsigned long type = 0;
    int64_t seq = 0;
    if (reader.readHeader(type, seq) != 0) return page;
    page.replied = true;
    std::vector<uint32_t> tags;
    ReturnDataReader::Field field;
    int rc;
    while ((rc = reader.next(field)) == 1) {
        tags.push_back(field.tag);
        const int64_t value = field.asInt64().value_or(-1);
        switch (field.tag) {
            case RetrieveResults::kTagTotalLines: page.total = value; break;
            case RetrieveResults::kTagNumLines: page.numLines = value; break;
            case RetrieveResults::kTagLineNumber: page.lineNumber = value; break;
            case RetrieveResults::kTagLastLine: page.lastLine = value; break;
            case RetrieveResults::kTagLine: page.lines.push_back(field.bytes); break;
            default: break;
        }
    }
    if (rc != 0) return page;
    page.code = reader.endCode();
    const std::vector<uint32_t> head{4140, 4141, 4142};
    page.wellFormed = type == RetrieveResults::kReplyMessageType && seq == 77 && tags.size() >= 4 &&
                      std::vector<uint32_t>(tags.begin(), tags.begin() + 3) == head && tags.back() == 4147 &&
                      tags.size() == 4 + page.lines.size();
    return page;
}

// Asks reader for a page (sequence number 77) over a fresh socket pair; result = getPage's.
inline Page fetchPage(RetrieveResults& reader, int64_t lineNumber, int64_t numLines, bool* result = nullptr) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return Page{};
    auto decoded = std::async(std::launch::async, [&] { return decodePage(ends[1]); });
    CYuSocket socket(ends[0]);
    const bool failed = reader.getPage(77, lineNumber, numLines, &socket);
    ::close(ends[0]);  // a request answered with nothing must end the reader's wait
    Page page = decoded.get();
    ::close(ends[1]);
    if (result != nullptr) *result = failed;
    return page;
}

class RetrieveFixture : public StoreFixture {
protected:
    std::string extraSettings() const override {
        return "[MediaAgent]\nIndexCacheDirectory=" + settings.dir().file("idx") + "\n[Platform\\4]\nTalServerHostName=central\n";
    }
    std::string inJob(const std::string& name) const { return jobFile(name); }
    // The job's directory with a State file, as the first writer leaves it.
    void makeJobDir() const {
        std::filesystem::create_directories(jobDir());
        writeFileText(inJob("State"), "0\r\n1700000000    \r\n");
    }
    // The results file of lines (CR LF after each) and, unless withMap is false, its map.
    void writeResults(const std::vector<std::string>& lines, bool withMap = true, const std::string& tail = "") const {
        makeJobDir();
        const std::string text = joinedLines(lines);
        writeFileText(inJob("backup.out"), text + tail);
        if (withMap) writeFileText(inJob("1.map"), mapBytes(lineStartsOf(text)));
    }
    RetrieveResults reader(ResultsFile kind = kResultsBackup) const {
        return RetrieveResults(kTalCell, kJobId, kind, "client1");
    }

    EventCapture events;
};
