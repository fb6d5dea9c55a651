#include "log/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <vector>

#include "tests/support/temp_dir.h"

namespace kd {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;
using test::writeText;

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { logClose(); }
    void TearDown() override {
        logClose();
        logSetConsoleDebug(false);
    }
    TempDir dir;
};

// Errors on stderr, the rest on stdout, debug lines on the console only when switched on, no
// colour codes off a terminal, and a long message cut without overrunning either output.
TEST_F(LogTest, EachLevelReachesItsStreamAndTheFile) {
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    logInfo("hello %d", 5);
    logDebug("quiet");
    logError("broken %s", "pipe");
    logSetConsoleDebug(true);
    logWarn("%s", std::string(5000, 'x').c_str());
    logDebug("detail");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string file = readText(dir / "latest.log"), cut(4095, 'x');
    const std::string time = R"(\[ *\d+\.\d{3}\] )", clock = R"(\[\d\d:\d\d:\d\d\.\d{3}\] \[   )";
    EXPECT_TRUE(std::regex_match(out, std::regex(time + "info  hello 5\n" + time + "warn  " + cut +
                                                 "\n" + time + "dbg   detail\n")))
        << out;
    EXPECT_TRUE(std::regex_match(err, std::regex(time + "error broken pipe\n"))) << err;
    const std::string line = clock + R"(\d\.\d{3}\] )";
    EXPECT_TRUE(std::regex_match(
        file,
        std::regex(line + "info  hello 5\n" + line + "dbg   quiet\n" + line +
                   "error broken pipe\n" + line + "warn  " + cut + "\n" + line + "dbg   detail\n")))
        << file;
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
    const std::vector<std::string> names = namesIn(dir.path());
    ASSERT_EQ(names.size(), 7u);
    EXPECT_EQ(names[0] + " " + names[2], "2020-01-05_10-00-00.log 2020-01-07_10-00-00.log");
    const time_t now = time(nullptr);
    const std::string year = std::to_string(localtime(&now)->tm_year + 1900);
    EXPECT_TRUE(std::regex_match(names[3], std::regex(year + R"((-\d\d){2}_\d\d(-\d\d){2}\.log)")))
        << names[3];
    EXPECT_EQ(readText(dir / names[3]), "last\n");
    EXPECT_EQ(std::vector<std::string>(names.begin() + 4, names.end()),
              (std::vector<std::string>{"latest.log", "notes.txt", "zzz.log"}));
}

// A folder that cannot be made leaves the log on the console, as after a close.
TEST_F(LogTest, WithoutAFolderOrAfterCloseLinesReachOnlyTheConsole) {
    EXPECT_FALSE(logOpen("", 5) || logOpen(nullptr, 5));
    writeText(dir / "plain", "a file where the log folder should be");
    EXPECT_FALSE(logOpen((dir / "plain/logs").c_str(), 5));
    EXPECT_EQ(logFilePath(), "");
    ASSERT_TRUE(logOpen((dir / "a/b").c_str(), 5));
    EXPECT_EQ(logFilePath(), dir / "a/b/latest.log");
    logClose();
    EXPECT_EQ(logFilePath(), "");
    testing::internal::CaptureStdout();
    logInfo("console only");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("console only"), std::string::npos);
    EXPECT_EQ(readText(dir / "a/b/latest.log"), "");
}

}  // namespace
}  // namespace kd
