// The administration tool run as a real program against a cache that the library made in the
// test, with a directory held by a second process.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "tests/JobResults/PagingFixture.h"
#include "tests/support/HelperProcess.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {
constexpr uint32_t kOld = 1000000, kOldHeld = 1500000;

struct ToolRun {
    int code;
    std::string out, err;
};

// Runs the tool (under a time limit: no command may wait behind a lock); prefix runs before it.
ToolRun runVornica(const TempDir& dir, const std::vector<std::string>& args, const std::string& prefix = "") {
    std::string command = prefix + " timeout 60 " VORNICA_TOOLS_DIR "/vornica";
    for (const std::string& a : args) command += " '" + a + "'";
    const std::string out = dir.file("out"), err = dir.file("err");
    command += " >" + out + " 2>" + err;
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFileText(out), readFileText(err)};
}

std::vector<Json> jsonLines(const std::string& text) {
    std::vector<Json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
    return lines;
}

class VornicaTool : public ::testing::Test {
protected:
    void SetUp() override {
        settings.write("[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" + settings.dir().file("idx") +
                       "\n[~Machines\\client1]\nClientId=17\n");
        recent_ = static_cast<uint32_t>(time(nullptr)) - 60;
        for (uint32_t stamp : {kOld, kOldHeld, recent_}) make(stamp);
    }
    // A complete directory made as a job makes one, last used at its time stamp.
    std::string make(uint32_t stamp, uint32_t app = 7) {
        JobResultsCacheDir dir(1, 2, app, 9, static_cast<BackupType>(1), 0, TCacheIndex);
        dir.initialize(nullptr);
        const char* path = dir.create(stamp);
        EXPECT_NE(path, nullptr);
        const std::string made = path != nullptr ? path : "";
        dir.createJobIdFile();
        writeFileText(made + "/index.dat", std::string(5000, 'x'));
        EXPECT_EQ(dir.close(false), 0);
        writeFileText(made + "/State", "0\r\n" + std::to_string(stamp) + "    \r\n");
        return made;
    }
    std::string dirOf(uint32_t stamp, uint32_t app = 7) const {
        return settings.dir().file("idx/KR_Index/2/" + std::to_string(app) + "/" + std::to_string(stamp));
    }
    std::unique_ptr<HelperProcess> hold(uint32_t stamp) {
        return std::make_unique<HelperProcess>(std::vector<std::string>{"cachedir_lock", "2", "7", std::to_string(stamp), "write"}, "ready");
    }
    ToolRun vornica(const std::vector<std::string>& args, const std::string& prefix = "") {
        return runVornica(settings.dir(), args, prefix);
    }
    // Every name under the cache with its kind, mode, time and bytes.
    std::map<std::string, std::string> tree() const {
        std::map<std::string, std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(settings.dir().file("idx"))) {
            const auto status = e.symlink_status();
            std::string facts = std::to_string(static_cast<int>(status.type())) + " " +
                                std::to_string(static_cast<unsigned>(status.permissions())) + " " +
                                std::to_string(e.last_write_time().time_since_epoch().count());
            if (status.type() == fs::file_type::regular) facts += " " + readFileText(e.path());
            out[e.path()] = facts;
        }
        return out;
    }

    // The names whose facts differ from before (empty: the tree is byte-identical).
    std::string changedSince(const std::map<std::string, std::string>& before) const {
        const auto now = tree();
        std::string changed;
        for (const auto& [name, facts] : before) changed += !now.count(name) || now.at(name) != facts ? " " + name : "";
        for (const auto& [name, facts] : now) changed += !before.count(name) ? " +" + name : "";
        return changed;
    }

    SettingsFixture settings;
    uint32_t recent_ = 0;
};
}  // namespace

TEST_F(VornicaTool, ListsAndShowsAHeldDirectoryWithItsHolder) {
    auto holder = hold(kOldHeld);
    const ToolRun ls = vornica({"--json", "cache", "ls"});
    const Json doc = Json::parse(ls.out, nullptr, false);
    ASSERT_EQ(ls.code == 0 ? doc["directories"].size() : 0u, 3u) << ls.err;
    const Json rows[] = {{kOld, "none", true}, {kOldHeld, "exclusive", true}, {recent_, "none", false}};
    for (size_t i = 0; i < 3; ++i) {
        const Json& d = doc["directories"][i];
        EXPECT_EQ(Json({d["time_stamp_epoch"], d["held"], d["old"], d["state"]}), Json({rows[i][0], rows[i][1], rows[i][2], "complete"}));
        EXPECT_GE(d["size_bytes"].get<uint64_t>(), 5000u);
    }
    const ToolRun show = vornica({"cache", "show", dirOf(kOldHeld), "--json"});
    const Json shown = Json::parse(show.out, nullptr, false);
    ASSERT_EQ(show.code == 0 ? shown["holders"].size() : 0u, 1u) << show.err << shown;
    EXPECT_EQ(Json({shown["holders"][0]["pid"], shown["holders"][0]["lock"]}), Json({holder->pid(), "exclusive"}));
    EXPECT_NE(shown["holders"][0]["command"].get<std::string>().find("cachedir_lock 2 7"), std::string::npos);
    EXPECT_EQ(Json({shown["job_id_file"]["job_id"], shown["state"]["line_end"]}), Json({9, "CRLF"}));
}

