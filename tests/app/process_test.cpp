#include "app/process.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/process_internal.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;
using test::writeText;

// A program that records where and how it ran, then tells the test it is done.
std::string makeRecorder(const TempDir& dir, const std::string& name, double delaySeconds = 0) {
    std::string path = dir / name;
    writeText(path, "#!/bin/sh\n"
                    "sleep " + std::to_string(delaySeconds) + "\n"
                    "out=\"" + dir.path() + "/record\"\n"
                    "{ pwd; echo \"$PPID\"; echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done;"
                    " echo \"$VEILSTONE_TEST_MARK\"; } > \"$out.part\"\n"
                    "mv \"$out.part\" \"$out\"\n");
    chmod(path.c_str(), 0755);
    return path;
}

bool waitForFile(const std::string& path, int timeoutMs = 5000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Children of this process that have exited but were not reaped.
int zombieChildren() {
    int zombies = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string stat = readText(entry.path().string() + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid() &&
            state == 'Z')
            ++zombies;
    }
    return zombies;
}

TEST(StartProcess, RunsDetachedInTheFolderWithExactArguments) {
    TempDir dir;
    std::string program = makeRecorder(dir, "game");
    fs::create_directories(dir / "work dir");
    setenv("VEILSTONE_TEST_MARK", "inherited", 1);
    std::string error;
    ASSERT_TRUE(startProcess(program, {"a b", "", "--x"}, dir / "work dir", error));
    EXPECT_EQ(error, "");
    ASSERT_TRUE(waitForFile(dir / "record"));
    std::string expected = fs::canonical(dir / "work dir").string() + "\n";
    std::string record = readText(dir / "record");
    std::string firstLine = record.substr(0, record.find('\n') + 1);
    EXPECT_EQ(firstLine, expected);
    std::size_t afterPid = record.find('\n', firstLine.size()) + 1;
    int parent = std::stoi(record.substr(firstLine.size()));
    EXPECT_NE(parent, getpid()) << "the program must not be the launcher's child";
    EXPECT_EQ(record.substr(afterPid), "3\n[a b]\n[]\n[--x]\ninherited\n");
    EXPECT_EQ(zombieChildren(), 0);
}

TEST(StartProcess, ProgramOutlivesTheProcessThatStartedIt) {
    TempDir dir;
    std::string program = makeRecorder(dir, "game", 0.3);
    pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        std::string error;
        startProcess(program, {}, dir.path(), error);
        _exit(0);  // ends at once, as the launcher does after "PLAY"
    }
    int status = 0;
    waitpid(starter, &status, 0);
    EXPECT_FALSE(fs::exists(dir / "record"));
    EXPECT_TRUE(waitForFile(dir / "record"));
}

// Becoming the subreaper makes the orphaned program our child, so its exit status can be read.
int exitStatusOfDetached(const std::string& program, const std::string& folder) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string error;
    if (!startProcess(program, {}, folder, error)) return -1;
    int status = 0;
    pid_t pid = wait(&status);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StartProcess, FailuresInTheChildStillReportSuccessAndExit127) {
    TempDir dir;
    std::string program = makeRecorder(dir, "game");
    EXPECT_EQ(exitStatusOfDetached(dir / "missing-program", dir.path()), 127);
    EXPECT_EQ(exitStatusOfDetached(program, dir / "missing-folder"), 127);
    writeText(dir / "not-executable", "#!/bin/sh\n");
    EXPECT_EQ(exitStatusOfDetached(dir / "not-executable", dir.path()), 127);
    // No PATH search: a bare name is not looked up.
    EXPECT_EQ(exitStatusOfDetached("true", dir.path()), 127);
    EXPECT_EQ(exitStatusOfDetached(program, dir.path()), 0);
}

TEST(OpenFolder, RunsTheOpenerWithTheFolder) {
    TempDir dir;
    std::string opener = makeRecorder(dir, "opener");
    setFolderOpenerForTesting(opener);
    fs::create_directories(dir / "game");
    openFolder(dir / "game");
    ASSERT_TRUE(waitForFile(dir / "record"));
    std::string record = readText(dir / "record");
    std::string folder = fs::canonical(dir / "game").string();
    EXPECT_EQ(record.substr(0, folder.size() + 1), folder + "\n");
    EXPECT_NE(record.find("1\n[" + dir / "game" + "]\n"), std::string::npos) << record;
}

}  // namespace
}  // namespace kd
