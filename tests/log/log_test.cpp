#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
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

// Sends one of the process's console streams into a file, or into a terminal when path is empty,
// while it lives.
class CapturedStream {
public:
    CapturedStream(FILE* stream, const std::string& path) : stream_(stream), path_(path) {
        fflush(stream_);
        saved_ = dup(fileno(stream_));
        int target = -1;
        if (path.empty()) {
            master_ = posix_openpt(O_RDWR | O_NOCTTY);
            grantpt(master_);
            unlockpt(master_);
            target = open(ptsname(master_), O_RDWR | O_NOCTTY);
            termios raw{};
            tcgetattr(target, &raw);
            cfmakeraw(&raw);  // no "\r" added before each "\n"
            tcsetattr(target, TCSANOW, &raw);
        } else {
            target = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        dup2(target, fileno(stream_));
        close(target);
    }
    ~CapturedStream() {
        restore();
        if (master_ >= 0) close(master_);
    }
    std::string text() {
        restore();
        if (master_ < 0) return readText(path_);
        std::string all;
        char buffer[4096];
        fcntl(master_, F_SETFL, O_NONBLOCK);
        for (ssize_t got; (got = read(master_, buffer, sizeof buffer)) > 0;) all.append(buffer, got);
        return all;
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
    std::string path_;
    int saved_ = -1;
    int master_ = -1;
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

const std::regex kStampedName(R"(\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log)");

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { logClose(); }
    void TearDown() override {
        logClose();
        logSetConsoleDebug(false);
    }
    TempDir dir;
};

// Each level on its stream with its tag, the seconds seven wide; colour codes only on a terminal,
// and never in the file.
TEST_F(LogTest, ConsoleLinesAreColouredOnlyOnATerminal) {
    for (bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "file");
        logSetConsoleDebug(true);
        ASSERT_TRUE(logOpen((dir / (terminal ? "t" : "f")).c_str(), 5));
        CapturedStream out(stdout, terminal ? "" : dir / "out");
        CapturedStream err(stderr, terminal ? "" : dir / "err");
        logInfo("hello %d", 5);
        logWarn("careful");
        logDebug("detail");
        logError("broken %s", "pipe");
        const std::vector<std::string> outLines = lines(out.text()), errLines = lines(err.text());
        const std::string file = readText(logFilePath());
        logClose();

        auto shape = [&](const char* colour, const char* tag, const char* message) {
            return std::regex(terminal ? std::string(R"(\x1b\[90m\[ *\d+\.\d{3}\]\x1b\[0m \x1b\[)") +
                                             colour + "m" + tag + R"(\x1b\[0m )" + message
                                       : std::string(R"(\[  \d\.\d{3}\] )") + tag + " " + message);
        };
        ASSERT_EQ(outLines.size(), 3u);
        EXPECT_TRUE(std::regex_match(outLines[0], shape("36", "info ", "hello 5"))) << outLines[0];
        EXPECT_TRUE(std::regex_match(outLines[1], shape("33", "warn ", "careful"))) << outLines[1];
        EXPECT_TRUE(std::regex_match(outLines[2], shape("90", "dbg  ", "detail"))) << outLines[2];
        ASSERT_EQ(errLines.size(), 1u);
        EXPECT_TRUE(std::regex_match(errLines[0], shape("31", "error", "broken pipe"))) << errLines[0];
        EXPECT_EQ(file.find('\x1b'), std::string::npos) << file;
    }
}

TEST_F(LogTest, DebugLinesReachOnlyTheFileUnlessSwitchedOn) {
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    CapturedStream out(stdout, dir / "out");
    logDebug("quiet %d", 1);
    EXPECT_EQ(out.text(), "");
    std::vector<std::string> fileLines = lines(readText(dir / "latest.log"));
    ASSERT_EQ(fileLines.size(), 1u);
    // Eight columns for the seconds in the file.
    EXPECT_TRUE(std::regex_match(fileLines[0],
                                 std::regex(R"(\[\d\d:\d\d:\d\d\.\d{3}\] \[   \d\.\d{3}\] dbg   quiet 1)")))
        << fileLines[0];
}

TEST_F(LogTest, LongMessagesAreCutTo4095BytesInBothOutputs) {
    ASSERT_TRUE(logOpen(dir.path().c_str(), 5));
    CapturedStream out(stdout, dir / "out");
    logInfo("%s", std::string(5000, 'x').c_str());
    for (const std::string& text : {out.text(), readText(dir / "latest.log")}) {
        EXPECT_NE(text.find(" " + std::string(4095, 'x') + "\n"), std::string::npos);
        EXPECT_EQ(text.find(std::string(4096, 'x')), std::string::npos);
    }
}

// The last run's log moves aside under the current time; the five newest of the .log files by
// name stay, whatever else is in the folder; keep 0 prunes nothing.
TEST_F(LogTest, OpeningRotatesTheLastLogAndPrunesTheOldestNames) {
    for (int keep : {5, 0}) {
        TempDir logs;
        for (int day = 1; day <= 7; ++day)
            writeText(logs / ("2020-01-0" + std::to_string(day) + "_10-00-00.log"), "old\n");
        writeText(logs / "latest.log", "last\n");
        writeText(logs / "notes.txt", "keep me\n");
        writeText(logs / "0-other.log", "counted and sorted by name like the others\n");
        writeText(logs / "zzz.log", "sorts last, so it is kept\n");
        ASSERT_TRUE(logOpen(logs.path().c_str(), keep));
        EXPECT_EQ(logFilePath(), logs / "latest.log");
        logClose();
        EXPECT_EQ(readText(logs / "latest.log"), "");
        std::vector<std::string> names = namesIn(logs.path());
        if (keep == 0) {
            EXPECT_EQ(names.size(), 12u);
            continue;
        }
        ASSERT_EQ(names.size(), 7u);
        EXPECT_EQ(names[0], "2020-01-05_10-00-00.log");
        EXPECT_EQ(names[2], "2020-01-07_10-00-00.log");
        ASSERT_TRUE(std::regex_match(names[3], kStampedName)) << names[3];
        EXPECT_EQ(readText(logs / names[3]), "last\n");
        time_t now = time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        EXPECT_EQ(std::stoi(names[3].substr(0, 4)), local.tm_year + 1900);
        EXPECT_EQ(std::vector<std::string>(names.begin() + 4, names.end()),
                  (std::vector<std::string>{"latest.log", "notes.txt", "zzz.log"}));
    }
}

TEST_F(LogTest, OpenRefusesNoFolderAndDoesNotRotateTwiceAndCloseLeavesTheConsole) {
    EXPECT_FALSE(logOpen("", 5));
    EXPECT_FALSE(logOpen(nullptr, 5));
    writeText(dir / "plain", "a file where the log folder should be");
    EXPECT_FALSE(logOpen((dir / "plain/logs").c_str(), 5));
    EXPECT_EQ(logFilePath(), "");

    std::string logs = dir / "a/b/logs";
    ASSERT_TRUE(logOpen(logs.c_str(), 5));
    logInfo("first");
    ASSERT_TRUE(logOpen(logs.c_str(), 5));
    EXPECT_EQ(namesIn(logs), std::vector<std::string>{"latest.log"});

    logClose();
    EXPECT_EQ(logFilePath(), "");
    CapturedStream out(stdout, dir / "out");
    logInfo("console only");
    EXPECT_NE(out.text().find("console only"), std::string::npos);
    EXPECT_EQ(readText(logs + "/latest.log").find("console only"), std::string::npos);
}

TEST_F(LogTest, LinesFromManyThreadsStayWholeAndInTheSameOrder) {
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
        std::string tail = fileLines[i].substr(fileLines[i].find("thread"));
        ASSERT_NE(consoleLines[i].find(tail), std::string::npos) << i;
    }
}

}  // namespace
}  // namespace kd
