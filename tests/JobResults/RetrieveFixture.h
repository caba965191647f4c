// The storing suites' job results cache for the reader's suites, and the job's directory made
// as the first writer leaves it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "JobResults/RetrieveResults.h"
#include "tests/JobResults/PagingReplyText.h"
#include "tests/JobResults/StoreFixture.h"
#include "tests/support/EventCapture.h"

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
