#include "log/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <vector>

#include "tests/support/temp_dir.h"

namespace kd {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;
using test::writeText;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { logClose(); }
    void TearDown() override {
        logClose();
        logSetConsoleDebug(false);
    }
    TempDir dir;
};

// Debug lines reach the console only when switched on, errors go to stderr, neither output gets
// colour codes when it is not a terminal, and a long message is cut to 4095 bytes in both.
TEST_F(LogTest, EachLevelReachesItsStreamAndTheFile) {
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    logDebug("quiet %d", 1);
    logError("broken %s", "pipe");
    logSetConsoleDebug(true);
    logInfo("%s", std::string(5000, 'x').c_str());
    logDebug("detail");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string cut = " " + std::string(4095, 'x') + "\n", time = R"(\[ *\d+\.\d{3}\] )";
    EXPECT_TRUE(std::regex_match(out, std::regex(time + "info " + cut + time + "dbg   detail\n")));
    EXPECT_TRUE(std::regex_match(err, std::regex(time + "error broken pipe\n"))) << err;
    const std::string file = readText(dir / "latest.log"), clock = R"(\[\d\d:\d\d:\d\d\.\d{3}\] )";
    EXPECT_TRUE(std::regex_match(file, std::regex(clock + time + "dbg   quiet 1\n(.*\n){3}")));
    EXPECT_NE(file.find(cut), std::string::npos);
    EXPECT_EQ(file.find(std::string(4096, 'x')), std::string::npos);
}

// The last run's log moves aside under the current time; the five newest .log files by name stay,
// whatever else is in the folder.
TEST_F(LogTest, OpeningRotatesTheLastLogAndPrunesTheOldestNames) {
    for (int day = 1; day <= 7; ++day)
        writeText(dir / ("2020-01-0" + std::to_string(day) + "_10-00-00.log"), "old\n");
    writeText(dir / "latest.log", "last\n");
    writeText(dir / "notes.txt", "not a log\n");
    writeText(dir / "0-other.log", "sorted by name like the others\n");
    writeText(dir / "zzz.log", "sorts last, so it is kept\n");
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    logClose();
    EXPECT_EQ(readText(dir / "latest.log"), "");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 7u);
    EXPECT_EQ(names[0] + " " + names[2], "2020-01-05_10-00-00.log 2020-01-07_10-00-00.log");
    const time_t now = time(nullptr);
    const std::string year = std::to_string(localtime(&now)->tm_year + 1900);
    EXPECT_TRUE(std::regex_match(names[3], std::regex(year + R"((-\d\d){2}_\d\d(-\d\d){2}\.log)")))
        << names[3];
    EXPECT_EQ(readText(dir / names[3]), "last\n");
    EXPECT_EQ(std::vector<std::string>(names.begin() + 4, names.end()),
              (std::vector<std::string>{"latest.log", "notes.txt", "zzz.log"}));

    // Two more runs, within the same second as a self-update's restart: no log is overwritten,
    // and the newer ones sort after the older.
    for (const char* run : {"second\n", "third\n"}) {
        writeText(dir / "latest.log", run);
        ASSERT_TRUE(logOpen(dir.path().c_str(), 0));
        logClose();
    }
    std::set<std::string> stamped;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind(year, 0) == 0)
            stamped.insert(entry.path().filename());
    std::string kept;
    for (const std::string& name : stamped) kept += readText(dir / name);
    EXPECT_EQ(kept, "last\nsecond\nthird\n");
}

// The first run makes the folder; one that cannot be made leaves the log on the console.
TEST_F(LogTest, MakesItsFolderAndWithoutOneLogsToTheConsoleOnly) {
    writeText(dir / "plain", "a file where the log folder should be");
    EXPECT_FALSE(logOpen((dir / "plain/logs").c_str(), 5));
    EXPECT_EQ(logFilePath(), "");
    testing::internal::CaptureStdout();
    logInfo("console only");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("console only"), std::string::npos);
    ASSERT_TRUE(logOpen((dir / "a/b").c_str(), 5));
    EXPECT_EQ(logFilePath(), dir / "a/b/latest.log");
}

}  // namespace
}  // namespace kd
