// The launcher replacing its own executable, end to end: a copy of the headless driver plays the
// launcher in a folder of its own, nginx serves releases that name another build of it, and the
// test adopts (as subreaper) whatever copy the launcher restarts, to wait for it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "release/crypto.h"
#include "tests/support/child_process.h"
#include "tests/update/update_fixture.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

// How the launcher copy is run. A user of its own is what makes permissions bite, as the tests run
// as root; two tasks for that user leave room for the driver and its worker thread, so that the
// restart's fork is the one refused.
struct RunAs {
    bool unprivileged = false;
    bool noNewProcesses = false;
};

struct LauncherRun {
    std::vector<std::string> args;  // as given to the launcher copy
    int status = -1;                // -1 when it had to be killed
    std::string output;
    std::vector<std::string> restarted;  // the output of each copy it restarted
};

// Children of this process other than nginx: copies of the launcher that one restarted.
std::vector<pid_t> adoptedChildren() {
    std::vector<pid_t> children;
    for (const auto& item : fs::directory_iterator("/proc")) {
        const std::string stat = readText(item.path().string() + "/stat");
        const std::size_t close = stat.rfind(')');
        int parent = 0;
        if (close != std::string::npos && sscanf(stat.c_str() + close + 1, " %*c %d", &parent) == 1 &&
            parent == getpid() && readText(item.path().string() + "/comm") != "nginx\n")
            children.push_back(std::stoi(item.path().filename().string()));
    }
    return children;
}

class SelfUpdateTest : public UpdateFixture {
protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        // A copy restarted by the launcher becomes this process's child instead of init's.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        fs::permissions(dir.path(), fs::perms(0755));  // an unprivileged launcher must reach it
        exe = launcher + "/veilstone-launcher";
        ASSERT_TRUE(fs::copy_file(VEILSTONE_UPDATER_DRIVER, exe));
        previousHash = hashFile(exe);
        // Another build: the same program with a marker appended, which the loader ignores.
        newBuild = dir / "new-launcher";
        writeText(newBuild, readText(exe) + "\nanother build\n");
        fs::permissions(newBuild, fs::perms(0755));
        newHash = hashFile(newBuild);
        ASSERT_NE(previousHash, newHash);
        serve();
    }
    void TearDown() override {
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        UpdateFixture::TearDown();
    }

    // A release of one game file whose launcher entry is launcherFile (none when empty).
    void publishNaming(const std::string& version, const std::string& launcherFile) {
        std::vector<std::string> extra;
        if (!launcherFile.empty()) extra = {"--launcher", launcherFile};
        publish({{"veilstone", "#!/bin/sh\n"}}, version, extra);
    }

    // Runs the launcher copy doing a check from the test's folder, and waits for it and for any
    // copy it restarted. Each process writes its output to a file of its own.
    LauncherRun runLauncher(const std::vector<std::string>& extra, const RunAs& as = {}) {
        LauncherRun run;
        const std::string outputs = dir / ("run" + std::to_string(runs_++));
        fs::create_directories(outputs);
        fs::permissions(outputs, fs::perms(0777));
        run.args = {launcher, nginx->url(), demoPublicKeyHex(), "check"};
        run.args.insert(run.args.end(), extra.begin(), extra.end());
        run.args.insert(run.args.end(), {"--output-folder", outputs});
        const std::string uid = std::to_string(testUid);
        std::vector<std::string> argv;
        if (as.unprivileged)
            argv = {"/usr/bin/setpriv", "--reuid", uid, "--regid", uid, "--clear-groups"};
        if (as.noNewProcesses) argv.insert(argv.end(), {"/usr/bin/prlimit", "--nproc=2"});
        argv.push_back(exe);
        argv.insert(argv.end(), run.args.begin(), run.args.end());
        // The console holds what a process prints before it has opened its own file.
        ChildProcess process(argv, dir.path(), {}, outputs + ".console");
        run.status = process.wait(120000);
        const std::string own = std::to_string(process.pid()) + ".out";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (pid_t child : adoptedChildren()) {
            int status = 0;
            while (waitpid(child, &status, WNOHANG) != child) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ADD_FAILURE() << "a restarted launcher did not end";
                    kill(child, SIGKILL);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        for (const auto& item : fs::directory_iterator(outputs))
            if (item.path().filename() != own) run.restarted.push_back(readText(item.path()));
        run.output = readText(outputs + "/" + own) + readText(outputs + ".console");
        return run;
    }

    // What stands at path: "" when nothing, "folder", or the content hash of a file.
    static std::string content(const std::string& path) {
        const fs::file_status status = fs::symlink_status(path);
        if (!fs::exists(status)) return "";
        return fs::is_directory(status) ? "folder" : hashFile(path);
    }

    std::size_t objectRequests() const { return nginx->countRequests("/objects/"); }

    const uid_t testUid = 200000 + getpid();  // a user no other process runs as
    std::string exe;                          // the launcher copy
    std::string previousHash, newBuild, newHash;

private:
    int runs_ = 0;
};

