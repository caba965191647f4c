// Each failure leaves a code the caller can read and a journal line that names its cause.
#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/EventCapture.h"

class ErrorReason : public CacheDirFixture {};

TEST_F(ErrorReason, EachFailureLeavesItsCodeAndAJournalLineThatSaysWhy) {
    const unsigned long stamp = 1700000000;
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::function<int()> act;  // the code the caller reads
        int code;
        std::string said;
    };
    const std::string missing = settings.dir().file("absent.ini");
    const Case cases[] = {
        {"bad app type", [] {}, [] { return TestDir(0, 5).getErrno(); }, EINVAL,
         "invalid app type 5: the index cache takes 1 or 7"},
        {"exact open of a directory being written",
         [&] { leave(stamp, 3); },
         [&] {
             auto writer = heldBy("write", stamp);
             TestDir reader;
             return reader.open(stamp, true) == nullptr ? reader.getErrno() : 0;
         },
         JobResultsCacheDir::kErrBusy, "directory 1700000000 is busy: another process is writing"},
        {"exact open of a directory whose writer died", [&] { leave(stamp, 3); },
         [&] {
             TestDir reader;
             return reader.open(stamp, true) == nullptr ? reader.getErrno() : 0;
         },
         ENOENT, "directory 1700000000 was discarded: its writer ended"},
        {"exact open of a missing directory", [] {},
         [&] {
             TestDir reader;
             return reader.open(stamp + 1, true) == nullptr ? reader.getErrno() : 0;
         },
         ENOENT, "/1700000001 does not exist"},
        {"job results without the client role",
         [&] { settings.write("[Focus]\nClientName=client1\n"); },
         [] { return static_cast<int>(TestDir(0, kAppTypeJobResults).getInitializationFailureReason()); },
         eNoJobResultsDirectory, "Not a TalClient platform: give the client its job results role: [Platform] TalClient=yes"},
        {"settings file missing",
         [&] { setenv("VORNICA_CONFIG", missing.c_str(), 1); },
         [] { return static_cast<int>(TestDir().getInitializationFailureReason()); }, eNoIndexCacheBase,
         "set [MediaAgent] IndexCacheDirectory (or the client's own) in " + missing + ", which does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings.write(settingsText());
        setenv("VORNICA_CONFIG", settings.configPath().c_str(), 1);
        c.arrange();
        EventCapture journal;
        EXPECT_EQ(c.act(), c.code);
        EXPECT_EQ(journal.debugLinesWith(c.said), 1u) << testing::PrintToString(journal.debugMessages());
    }
}
