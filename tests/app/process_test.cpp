// Starting programs where the end-to-end runs do not reach: the game's folder opener, and a child
// that cannot run its program. Starting the game and the restart are checked in the launcher runs.
#include "app/process.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "app/process_internal.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

namespace fs = std::filesystem;

// A program that records its folder and arguments into dir/record.
std::string makeRecorder(const test::TempDir& dir) {
    std::string path = dir / "recorder", out = dir / "record";
    test::writeText(path, "#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"[$a]\"; done; } > '" + out +
                              ".part'\nmv '" + out + ".part' '" + out + "'\n");
    chmod(path.c_str(), 0755);
    return path;
}

// The exit status of the program started, made our child by becoming the subreaper.
int exitStatusOfDetached(const std::string& program, const std::string& folder) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string error;
    int status = 0;
    pid_t pid = startProcess(program, {}, folder, error) ? wait(&status) : -1;
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    EXPECT_LE(waitpid(-1, nullptr, WNOHANG), 0) << "a child left unreaped";
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StartProcess, FailuresInTheChildStillReportSuccessAndExit127WithoutAPathSearch) {
    test::TempDir dir;
    std::string program = makeRecorder(dir);
    test::writeText(dir / "not-executable", "#!/bin/sh\n");
    EXPECT_EQ(exitStatusOfDetached(dir / "missing-program", dir.path()), 127);
    EXPECT_EQ(exitStatusOfDetached(program, dir / "missing-folder"), 127);
    EXPECT_EQ(exitStatusOfDetached(dir / "not-executable", dir.path()), 127);
    EXPECT_EQ(exitStatusOfDetached("true", dir.path()), 127) << "no PATH search";
    EXPECT_EQ(exitStatusOfDetached(program, dir.path()), 0);
}

TEST(OpenFolder, RunsTheOpenerInTheFolderWithIt) {
    test::TempDir dir;
    setFolderOpenerForTesting(makeRecorder(dir));
    fs::create_directories(dir / "game");
    openFolder(dir / "game");
    for (int waited = 0; waited < 5000 && !fs::exists(dir / "record"); waited += 10) usleep(10000);
    EXPECT_EQ(test::readText(dir / "record"),
              fs::canonical(dir / "game").string() + "\n[" + dir / "game" + "]\n");
}

}  // namespace
}  // namespace kd