// Leftovers of an earlier update, perhaps one killed part way, are replaced; the previous build
// stays beside the new one as ".old".
TEST_F(SelfUpdateTest, SwapsInTheNewBuildAndRestartsItWithItsArgumentsPlusUpdated) {
    publishNaming("2", newBuild);
    for (const char* suffix : {".old", ".new", ".new.part"})
        writeText(exe + suffix, "left over from an earlier update");

    const LauncherRun run = runLauncher({"--channel", "live"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(content(exe), newHash);
    EXPECT_EQ(content(exe + ".old"), previousHash);
    EXPECT_EQ(content(exe + ".new"), "");
    EXPECT_EQ(content(exe + ".new.part"), "");
    EXPECT_EQ(fs::status(exe).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(objectRequests(), 1u);
    // The job ends at the restart: no plan phase after it.
    EXPECT_EQ(linesStartingWith(run.output, "status "),
              (std::vector<std::string>{"status 0 -1.0000 Looking for updates",
                                        "status 4 0.0000 Updating the launcher",
                                        "status 7 -1.0000 Restarting the launcher"}))
        << run.output;

    // The new build ran once, in the launcher folder, with the same arguments plus "--updated",
    // and did its own check without trying to update itself again.
    ASSERT_EQ(run.restarted.size(), 1u);
    const std::string& restarted = run.restarted[0];
    std::string expected = " [" + fs::canonical(launcher).string() + "]";
    for (const std::string& arg : run.args) expected += " [" + arg + "]";
    const std::vector<std::string> starts = linesStartingWith(restarted, "start ");
    ASSERT_EQ(starts.size(), 1u) << restarted;
    EXPECT_TRUE(starts[0].ends_with(expected + " [--updated]")) << starts[0];
    EXPECT_EQ(restarted.find("Updating the launcher"), std::string::npos) << restarted;
    EXPECT_EQ(linesStartingWith(restarted, "final state=2 ").size(), 1u) << restarted;
}

// Each row is a launcher that must leave its own file alone, or whose self-update fails at one
// step the way a real machine can (or, for the two only a racing program can cause, through the
// engine's test faults). Either way it finishes its check, and its folder holds what the row says.
TEST_F(SelfUpdateTest, SelfUpdateNotCalledForOrFailedLeavesKnownFilesAndTheCheckGoesOn) {
    const std::string object = server + "/objects/" + newHash;
    const std::string previous = previousHash, fresh = newHash;
    const auto nothing = [] {};
    struct Row {
        const char* what;
        std::function<void()> setUp;
        std::vector<std::string> extra = {};
        RunAs as = {};
        std::string error;  // after "self-update failed: "; empty: no self-update is tried
        std::string exeAfter, oldAfter = "", newAfter = "";  // what content() finds afterwards
        bool asksForTheObject = true;
    };
    const Row rows[] = {
        {.what = "the release names this very build",
         .setUp = [&] { publishNaming("own", exe); },
         .exeAfter = previous,
         .asksForTheObject = false},
        {.what = "the release names no launcher",
         .setUp = [&] { publishNaming("none", ""); },
         .exeAfter = previous,
         .asksForTheObject = false},
        {.what = "started with --no-self-update",
         .setUp = nothing,
         .extra = {"--no-self-update"},
         .exeAfter = previous,
         .asksForTheObject = false},
        {.what = "started with --updated",
         .setUp = nothing,
         .extra = {"--updated"},
         .exeAfter = previous,
         .asksForTheObject = false},
        // Executable but not readable by the user running it: it cannot be compared.
        {.what = "its own file cannot be read",
         .setUp = [&] { fs::permissions(exe, fs::perms(0111)); },
         .as = {.unprivileged = true},
         .exeAfter = previous,
         .asksForTheObject = false},
        {.what = "own path gone after the check hashed it",
         .setUp = nothing,
         .extra = {"--fault", "own-path"},
         .error = "cannot find the launcher's own file",
         .exeAfter = previous,
         .asksForTheObject = false},
        {.what = "object missing on the server",
         .setUp = [&] { fs::rename(object, object + ".away"); },
         .error = "not on the update server: /objects/" + fresh,
         .exeAfter = previous},
        {.what = "launcher folder read-only for the user",
         .setUp = nothing,
         .as = {.unprivileged = true},
         .error = "cannot write beside the launcher",
         .exeAfter = previous,
         .asksForTheObject = false},
        {.what = "a folder with files where the new launcher goes",
         .setUp = [&] { writeText(exe + ".new/keep", "x"); },
         .error = "cannot write beside the launcher",
         .exeAfter = previous,
         .newAfter = "folder"},
        {.what = "a folder with files where the old launcher goes",
         .setUp = [&] { writeText(exe + ".old/keep", "x"); },
         .error = "cannot move the old launcher aside",
         .exeAfter = previous,
         .oldAfter = "folder"},
        // A shared folder with the sticky bit: only a file's owner may rename it.
        {.what = "launcher owned by someone else in a sticky folder",
         .setUp = [&] { fs::permissions(launcher, fs::perms(01777)); },
         .as = {.unprivileged = true},
         .error = "cannot move the old launcher aside",
         .exeAfter = previous},
        {.what = "new launcher refuses to move into place",
         .setUp = nothing,
         .extra = {"--fault", "placing"},
         .error = "cannot put the new launcher in place",
         .exeAfter = previous,
         .newAfter = fresh},
        // The swap is done; the old code keeps running and the next start uses the new file.
        {.what = "no process can be started",
         .setUp =
             [&] {
                 ASSERT_EQ(chown(launcher.c_str(), testUid, testUid), 0);
                 ASSERT_EQ(chown(exe.c_str(), testUid, testUid), 0);
             },
         .as = {.unprivileged = true, .noNewProcesses = true},
         .error = "could not start the game (fork failed)",
         .exeAfter = fresh,
         .oldAfter = previous},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.as.unprivileged && geteuid() != 0) {
            printf("skipped \"%s\": needs root to run as another user\n", row.what);
            continue;
        }
        fs::remove_all(launcher);
        fs::create_directories(launcher);
        fs::copy_file(VEILSTONE_UPDATER_DRIVER, exe);
        publishNaming(std::to_string(&row - rows), newBuild);
        row.setUp();
        const std::size_t requestsBefore = objectRequests();

        const LauncherRun run = runLauncher(row.extra, row.as);
        if (fs::exists(object + ".away")) fs::rename(object + ".away", object);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(linesStartingWith(run.output, "final state=2 ").size(), 1u) << run.output;
        const std::size_t failed = run.output.find("launcher: self-update failed: " + row.error);
        EXPECT_EQ(failed != std::string::npos, !row.error.empty()) << run.output;
        if (row.error.empty())
            EXPECT_EQ(run.output.find("Updating the launcher"), std::string::npos) << run.output;
        EXPECT_TRUE(run.restarted.empty());
        EXPECT_EQ(objectRequests() > requestsBefore, row.asksForTheObject);
        EXPECT_EQ(content(exe), row.exeAfter);
        EXPECT_EQ(content(exe + ".old"), row.oldAfter);
        EXPECT_EQ(content(exe + ".new"), row.newAfter);
        EXPECT_EQ(content(exe + ".new.part"), "");
    }
}

}  // namespace
}  // namespace kd::test