TEST_F(VornicaTool, CleanRemovesOnlyWhatIsOldAndFreeAndDryRunChangesNothing) {
    auto holder = hold(kOldHeld);
    const auto before = tree();
    const ToolRun dry = vornica({"--json", "cache", "clean", "--dry-run"});
    EXPECT_EQ(dry.code, 11) << dry.err;
    EXPECT_EQ(changedSince(before), "");
    const std::vector<Json> planned = jsonLines(dry.out);
    ASSERT_EQ(planned.size(), 4u);
    EXPECT_EQ(Json({planned[0]["action"], planned[1]["action"]}), Json({"would-remove", "keep"}));
    EXPECT_NE(planned[1]["reason"].get<std::string>().find("held"), std::string::npos);

    const ToolRun clean = vornica({"--json", "cache", "clean"});
    EXPECT_EQ(clean.code, 11) << clean.err;
    EXPECT_TRUE(!fs::exists(dirOf(kOld)) && fs::exists(dirOf(kOldHeld) + "/index.dat") && fs::exists(dirOf(recent_)));
    const std::vector<Json> done = jsonLines(clean.out);
    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(Json({done[3]["message_type"], done[3]["removed"], done[3]["space_gained_bytes"]}),
              Json({"summary", 1, planned[3]["space_gained_bytes"]}));

    holder.reset();
    EXPECT_EQ(vornica({"cache", "clean"}).code, 0);
    EXPECT_FALSE(fs::exists(dirOf(kOldHeld)));
}

TEST_F(VornicaTool, BadInputNamesTheCauseAndChangesNothing) {
    const std::string damaged = make(1200000, 8);
    writeFileText(damaged + "/State", "x\r\n");
    fs::permissions(dirOf(kOld).substr(0, dirOf(kOld).rfind('/')), fs::perms::none);
    const std::string noRights = "setpriv --bounding-set -dac_override,-dac_read_search";
    struct Case {
        std::vector<std::string> args; std::string prefix; int code; const char* message;
        bool reports = false;  // what could be read is still printed
    } cases[] = {
        {{"cache", "ls", "--app", "99"}, "", 1, "no cache directories of app 99"},
        {{"cache", "clean", "--app", "seven"}, "", 2, "is not an application number"},
        {{"--config", "/nonexistent.ini", "cache", "ls"}, "", 1, "settings file /nonexistent.ini"},
        {{"cache", "ls", "--type", "disk"}, "", 2, "unknown cache type 'disk'"},
        {{"cache", "clean", "--free", "100"}, "", 2, "--free"},
        {{"cache", "show", dirOf(1200000, 8)}, "", 1, "damaged State: first byte is not a state digit", true},
        {{"cache", "show", settings.dir().path()}, "", 2, "is not a cache directory"},
        {{"cache", "ls", "--app", "7"}, noRights, 3, "cannot list", true},
        {{"cache", "frobnicate"}, "", 2, "unknown command 'frobnicate' (see --help)"},
    };
    const auto before = tree();
    for (const Case& c : cases) {
        const ToolRun run = vornica(c.args, c.prefix);
        EXPECT_EQ(run.code, c.code) << c.args[1] << " " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(changedSince(before), "");
        std::vector<std::string> json = c.args;
        json.insert(json.begin(), "--json");
        const ToolRun asJson = vornica(json, c.prefix);
        EXPECT_EQ(asJson.code, c.code);
        const std::vector<Json> errors = jsonLines(asJson.err);
        ASSERT_FALSE(errors.empty()) << asJson.err;
        EXPECT_NE(errors.back()["message"].get<std::string>().find(c.message), std::string::npos);
        EXPECT_EQ(Json::accept(asJson.out), c.reports) << asJson.out;
    }
    fs::permissions(dirOf(kOld).substr(0, dirOf(kOld).rfind('/')), fs::perms::owner_all);
}

