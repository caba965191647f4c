#include <sys/stat.h>

#include <functional>

#include "tests/JobResults/RetrieveFixture.h"
#include "Indexing/idxport/CXFile.h"
#include "Platform/SettingsStore.h"
#include "tests/support/FaultInjection.h"

namespace {
using Lines = std::vector<std::string>;
class RetrievePage : public RetrieveFixture {
protected:
    // State as a writer leaves it: Writing, locked exclusively through writer while it runs.
    void setWriting(CXFile* writer) const {
        writeFileText(inJob("State"), "3\r\n1700000000    \r\n");
        if (writer != nullptr) { ASSERT_TRUE(writer->open(inJob("State").c_str(), sfReadWrite) == 0 && writer->lock(sfLockExclusive, 0) == 1); }
    }
};

TEST_F(RetrievePage, AnswersEachRequestAsTheMapAllows) {
    const Lines three{"one", "two", "three"};
    const struct {
        const char* name; Lines file; int64_t lineNumber, numLines;
        bool fails, replied; int64_t total, lastLine; Lines lines; const char* logged;
    } cases[] = {
        {"whole file", three, 1, 10, false, true, 3, 3, three, nullptr},
        {"last line", three, 3, 1, false, true, 3, 3, {"three"}, nullptr},
        {"middle", three, 2, 1, false, true, 3, 2, {"two"}, nullptr},
        {"beyond the end", three, 4, 5, true, true, 0, 0, {}, "lineNumber 4 but there are only 3 lines"},
        {"line 0", three, 0, 5, true, false, 0, 0, {}, "getPage: illegal line number"},
        {"line -5", three, -5, 5, true, false, 0, 0, {}, "getPage: illegal line number"},
        {"no lines asked", three, 2, 0, false, true, 3, 1, {}, nullptr},
        {"2^40 lines asked", three, 2, int64_t(1) << 40, false, true, 3, 3, {"two", "three"}, nullptr},
        {"negative count", three, 1, -3, false, true, 3, 0, {}, nullptr},
        {"empty file", {}, 1, 10, false, true, 0, 1, {}, "job results is empty."},
        {"empty file, line 2", {}, 2, 10, true, true, 0, 0, {}, "lineNumber 2 but there are only 0 lines"},
        {"empty line", {"a", "", "c"}, 1, 3, false, true, 3, 3, {"a", "", "c"}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeResults(c.file);
        events.clear();
        RetrieveResults r = reader();
        bool failed = false;
        const Page page = fetchPage(r, c.lineNumber, c.numLines, &failed);
        EXPECT_EQ(failed, c.fails);
        ASSERT_EQ(page.replied, c.replied);
        if (c.replied) {
            EXPECT_EQ(std::tie(page.wellFormed, page.total, page.numLines, page.lineNumber, page.lastLine, page.lines),
                      std::tie(c.replied, c.total, c.numLines, c.lineNumber, c.lastLine, c.lines));
        }
        if (c.logged != nullptr) { EXPECT_EQ(events.debugLinesWith(c.logged), 1u); }
    }
}

// A map that is missing or does not fit the results file is rebuilt before the page is served,
// and the rebuilt map serves the next request.
TEST_F(RetrievePage, RebuildsAMissingOrUnsoundMap) {
    const Lines lines{"alpha", "beta", "gamma", "delta"};
    const struct {
        const char* name; std::string map /* "": no map file */; const char* logged;
    } cases[] = {
        {"missing", "", "automatically replaced"},
        {"half an entry more", std::string(20, '\0') + "\x01\x02", "does not fit"},
        {"entry past the end", mapBytes({0, 7, 13, 27}), "does not fit"},
        {"entry not after a line end", mapBytes({0, 7, 13, 18}), "does not fit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeResults(lines, false);
        c.map.empty() ? (void)std::filesystem::remove(inJob("1.map")) : writeFileText(inJob("1.map"), c.map);
        events.clear();
        RetrieveResults r = reader();
        const Page first = fetchPage(r, 2, 2);
        EXPECT_EQ(std::tie(first.total, first.lines), std::make_tuple(int64_t{4}, Lines{"beta", "gamma"}));
        EXPECT_EQ(readFileText(inJob("1.map")).size(), 20u);
        EXPECT_EQ(fetchPage(r, 4, 9).lines, Lines{"delta"});
        EXPECT_EQ(events.debugLinesWith(c.logged), 1u) << "rebuilt once, then reused";
    }
}

// While a writer holds the directory, lines past the map's count are not served and a last
// line without its line end is neither served nor counted. Once no writer holds it, nothing
// will complete the map any more: a map that lacks lines is rebuilt, and the unterminated last
// line of the finished file is served. Either way the total is what is served.
TEST_F(RetrievePage, ServesWhatTheMapCountsAndCountsWhatIsServed) {
    const Lines two{"x 1", "x 2"};
    const struct {
        const char* name; Lines lines; std::string tail; std::vector<uint64_t> map; Lines whileWriting, finished;
    } cases[] = {
        {"next line half written", two, "x 12", {0, 5}, two, {"x 1", "x 2", "x 12"}},
        {"map one line behind", {"x 1", "x 2", "x 3"}, "", {0, 5}, two, {"x 1", "x 2", "x 3"}},
        {"unfinished line mapped", two, "x 1", {0, 5, 10}, two, {"x 1", "x 2", "x 1"}},
        {"map empty, file not", two, "", {}, {}, two},
    };
    for (const auto& c : cases) {
        for (const bool writing : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (writing ? ", writer at work" : ", no writer"));
            writeResults(c.lines, false, c.tail);
            writeFileText(inJob("1.map"), mapBytes(c.map));
            CXFile writer;
            setWriting(writing ? &writer : nullptr);
            RetrieveResults r = reader();
            const Page page = fetchPage(r, 1, 10);
            const Lines& expected = writing ? c.whileWriting : c.finished;
            EXPECT_EQ(page.lines, expected);
            EXPECT_EQ(page.total, static_cast<int64_t>(expected.size()));
            EXPECT_EQ(page.lastLine, std::max<int64_t>(1, static_cast<int64_t>(expected.size())));
        }
    }
}

TEST_F(RetrievePage, FailsWhatCannotBeServed) {
    const struct {
        const char* name; std::function<void()> prepare; int64_t code; const char* logged;
    } cases[] = {
        {"no directory", [] {}, 2, "getPage: cache open failed"},
        {"line longer than the line buffer",
         [this] { writeResults({"short", std::string(RetrieveResults::kLineBuffer, 'y'), "after"}); }, 6,
         "getLine failed"},
        {"entries not at line starts",
         [this] {
             writeResults({"one", "two", "three"});
             writeFileText(inJob("1.map"), mapBytes({0, 10, 10}));
         },
         6, "getLine failed"},
        {"a FIFO for the results file",
         [this] {
             makeJobDir();
             ASSERT_EQ(mkfifo(inJob("backup.out").c_str(), 0600), 0);
         },
         3, "openFile: cannot open or create file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(jobDir());
        c.prepare();
        events.clear();
        RetrieveResults r = reader();
        bool failed = false;
        const Page page = fetchPage(r, 1, 10, &failed);
        EXPECT_TRUE(failed && page.wellFormed);
        EXPECT_EQ(page.code, c.code);
        EXPECT_EQ(events.debugLinesWith(c.logged), 1u);
        if (c.code == 6) { EXPECT_EQ(page.lastLine, static_cast<int64_t>(page.lines.size())); }
    }
}

// A client that stops reading cannot hold the reader (and the directory) for ever.
TEST_F(RetrievePage, GivesUpOnAClientThatStopsReading) {
    writeResults(Lines(3000, std::string(1000, 'z')));
    SocketPair pair;
    RetrieveResults r = reader();
    r.setSendTimeout(300);
    const CYuSocket socket(pair.fds[0]);
    auto served = std::async(std::launch::async, [&] { return r.getPage(77, 1, 3000, &socket); });
    ASSERT_EQ(served.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(served.get());
    EXPECT_EQ(events.debugLinesWith("reply failed after line"), 1u);
}

// Writers that put a new file in place by a rename sync it first: after a power loss, a file
// renamed into place unsynced may read empty or partial under its name. A sync that fails
// therefore fails the write and leaves what was at the name before.
TEST_F(RetrievePage, AFailedSyncOfTheNewFileFailsTheWriteAndKeepsTheOldOne) {
    const std::string ini = settings.dir().file("other.ini");
    struct Case {
        const char* name; std::string path, before;  // the file put in place and its content before ("": none)
        const char* tempPart;                        // in the temporary's name
        std::function<bool()> write;
    } cases[] = {
        {"settings rewrite", ini, "[S]\nnOld=1\n", "other.ini.tmp.",
         [&] { return SettingsStore::setText(ini, "S", "nNew", "2"); }},
        {"results file generated at the first page", inJob("backup.out"), "", ".generating.",
         [&] {
             bool failed = true;
             RetrieveResults r = reader();
             fetchPage(r, 1, 10, &failed);
             return !failed;
         }},
    };
    makeJobDir();
    writeFileText(inJob("backup_11_100"), "a1\r\n");
    writeFileText(ini, "[S]\nnOld=1\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            FaultInjection faults({SysKind::Sync, 1, EIO, false, true, c.tempPart});
            EXPECT_FALSE(c.write());
        }
        EXPECT_EQ(fileExists(c.path) ? readFileText(c.path) : "", c.before);
    }
}

// A map being written (its writer holds State) may lack lines, but an entry that skips a line
// start would serve two lines as one: the page fails instead.
TEST_F(RetrievePage, AMapEntryThatSkipsALineFailsThePage) {
    writeResults({"x 1", "x 2", "x 3", "x 4"}, false);
    writeFileText(inJob("1.map"), mapBytes({0, 10, 15}));
    CXFile writer;
    setWriting(&writer);
    RetrieveResults r = reader();
    bool failed = false;
    const Page page = fetchPage(r, 1, 10, &failed);
    EXPECT_TRUE(failed);
    EXPECT_EQ(page.code, 6);
    EXPECT_TRUE(page.lines.empty()) << page.lines.front();
}

}  // namespace
