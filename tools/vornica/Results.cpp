// vornica results page|map|generate JOB: a job's results through the library's own reader.
#include <iostream>
#include <thread>

#include "Indexing/idxport/FsEntryStatus.h"
#include "JobResults/RetrieveResults.h"
#include "Platform/LocalSocketPair.h"
#include "Platform/ReturnDataReader.h"
#include "tools/vornica/Commands.h"

namespace {
struct ResultsOptions {
    int64_t jobId = 0;
    unsigned long talCell = 2;
    std::string kind = "backup";
    int64_t line = 1;
    int64_t count = 50;
    bool check = false;
    bool rebuild = false;
};

const struct {
    const char* name;
    ResultsFile kind;
} kKinds[] = {{"backup", kResultsBackup},       {"restore", kResultsRestore},
              {"crosscheck", kResultsCrossCheck}, {"scrapetext", kResultsScrapeText},
              {"restore-succeeded", kRestoreSucceeded}, {"restore-failed", kRestoreFailed},
              {"restore-skipped", kRestoreSkipped}};

ResultsFile kindNamed(const std::string& name) {
    std::string names;
    for (const auto& k : kKinds) {
        if (name == k.name) return k.kind;
        names += (names.empty() ? "" : "|") + std::string(k.name);
    }
    failWith(kExitUsage, "unknown results kind '" + name + "': one of " + names);
}

// What the end code of a page reply means.
const char* endCodeText(int64_t code) {
    switch (code) {
        case 0: return "done";
        case 1: return "the job's results could not be set up (unknown job or settings)";
        case 2: return "the job's results directory cannot be opened";
        case 3: return "the results file or its map is not available";
        case 4: return "the first line asked for lies beyond the end of the results";
        case 5: return "the map could not be read";
        case 6: return "a line could not be read";
        case 7: return "the reply broke off";
        default: return "unknown end code";
    }
}

// The reader with what the tool needs of its inside: the results file's and map's names and the
// map check a page runs.
struct ResultsReader : RetrieveResults {
    using RetrieveResults::RetrieveResults;
    using RetrieveResults::checkMap;
    using RetrieveResults::MapCheck;
    std::string file() const { return fileName_ != nullptr ? fileName_ : ""; }
    std::string map() const { return mapName_ != nullptr ? mapName_ : ""; }
    bool openDirectory() { return !resultsDir_.open(true); }
    int openResults() {
        return resultsFile_.open(fileName_, sfReadOnly, 0, 0, sfRegularFileOnly) == 0 ? 0 : resultsFile_.getLastError();
    }
    int openMap() { return mapFile_.open(mapName_, sfReadOnly, 0, 0, sfRegularFileOnly) == 0 ? 0 : mapFile_.getLastError(); }
    void closeAll() {
        resultsFile_.close();
        mapFile_.close();
        resultsDir_.close();
    }
};

std::unique_ptr<ResultsReader> readerFor(const ResultsOptions& o) {
    const ResultsFile kind = kindNamed(o.kind);
    if (o.jobId <= 0) failWith(kExitUsage, "JOB " + std::to_string(o.jobId) + ": a job id is a number above 0");
    useSettings();
    auto reader = std::make_unique<ResultsReader>(o.talCell, o.jobId, kind, nullptr);
    if (reader->file().empty())
        failWith(kExitFailure, "the results of job " + std::to_string(o.jobId) +
                                   " cannot be found: no job results cache in the settings (see vornica doctor)");
    return reader;
}

int page(const ResultsOptions& o) {
    if (o.line < 1) failWith(kExitUsage, "--line " + std::to_string(o.line) + ": lines are numbered from 1");
    if (o.count < 1) failWith(kExitUsage, "--count " + std::to_string(o.count) + ": at least one line");
    auto reader = readerFor(o);
    LocalSocketPair pair;
    if (pair.error() != 0) failWith(kExitFailure, "socketpair: " + errnoText(pair.error()));
    // The reply is read while it is written: a page larger than the socket's buffer would
    // otherwise stall the writer.
    Json reply;
    std::vector<std::string> lines;
    std::string readError;
    int64_t endCode = -1;
    std::thread collector([&] {
        ReturnDataReader in(pair.reader(), 120000);
        unsigned long type = 0;
        int64_t seq = 0;
        if (in.readHeader(type, seq) != 0) {
            readError = in.errorText();
            return;
        }
        ReturnDataReader::Field field;
        int rc;
        while ((rc = in.next(field)) == 1) {
            const auto value = field.asInt64();
            switch (field.tag) {
                case RetrieveResults::kTagLine: lines.push_back(field.bytes); break;
                case RetrieveResults::kTagTotalLines: reply["total_lines"] = value.value_or(-1); break;
                case RetrieveResults::kTagNumLines: reply["num_lines"] = value.value_or(-1); break;
                case RetrieveResults::kTagLineNumber: reply["line_number"] = value.value_or(-1); break;
                case RetrieveResults::kTagLastLine: reply["last_line"] = value.value_or(-1); break;
                default: reply["field_" + std::to_string(field.tag)] = field.bytes;
            }
        }
        if (rc == 0) endCode = in.endCode();
        else readError = in.errorText();
    });
    const CYuSocket socket(pair.writer());
    const bool failed = reader->getPage(1, o.line, o.count, &socket);
    pair.closeWriter();
    collector.join();
    if (!readError.empty()) failWith(kExitFailure, "the page reply could not be read: " + readError);
    reply["job_id"] = o.jobId;
    reply["kind"] = o.kind;
    reply["end_code"] = endCode;
    reply["end"] = endCodeText(endCode);
    reply["lines"] = lines;
    if (globalOptions().json) {
        printJson(reply);
    } else {
        for (const std::string& line : lines) std::cout << line << '\n';
        std::cout.flush();
    }
    if (failed || endCode != 0)
        failWith(kExitFailure, "page of job " + std::to_string(o.jobId) + " from line " + std::to_string(o.line) +
                                   ": " + endCodeText(endCode));
    return kExitOk;
}

int map(const ResultsOptions& o) {
    auto reader = readerFor(o);
    if (!reader->openDirectory()) failWith(kExitFailure, "job " + std::to_string(o.jobId) + " has no results directory");
    if (const int error = reader->openResults(); error != 0)
        failWith(kExitFailure, "results file " + reader->file() + ": " + errnoText(error) +
                                   (error == ENOENT ? " (make it with vornica results generate)" : ""));
    Json doc{{"results_file", reader->file()}, {"map_file", reader->map()}};
    std::string verdict;
    int64_t lines = 0;
    if (o.rebuild) {
        if (reader->generateMap()) failWith(kExitFailure, "the map " + reader->map() + " could not be rebuilt (see the debug log)");
        verdict = reader->checkMap(lines) == ResultsReader::MapCheck::Sound ? "rebuilt" : "rebuilt, still unsound";
    } else if (const int error = reader->openMap(); error != 0) {
        verdict = error == ENOENT ? "missing" : "unreadable: " + errnoText(error);
    } else {
        switch (reader->checkMap(lines)) {
            case ResultsReader::MapCheck::Sound: verdict = "sound"; break;
            case ResultsReader::MapCheck::Unsound: verdict = "unsound"; break;
            case ResultsReader::MapCheck::Error: verdict = "unreadable"; break;
        }
    }
    reader->closeAll();
    doc["map"] = verdict;
    doc["lines"] = lines;
    if (globalOptions().json)
        printJson(doc);
    else
        std::cout << "map " << reader->map() << ": " << verdict << ", " << lines << " lines\n" << std::flush;
    if (verdict != "sound" && verdict != "rebuilt")
        failWith(kExitFailure, "the map of job " + std::to_string(o.jobId) + " is " + verdict +
                                   " (a page request rebuilds it; or run vornica results map --rebuild)");
    return kExitOk;
}

int generate(const ResultsOptions& o) {
    auto reader = readerFor(o);
    FsEntryStatus status;
    if (fsEntryStatus(reader->file().c_str(), status) == 0)
        failWith(kExitFailure, "results file " + reader->file() + " is already there: nothing to generate");
    if (!reader->openDirectory()) failWith(kExitFailure, "job " + std::to_string(o.jobId) + " has no results directory");
    const std::string file = reader->file();
    if (reader->generateFile(file.c_str()))
        failWith(kExitFailure, "the results file of job " + std::to_string(o.jobId) +
                                   " could not be generated (no raw files or table, or its directory is held; see the debug log)");
    if (globalOptions().json)
        printJson({{"results_file", file}, {"generated", true}});
    else
        std::cout << "generated " << file << "\n" << std::flush;
    return kExitOk;
}

void common(CLI::App& command, ResultsOptions& o) {
    command.add_option("JOB", o.jobId, "the job id")->required();
    command.add_option("--tal-cell", o.talCell, "the job's talCell")->default_val(2);
    command.add_option("--kind", o.kind, "backup|restore|crosscheck|scrapetext|restore-succeeded|restore-failed|restore-skipped")
        ->default_val("backup");
}
}  // namespace

void addResultsCommands(CLI::App& results) {
    auto o = std::make_shared<ResultsOptions>();
    CLI::App* pageCommand = results.add_subcommand("page", "a page of a job's results, through the library's reader");
    common(*pageCommand, *o);
    pageCommand->add_option("--line", o->line, "the first line (from 1)")->default_val(1);
    pageCommand->add_option("--count", o->count, "how many lines")->default_val(50);
    pageCommand->callback([o] { throw ToolExit{page(*o)}; });
    CLI::App* mapCommand = results.add_subcommand("map", "check (default) or rebuild the line map of a job's results");
    common(*mapCommand, *o);
    auto* check = mapCommand->add_flag("--check", o->check, "check the map against the results file");
    mapCommand->add_flag("--rebuild", o->rebuild, "rebuild the map from the results file")->excludes(check);
    mapCommand->callback([o] { throw ToolExit{map(*o)}; });
    CLI::App* generateCommand = results.add_subcommand("generate", "make a missing results file from the raw files or the table");
    common(*generateCommand, *o);
    generateCommand->callback([o] { throw ToolExit{generate(*o)}; });
    results.require_subcommand(1);
}
