#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "JobResults/LineMap.h"
#include "tests/JobResults/StoreFixture.h"

namespace {

class LineMapTest : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        std::filesystem::create_directories(jobDir());
        probe_ = std::make_unique<MapProbe>();  // after the settings
        ASSERT_FALSE(probe().computeFileNames(kResultsBackup));
    }
    MapProbe& probe() { return *probe_; }
    std::unique_ptr<MapProbe> probe_;
};

TEST_F(LineMapTest, GenerateMapEntersTheTrueStartOfEveryLine) {
    const struct {
        const char* name; std::string results; std::vector<uint64_t> entries;
    } cases[] = {
        {"a, bcd, empty line", "a\r\nbcd\r\n\r\n", {0, 3, 8}},
        {"empty file", "", {}},
        {"line feed alone", "a\nb\r\n", {0, 2}},
        {"no line end at the end", "ab\r\ncd", {0, 4}},
        {"carriage return alone at the end", "ab\r\n\r", {0}},
        {"zero byte inside a line", std::string("a\0b\r\nc\r\n", 8), {0, 5}},
        {"longest line", std::string(102399, 'x') + "\r\n" + "y\r\n", {0, 102401}},
        // Longer than a reader serves: mapped all the same, so the lines after it stay in reach.
        {"line too long", "a\r\n" + std::string(200000, 'x') + "\r\n" + "b\r\n", {0, 3, 200005}},
        {"line too long at the end", std::string(102401, 'x'), {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFileText(jobFile("backup.out"), c.results);
        writeFileText(jobFile("1.map"), "stale map bytes, longer than the new one");
        for (int rebuild = 0; rebuild < 2; ++rebuild) {  // the second over the first's map: the same bytes
            EXPECT_FALSE(probe().generateMap());
            EXPECT_EQ(readFileText(jobFile("1.map")), mapBytes(c.entries));
            EXPECT_EQ(probe().map().getCurOffset(), static_cast<int64_t>(c.entries.size() * kMapEntrySize)) << "open at its end";
        }
        probe().results().close();
        probe().map().close();
    }
    // Nothing but the map is left behind by a rebuild, failed or not.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(jobDir())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"1.map", "backup.out"}));
}

// The rebuilt map takes the mode and owner of its results file, never those of what a link at
// the map's name points to, and the link's target stays as it was.
TEST_F(LineMapTest, ARebuiltMapTakesItsResultsFilesModeAndOwnerAndFollowsNoLink) {
    writeFileText(jobFile("backup.out"), "a\r\n");
    ASSERT_EQ(chmod(jobFile("backup.out").c_str(), 0604), 0);
    const bool root = geteuid() == 0;
    if (root) { ASSERT_EQ(chown(jobFile("backup.out").c_str(), 1234, 1234), 0); }
    const std::string outside = settings.dir().file("outside");
    writeFileText(outside, "keep");
    ASSERT_EQ(chmod(outside.c_str(), 0600), 0);
    ASSERT_EQ(symlink(outside.c_str(), jobFile("1.map").c_str()), 0);
    ASSERT_FALSE(probe().generateMap());
    struct stat map {};
    ASSERT_EQ(lstat(jobFile("1.map").c_str(), &map), 0);
    EXPECT_TRUE(S_ISREG(map.st_mode));
    EXPECT_EQ(map.st_mode & 07777, 0604u);
    if (root) { EXPECT_EQ(map.st_uid, 1234u); }
    EXPECT_EQ(readFileText(outside) + " " + std::to_string(modeOf(outside)), "keep " + std::to_string(0600));
}

TEST_F(LineMapTest, CheckMapFindsMapsThatDoNotFitTheFile) {
    const std::string results = "a\r\nbcd\r\n\r\n";  // lines at 0, 3 and 8
    const struct {
        const char* name; std::string map; bool sound; int64_t lines;
    } cases[] = {
        {"whole map", mapBytes({0, 3, 8}), true, 3},
        {"empty map", "", true, 0},
        {"map behind the file", mapBytes({0, 3}), true, 2},
        {"half an entry at the end", mapBytes({0, 3}) + std::string("\x08\0", 2), false, 2},
        {"last entry past the end", mapBytes({0, 3, 10}), false, 3},
        {"last entry not after a line end", mapBytes({0, 3, 7}), false, 3},
        {"first entry not 0", mapBytes({1, 3, 8}), false, 3},
        {"more lines than the file can hold", mapBytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}), false, 13},
    };
    writeFileText(jobFile("backup.out"), results);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFileText(jobFile("1.map"), c.map);
        ASSERT_EQ(probe().results().open(jobFile("backup.out").c_str(), sfReadOnly), 0);
        ASSERT_EQ(probe().map().open(jobFile("1.map").c_str(), sfReadOnly), 0);
        int64_t lines = -1;
        EXPECT_EQ(probe().checkMap(lines), c.sound ? MapProbe::MapCheck::Sound : MapProbe::MapCheck::Unsound);
        EXPECT_EQ(lines, c.lines);
        probe().results().close();
        probe().map().close();
    }
}

// A line's length is where its first NUL, CR or LF stands, wherever the text starts against
// the sixteen-byte blocks it is read in and whatever follows the end; a text that ends at the
// last byte of a page is read without touching the next page (here one that cannot be read).
TEST(LineTextTest, LengthStopsAtTheFirstEndOrBreakAndReadsNoFurtherPage) {
    alignas(64) char buffer[160];
    for (char end : {'\0', '\r', '\n'})
        for (size_t start = 0; start < 16; ++start)
            for (size_t length = 0; length <= 70; ++length) {
                memset(buffer, 'x', sizeof buffer);
                buffer[start + length] = end;
                buffer[start + length + 1] = '\0';
                if (start > 0) buffer[start - 1] = '\n';  // a break before the text is not its own
                ASSERT_EQ(lineTextLength(buffer + start), length) << int(end) << " " << start;
            }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    char* pages = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    memset(pages, 'y', page);
    for (size_t length : {0, 1, 15, 16, 17, 100}) {
        pages[page - 1] = '\0';
        EXPECT_EQ(lineTextLength(pages + page - 1 - length), length);
    }
    munmap(pages, 2 * page);
}

}  // namespace
