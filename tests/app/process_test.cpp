#include "app/process.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/process_internal.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;

// A program that records its folder, parent, arguments and one variable, after a delay.
std::string makeRecorder(const TempDir& dir, const std::string& name, double delaySeconds = 0) {
    std::string path = dir / name, out = dir / "record";
    test::writeText(path, "#!/bin/sh\nsleep " + std::to_string(delaySeconds) +
                              "\n{ pwd; echo \"$PPID\"; echo \"$#\"; for a in \"$@\"; do echo "
                              "\"[$a]\"; done; echo \"$VEILSTONE_TEST_MARK\"; } > '" +
                              out + ".part'\nmv '" + out + ".part' '" + out + "'\n");
    chmod(path.c_str(), 0755);
    return path;
}

bool waitForFile(const std::string& path) {
    for (int waited = 0; waited < 5000; waited += 10) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(StartProcess, RunsDetachedInTheFolderWithExactArgumentsAndLeavesNoZombie) {
    TempDir dir;
    std::string program = makeRecorder(dir, "game");
    fs::create_directories(dir / "work dir");
    setenv("VEILSTONE_TEST_MARK", "inherited", 1);
    std::string error;
    ASSERT_TRUE(startProcess(program, {"a b", "", "--x"}, dir / "work dir", error));
    EXPECT_EQ(error, "");
    ASSERT_TRUE(waitForFile(dir / "record"));
    std::string record = readText(dir / "record");
    std::string folder = fs::canonical(dir / "work dir").string() + "\n";
    ASSERT_EQ(record.substr(0, folder.size()), folder);
    std::size_t afterPid = record.find('\n', folder.size()) + 1;
    EXPECT_NE(std::stoi(record.substr(folder.size())), getpid()) << "not the launcher's child";
    EXPECT_EQ(record.substr(afterPid), "3\n[a b]\n[]\n[--x]\ninherited\n");
    EXPECT_LE(waitpid(-1, nullptr, WNOHANG), 0) << "a child left unreaped";

    // The program outlives the process that started it, which ends at once as after "PLAY".
    fs::remove(dir / "record");
    program = makeRecorder(dir, "slow-game", 0.3);
    pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        startProcess(program, {}, dir.path(), error);
        _exit(0);
    }
    waitpid(starter, nullptr, 0);
    EXPECT_FALSE(fs::exists(dir / "record"));
    EXPECT_TRUE(waitForFile(dir / "record"));
}

// Becoming the subreaper makes the orphaned program our child, so its exit status can be read.
int exitStatusOfDetached(const std::string& program, const std::string& folder) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string error;
    int status = 0;
    pid_t pid = startProcess(program, {}, folder, error) ? wait(&status) : -1;
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StartProcess, FailuresInTheChildStillReportSuccessAndExit127) {
    TempDir dir;
    std::string program = makeRecorder(dir, "game");
    test::writeText(dir / "not-executable", "#!/bin/sh\n");
    EXPECT_EQ(exitStatusOfDetached(dir / "missing-program", dir.path()), 127);
    EXPECT_EQ(exitStatusOfDetached(program, dir / "missing-folder"), 127);
    EXPECT_EQ(exitStatusOfDetached(dir / "not-executable", dir.path()), 127);
    EXPECT_EQ(exitStatusOfDetached("true", dir.path()), 127) << "no PATH search";
    EXPECT_EQ(exitStatusOfDetached(program, dir.path()), 0);
}

TEST(OpenFolder, RunsTheOpenerWithTheFolder) {
    TempDir dir;
    setFolderOpenerForTesting(makeRecorder(dir, "opener"));
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
