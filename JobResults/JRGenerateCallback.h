// Writes each row of the job results table as one line of the results file: the row's line is
// a template in which only "%s" (the row's key) and "%%" (a percent sign) are replaced; every
// other byte is copied as it is. A line longer than kMaxLine characters is refused, never cut.
#pragma once
#include <memory>

#include "Indexing/icommon/TDebuggable.h"
#include "Platform/JobResultsTable.h"

class CXFile;

class JRGenerateCallback : public JobResultsCallback, public TDebuggable {
public:
    static constexpr size_t kLineBuffer = 9248;
    static constexpr size_t kMaxLine = kLineBuffer - 1;

    explicit JRGenerateCallback(CXFile& output);
    ~JRGenerateCallback() override;
    // 0 when the row's line was written, -1 when it was not.
    int function(JobResultsTable* table, JobResultsRecord* record) override;

private:
    CXFile& output_;
    std::unique_ptr<char[]> line_;
};
