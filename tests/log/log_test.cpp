#include "log/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace kd {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;
using test::writeText;

// Sends one of the process's console streams into a file while it lives.
class CapturedStream {
public:
    CapturedStream(FILE* stream, const std::string& path) : stream_(stream) {
        fflush(stream_);
        saved_ = dup(fileno(stream_));
        FILE* file = fopen(path.c_str(), "w");
        dup2(fileno(file), fileno(stream_));
        fclose(file);
        path_ = path;
    }
    ~CapturedStream() { restore(); }
    std::string text() {
        restore();
        return readText(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stream_);
        dup2(saved_, fileno(stream_));
        close(saved_);
        saved_ = -1;
    }
    FILE* stream_;
    int saved_ = -1;
    std::string path_;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

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

TEST_F(LogTest, ConsoleLinesCarryColouredTagOnTheLevelsStream) {
    logSetConsoleDebug(true);
    CapturedStream out(stdout, dir / "out"), err(stderr, dir / "err");
    logInfo("hello %d", 5);
    logWarn("careful");
    logError("broken %s", "pipe");
    logDebug("detail");
    std::vector<std::string> outLines = lines(out.text());
    std::vector<std::string> errLines = lines(err.text());

    const std::string seconds = R"(\x1b\[90m\[ *\d+\.\d{3}\]\x1b\[0m )";
    ASSERT_EQ(outLines.size(), 3u);
    EXPECT_TRUE(std::regex_match(outLines[0], std::regex(seconds + R"(\x1b\[36minfo \x1b\[0m hello 5)")))
        << outLines[0];
    EXPECT_TRUE(std::regex_match(outLines[1], std::regex(seconds + R"(\x1b\[33mwarn \x1b\[0m careful)")))
        << outLines[1];
    EXPECT_TRUE(std::regex_match(outLines[2], std::regex(seconds + R"(\x1b\[90mdbg  \x1b\[0m detail)")))
        << outLines[2];
    ASSERT_EQ(errLines.size(), 1u);
    EXPECT_TRUE(std::regex_match(errLines[0], std::regex(seconds + R"(\x1b\[31merror\x1b\[0m broken pipe)")))
        << errLines[0];
    // The seconds field is seven wide: "[  0.123]" early in a run.
    EXPECT_EQ(outLines[0].find(']') - outLines[0].find('[', 5) - 1, 7u) << outLines[0];
}

TEST_F(LogTest, DebugLinesReachOnlyTheFileUnlessSwitchedOn) {
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    CapturedStream out(stdout, dir / "out");
    logDebug("quiet %d", 1);
    EXPECT_EQ(out.text(), "");
    std::vector<std::string> fileLines = lines(readText(dir / "latest.log"));
    ASSERT_EQ(fileLines.size(), 1u);
    EXPECT_TRUE(std::regex_match(fileLines[0],
                                 std::regex(R"(\[\d\d:\d\d:\d\d\.\d{3}\] \[ *\d+\.\d{3}\] dbg   quiet 1)")))
        << fileLines[0];
    // Eight columns for the seconds in the file.
    std::size_t open = fileLines[0].find('[', 1);
    EXPECT_EQ(fileLines[0].find(']', open) - open - 1, 8u) << fileLines[0];
}

TEST_F(LogTest, LongMessagesAreCutTo4095BytesInBothOutputs) {
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    std::string message(5000, 'x');
    CapturedStream out(stdout, dir / "out");
    logInfo("%s", message.c_str());
    std::string console = out.text();
    std::string file = readText(dir / "latest.log");
    EXPECT_NE(console.find(std::string(4095, 'x') + "\n"), std::string::npos);
    EXPECT_EQ(console.find(std::string(4096, 'x')), std::string::npos);
    EXPECT_NE(file.find(" " + std::string(4095, 'x') + "\n"), std::string::npos);
    EXPECT_EQ(file.find(std::string(4096, 'x')), std::string::npos);
}

TEST_F(LogTest, OpeningMovesTheLastLogAsideUnderTheCurrentTime) {
    writeText(dir / "latest.log", "previous run\n");
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    EXPECT_EQ(logFilePath(), dir / "latest.log");
    EXPECT_EQ(readText(dir / "latest.log"), "");
    std::vector<std::string> names = namesIn(dir.path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log)")))
        << names[0];
    EXPECT_EQ(readText(dir / names[0]), "previous run\n");
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char year[8];
    snprintf(year, sizeof year, "%04d-", local.tm_year + 1900);
    EXPECT_EQ(names[0].substr(0, 5), year);
}

TEST_F(LogTest, PruningKeepsTheNewestNamesAndIgnoresOtherFiles) {
    for (int day = 1; day <= 7; ++day)
        writeText(dir / ("2020-01-0" + std::to_string(day) + "_10-00-00.log"), "old\n");
    writeText(dir / "latest.log", "last\n");
    writeText(dir / "notes.txt", "keep me\n");
    writeText(dir / "0-other.log", "counted and sorted by name like the others\n");
    writeText(dir / "zzz.log", "sorts last, so it is kept\n");
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    // Ten .log files besides latest.log after the rename: the five smallest names go.
    std::vector<std::string> names = namesIn(dir.path());
    ASSERT_EQ(names.size(), 7u);
    EXPECT_EQ(names[0], "2020-01-05_10-00-00.log");
    EXPECT_EQ(names[1], "2020-01-06_10-00-00.log");
    EXPECT_EQ(names[2], "2020-01-07_10-00-00.log");
    EXPECT_TRUE(std::regex_match(names[3], std::regex(R"(\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log)")));
    EXPECT_EQ(readText(dir / names[3]), "last\n");
    EXPECT_EQ(names[4], "latest.log");
    EXPECT_EQ(names[5], "notes.txt");
    EXPECT_EQ(names[6], "zzz.log");
}

TEST_F(LogTest, KeepOfZeroPrunesNothing) {
    for (int day = 1; day <= 7; ++day)
        writeText(dir / ("2020-01-0" + std::to_string(day) + "_10-00-00.log"), "old\n");
    ASSERT_TRUE(logOpen(dir.path().c_str(), 0));
    EXPECT_EQ(namesIn(dir.path()).size(), 8u);
}

TEST_F(LogTest, OpenRefusesEmptyFolderAndDoesNotRotateTwice) {
    EXPECT_FALSE(logOpen("", 5));
    EXPECT_FALSE(logOpen(nullptr, 5));
    EXPECT_EQ(logFilePath(), "");

    std::string logs = dir / "a/b/logs";
    ASSERT_TRUE(logOpen(logs.c_str(), 5));
    logInfo("first");
    ASSERT_TRUE(logOpen(logs.c_str(), 5));
    EXPECT_EQ(namesIn(logs), std::vector<std::string>{"latest.log"});
    EXPECT_NE(readText(logs + "/latest.log").find("first"), std::string::npos);

    logClose();
    EXPECT_EQ(logFilePath(), "");
    logInfo("console only");
    EXPECT_EQ(readText(logs + "/latest.log").find("console only"), std::string::npos);
}

TEST_F(LogTest, UnopenableFileLeavesConsoleLoggingOnly) {
    writeText(dir / "plain", "a file where the log folder should be");
    EXPECT_FALSE(logOpen((dir / "plain/logs").c_str(), 5));
    EXPECT_EQ(logFilePath(), "");
    CapturedStream out(stdout, dir / "out");
    logInfo("still here");
    EXPECT_NE(out.text().find("still here"), std::string::npos);
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole) {
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    CapturedStream out(stdout, dir / "out");
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) logInfo("thread %d line %d %s", t, i, "payload-payload");
        });
    for (std::thread& thread : threads) thread.join();
    std::vector<std::string> consoleLines = lines(out.text());
    std::vector<std::string> fileLines = lines(readText(dir / "latest.log"));
    ASSERT_EQ(fileLines.size(), std::size_t(kThreads * kLines));
    ASSERT_EQ(consoleLines.size(), fileLines.size());
    std::regex whole(R"(.* info  thread \d line \d+ payload-payload)");
    for (std::size_t i = 0; i < fileLines.size(); ++i) {
        ASSERT_TRUE(std::regex_match(fileLines[i], whole)) << fileLines[i];
        // Console and file show the lines in the same order.
        std::string tail = fileLines[i].substr(fileLines[i].find("thread"));
        ASSERT_NE(consoleLines[i].find(tail), std::string::npos) << i;
    }
}

}  // namespace
}  // namespace kd
