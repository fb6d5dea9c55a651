// Starting programs where the launcher's runs do not reach: a child that cannot run its program,
// and the folder opener. Starting the game and the restart are checked in those runs.
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

TEST(StartProcess, RunsDetachedAndReapedAndOpensFoldersWithTheOpener) {
    test::TempDir dir;
    // Records its folder and arguments into dir/record.
    std::string recorder = dir / "recorder", record = dir / "record";
    test::writeText(recorder, "#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"[$a]\"; done; } > '" +
                                  record + ".part'\nmv '" + record + ".part' '" + record + "'\n");
    chmod(recorder.c_str(), 0755);
    test::writeText(dir / "not-executable", "#!/bin/sh\n");
    // A game that lost its executable bit fails in the child, after the launcher was told it
    // started; the child is reaped either way.
    const std::pair<std::string, int> cases[] = {{dir / "not-executable", 127}, {recorder, 0}};
    for (const auto& [program, exitStatus] : cases) {
        // The program started is made our child by becoming the subreaper.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::string error;
        int status = 0;
        EXPECT_TRUE(startProcess(program, {}, dir.path(), error)) << program;
        EXPECT_GT(wait(&status), 0);
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        EXPECT_LE(waitpid(-1, nullptr, WNOHANG), 0) << "a child left unreaped";
        EXPECT_EQ(WEXITSTATUS(status), exitStatus) << program;
    }

    setFolderOpenerForTesting(recorder);
    fs::remove(record);
    fs::create_directories(dir / "game");
    std::string error;
    EXPECT_TRUE(openFolder(dir / "game", error));
    for (int waited = 0; waited < 5000 && !fs::exists(record); waited += 10) usleep(10000);
    EXPECT_EQ(test::readText(record),
              fs::canonical(dir / "game").string() + "\n[" + dir / "game" + "]\n");
}

}  // namespace
}  // namespace kd
