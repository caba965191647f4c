// Restore filter files: the job's restore results filtered by status into a paging file.
#include "tests/JobResults/PagingFixture.h"
#include "tests/JobResults/PagingReplyText.h"
#include "tests/JobResults/StoreFixture.h"

namespace {

constexpr int64_t kJob = 77;

class PagingRestoreFilterTest : public PagingFixture {
protected:
    std::string filterName(const char* ext, const char* suffix = "") const {
        return temp("PagingFile_Job_77_" + std::to_string(kNow) + suffix + ext);
    }
    size_t pagingEntries() const {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(tempDir()))
            count += entry.path().filename().string().rfind("PagingFile_", 0) == 0 ? 1 : 0;
        return count;
    }
    static std::string page(RetrieveResults& reader, int64_t lineNumber) { return fetchPage(reader, lineNumber, 10).text; }
};

TEST_F(PagingRestoreFilterTest, EachKindKeepsTheLinesOfItsStatuses) {
    // "z 1" is still being written (no line end): a cut "z 12" must not pass for status 1.
    makeJobFile(kJob, kResultsRestore, "a 1\r\nb 3\r\nc 5\r\nd\r\nx 12\r\ny 1abc\r\nw 2 \r\nz 1");
    const struct {
        ResultsFile kind; const char* ext; const char* kept; const char* served;
    } cases[] = {
        {kRestoreSucceeded, ".s_rst", "a 1\r\nc 5\r\n", "4148:a 1 4148:c 5 4147=2"},
        {kRestoreFailed, ".f_rst", "b 3\r\nx 12\r\n", "4148:b 3 4148:x 12 4147=2"},
        {kRestoreSkipped, ".sk_rst", "", "4147=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ext);
        PagingProbe reader(2, kJob, c.kind, nullptr);
        EXPECT_EQ(reader.file() + " " + reader.map(), filterName(c.ext) + " " + filterName(c.ext) + ".map");
        EXPECT_EQ(readFileText(filterName(c.ext)), c.kept);
        EXPECT_EQ(modeOf(filterName(c.ext)), 0600u);
        EXPECT_NE(page(reader, 1).find(c.served), std::string::npos) << page(reader, 1);
    }
}

TEST_F(PagingRestoreFilterTest, LaterReadersFindTheFileUntilRestoreResultsChange) {
    const std::string restore = makeJobFile(kJob, kResultsRestore, "a 1\r\n");
    setModified(restore, kNow - 10);
    { PagingProbe first(2, kJob, kRestoreSucceeded, nullptr); }
    setModified(filterName(".s_rst"), kNow - 5);
    writeFileText(filterName(".s_rst") + ".map", std::string(5, '\0'));
    setModified(filterName(".s_rst") + ".map", kNow - 4);

    PagingProbe second(2, kJob, kRestoreSucceeded, nullptr);
    EXPECT_EQ(second.file(), filterName(".s_rst"));
    EXPECT_EQ(pagingEntries(), 2u);

    writeFileText(restore, "a 1\r\nb 2\r\n");
    setModified(restore, kNow - 1);
    PagingProbe third(2, kJob, kRestoreSucceeded, nullptr);
    EXPECT_EQ(third.file(), filterName(".s_rst"));
    EXPECT_EQ(readFileText(filterName(".s_rst")), "a 1\r\nb 2\r\n");
    EXPECT_FALSE(fileExists(filterName(".s_rst") + ".map"));
    EXPECT_EQ(pagingEntries(), 1u);
}

// The temporary directory may be shared. A name taken by a link (or a file a search passes
// over) gives the new file the next name, nothing written through the link; a map put under the
// new file's name beforehand is not used: the first page builds the file's own.
TEST_F(PagingRestoreFilterTest, ATakenNameIsNeitherFollowedNorReplaced) {
    makeJobFile(kJob, kResultsRestore, "a 1\r\nc 5\r\ne 2\r\n");
    const std::string outside = settings.dir().file("outside.txt");
    writeFileText(outside, "keep\r\n");
    ASSERT_EQ(symlink(outside.c_str(), filterName(".s_rst").c_str()), 0);
    writeFileText(filterName(".s_rst", "_2") + ".map", mapBytes({0, 10}));  // fits the file, but joins two lines
    PagingProbe reader(2, kJob, kRestoreSucceeded, nullptr);
    ASSERT_EQ(reader.file(), filterName(".s_rst", "_2"));
    EXPECT_EQ(readFileText(filterName(".s_rst", "_2")), "a 1\r\nc 5\r\ne 2\r\n");
    EXPECT_NE(page(reader, 1).find("4148:a 1 4148:c 5 4148:e 2 4147=3"), std::string::npos) << page(reader, 1);
    EXPECT_EQ(readFileText(outside), "keep\r\n");
}

// Line -1 deletes the paging file and its map, nothing else (not a refused file outside the
// temporary directory), and sends nothing. Two readers of one filter file: when the first is
// done with it, the second's next page makes the file again.
TEST_F(PagingRestoreFilterTest, LineMinusOneDeletesOnlyThePagingFileAndItsMap) {
    makeJobFile(kJob, kResultsRestore, "a 1\r\nb 3\r\n");
    const std::string outside = settings.dir().file("PagingFile_Job_77_1.s_rst");
    writeFileText(outside, "a 1\r\n");
    writeFileText(outside + ".map", std::string(5, '\0'));
    PagingProbe first(2, kJob, kRestoreSucceeded, nullptr), second(2, kJob, kRestoreSucceeded, nullptr);
    PagingProbe byPath(kRestoreSucceeded, outside.c_str(), nullptr, 0);
    ASSERT_EQ(second.file(), first.file());
    for (PagingProbe* reader : {&first, &second, &byPath}) {
        if (reader != &byPath) {  // a file outside the temporary directory is refused, not paged
            EXPECT_NE(page(*reader, 1).find("4148:a 1 4147=1"), std::string::npos);
            EXPECT_TRUE(fileExists(reader->file() + ".map"));
        }
        bool failed = true;
        EXPECT_EQ(fetchPage(*reader, -1, 0, &failed).text, "nothing");
        EXPECT_FALSE(failed);
    }
    EXPECT_EQ(pagingEntries(), 0u);
    EXPECT_TRUE(fileExists(outside) && fileExists(outside + ".map"));
}

}  // namespace
