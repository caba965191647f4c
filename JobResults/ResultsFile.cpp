#include "JobResults/ResultsFile.h"

namespace {
struct KindName {
    uint32_t kind;
    const char* text;
};

// Searched front to back; the entry without text ends each list.
const KindName kResultsFileNames[] = {
    {kResultsBackup, "backup.out"},
    {kResultsRestore, "restore.out"},
    {kResultsCrossCheck, "crosscheck.out"},
    {kResultsScrapeText, "scrapetext.out"},
    {kResultsSuccessStubCollect, "SuccessStubCollect.krf"},
    {kResultsNone, nullptr},
};

const KindName kPagingExtensions[] = {
    {kPagingBackup, ".bkp"},   {kPagingLog, ".log"}, {kRestoreSucceeded, ".s_rst"}, {kRestoreFailed, ".f_rst"},
    {kRestoreSkipped, ".sk_rst"}, {kPagingRac, ".rac"}, {kPagingCdr, ".cdr"},         {kResultsNone, nullptr},
};

const char* lookUp(const KindName* list, uint32_t kind) {
    for (; list->text != nullptr; ++list)
        if (list->kind == kind) return list->text;
    return nullptr;
}
}  // namespace

const char* resultsFileName(uint32_t kind) { return lookUp(kResultsFileNames, kind); }
const char* pagingFileExtension(uint32_t kind) { return lookUp(kPagingExtensions, kind); }