TEST_F(VornicaTool, ReserveLsTellsWhatTheNextWriterDrops) {
    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    writeFileText(settings.dir().file("idx/KR_Index/reserveFile"),
                  "17:999999/1/2 10 " + std::to_string(now) + "\r\n" +              // this host, not running
                      "99:5/6/7 20 " + std::to_string(now - 2 * 86400) + "\r\n" +  // another host, two days old
                      "99:5/6/8 30 " + std::to_string(now - 60) + "\r\n" +         // another host, recent
                      "garbage\r\n");
    const ToolRun run = vornica({"--json", "reserve", "ls"});
    ASSERT_EQ(run.code, 0) << run.err;
    const Json doc = Json::parse(run.out);
    const Json& lines = doc["lines"];
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]["running"], false);
    EXPECT_EQ(Json({lines[0]["next_writer_drops"], lines[1]["next_writer_drops"], lines[2]["next_writer_drops"]}),
              Json({"its process no longer runs on this host", "older than a day", nullptr}));
    EXPECT_GE(lines[2]["age_seconds"].get<int64_t>(), 60);
    EXPECT_NE(lines[3]["next_writer_drops"].get<std::string>().find("unreadable"), std::string::npos);
    EXPECT_EQ(Json({doc["total_blocks"], doc["dropped_blocks"]}), Json({60, 30}));
}

using VornicaResults = PagingFixture;

TEST_F(VornicaResults, PagesMapsAndRefusesBadRequests) {
    const std::string file = makeJobFile(1234, kResultsBackup, "one\r\ntwo\r\nthree\r\n");
    struct Case {
        std::vector<std::string> args; int code;
        const char* out;  // in stdout, or in stderr when the code is not 0
    } cases[] = {
        {{"results", "map", "1234"}, 1, "map of job 1234 is missing"},
        {{"results", "page", "1234", "--line", "2", "--count", "5"}, 0, "two\nthree\n"},
        {{"results", "map", "1234", "--check"}, 0, "sound, 3 lines"},
        {{"results", "page", "1234", "--line", "9"}, 1, "beyond the end of the results"},
        {{"results", "page", "1234", "--count", "0"}, 2, "--count 0"},
        {{"results", "page", "1234", "--kind", "nonsense"}, 2, "unknown results kind 'nonsense'"},
        {{"results", "generate", "1234"}, 1, "is already there"},
        {{"results", "map", "77"}, 1, "job 77 has no results directory"},
    };
    for (const Case& c : cases) {
        const ToolRun run = runVornica(settings.dir(), c.args);
        EXPECT_EQ(run.code, c.code) << c.args[1] << " " << run.err;
        EXPECT_NE((c.code == 0 ? run.out : run.err).find(c.out), std::string::npos) << run.out << run.err;
    }
    const Json reply = Json::parse(runVornica(settings.dir(), {"--json", "results", "page", "1234", "--line", "3"}).out);
    EXPECT_EQ(Json({reply["total_lines"], reply["lines"], reply["end_code"]}), Json({3, Json::array({"three"}), 0}));
}

TEST_F(VornicaTool, DoctorProbesTheRootAndLeavesNothingBehind) {
    const std::string root = settings.dir().file("idx/KR_Index");
    fs::permissions(root, fs::perms::owner_all);
    auto statusOf = [&](const std::string& check) {
        const ToolRun run = vornica({"doctor", "--json"});
        const Json doc = Json::parse(run.out);
        for (const Json& f : doc["findings"])
            if (f["check"] == check) return f["status"].get<std::string>();
        return std::string("absent");
    };
    const auto before = tree();
    EXPECT_EQ(statusOf("index cache OFD locks"), "ok");
    EXPECT_EQ(statusOf("index cache no-replace rename"), "ok");
    EXPECT_EQ(statusOf("index cache sharing"), "warn");
    // The scratch files' making and removal moves the root's time, nothing else.
    EXPECT_EQ(changedSince(before), " " + root) << "the probes' scratch files are gone";
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_all | fs::perms::set_gid | fs::perms::others_read |
                              fs::perms::others_exec);
    EXPECT_EQ(statusOf("index cache sharing"), "ok");

    settings.write("[Focus]\nClientName=client1\n");
    const ToolRun bare = vornica({"doctor"});
    EXPECT_EQ(bare.code, 1);
    EXPECT_NE(bare.out.find("FAIL  index cache: not usable"), std::string::npos) << bare.out;
}

TEST_F(VornicaTool, SweepRunsThePeriodicCleanupAsAJobWould) {
    EXPECT_EQ(Json::parse(vornica({"--json", "cache", "sweep"}).out)["swept"], false) << "no dINDEXCLEANALLDAYS: no sweep";
    EXPECT_TRUE(fs::exists(dirOf(kOld)));
    settings.write(readFileText(settings.configPath()) + "[MediaAgent]\ndINDEXCLEANALLDAYS=1\n");
    const ToolRun run = vornica({"--json", "cache", "sweep"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Json::parse(run.out)["swept"], true);
    EXPECT_TRUE(!fs::exists(dirOf(kOld)) && fs::exists(dirOf(recent_)));
}
