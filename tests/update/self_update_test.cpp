// The launcher replacing its own executable, end to end: a copy of the headless driver sits in a
// launcher folder of its own and plays the launcher, a real nginx serves releases that name another
// build of it, and the test adopts (as subreaper) whatever copy the launcher restarts, so it can
// wait for it and be sure nothing is left running.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "release/crypto.h"
#include "tests/update/update_fixture.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

constexpr int kDriverTimeoutMs = 120000;
constexpr int kRestartedTimeoutMs = 60000;
constexpr int kPollMs = 10;
constexpr const char* kLauncherName = "veilstone-launcher";
constexpr const char* kUpdating = "status 4 0.0000 Updating the launcher";
constexpr const char* kRestarting = "status 7 -1.0000 Restarting the launcher";

// How the launcher copy is run. An unprivileged user of its own is what makes permissions bite, as
// the tests run as root; a limit of two tasks for that user leaves room for the driver and its
// worker thread, so the restart's fork is the one refused.
struct RunAs {
    bool unprivileged = false;
    bool noNewProcesses = false;
};

struct LauncherRun {
    std::vector<std::string> args;  // as given to the launcher copy
    int status = -1;                // its exit status; -1 when it had to be killed
    std::string output;
    int restarted = 0;           // processes it left running, adopted by this test
    bool restartedEnded = true;  // every one of them ended by itself
    std::vector<std::string> restartedOutputs;
};

// "start PID [FOLDER] [ARG]..." without the process id.
std::string withoutPid(const std::string& line) {
    const std::size_t folder = line.find(" [");
    return folder == std::string::npos ? line : "start" + line.substr(folder);
}

// Children of this process other than nginx: copies of the launcher restarted by one that ran.
std::vector<pid_t> adoptedChildren() {
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator("/proc", ec)) {
        const std::string name = item.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // "PID (COMMAND) STATE PARENT ..."; the command may hold spaces and parentheses.
        const std::string stat = readText(item.path().string() + "/stat");
        const std::size_t open = stat.find('('), close = stat.rfind(')');
        char state = 0;
        int parent = 0;
        if (open == std::string::npos || close == std::string::npos ||
            sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2 || parent != getpid())
            continue;
        if (stat.substr(open + 1, close - open - 1) != "nginx") children.push_back(std::stoi(name));
    }
    return children;
}

// Waits for pid (a child) until the deadline; kills it when it is still there then.
bool waitOrKill(pid_t pid, std::chrono::steady_clock::time_point deadline, int* exitStatus) {
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            if (exitStatus) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

class SelfUpdateTest : public UpdateFixture {
protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        // A launcher restarted by the copy under test becomes this process's child once the copy's
        // intermediate child is gone, instead of init's.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        // An unprivileged launcher must reach its folder.
        fs::permissions(dir.path(), fs::perms(0755));
        exe = launcher + "/" + kLauncherName;
        ASSERT_TRUE(fs::copy_file(VEILSTONE_UPDATER_DRIVER, exe));
        previousHash = hashFile(exe);
        // Another build: the same program with a marker appended, which the loader ignores.
        newBuild = dir / "new-launcher";
        writeText(newBuild, readText(exe) + "\nanother build\n");
        fs::permissions(newBuild, fs::perms(0755));
        newHash = hashFile(newBuild);
        ASSERT_FALSE(previousHash.empty());
        ASSERT_NE(previousHash, newHash);
        testUid = static_cast<uid_t>(kFirstTestUid + getpid());
    }
    void TearDown() override {
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        UpdateFixture::TearDown();
    }

    // A release with one game file whose launcher entry is `launcherFile` (none when empty).
    void publishRelease(const std::string& version, const std::string& launcherFile) {
        std::vector<std::string> extra;
        if (!launcherFile.empty()) extra = {"--launcher", launcherFile};
        publish({{"veilstone", "#!/bin/sh\n"}}, version, extra);
    }

    std::vector<std::string> launcherArgs(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> args = {launcher, nginx->url(),
                                         hexEncode(demoPublicKey().data(), demoPublicKey().size()),
                                         "check"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // Runs the launcher copy with these arguments from the test's folder and waits for it and
    // for any copy it restarted. Each process writes its output to a file of its own in a folder
    // for this run.
    LauncherRun runLauncher(const std::vector<std::string>& args, const RunAs& as = {}) {
        LauncherRun run;
        const std::string outputs = dir / ("run" + std::to_string(runs_++));
        fs::create_directories(outputs);
        fs::permissions(outputs, fs::perms(0777));
        run.args = args;
        run.args.insert(run.args.end(), {"--output-folder", outputs});
        // What a process prints before it has opened its own file (a failed start, say).
        const std::string outputPath = outputs + ".console";
        std::vector<std::string> argv = {exe};
        argv.insert(argv.end(), run.args.begin(), run.args.end());
        std::vector<char*> pointers;
        for (std::string& arg : argv) pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        const uid_t uid = testUid;
        const rlimit twoTasks = {2, 2};
        const std::string folder = dir.path();

        // The child of a test only calls what is safe after fork: everything is built above.
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 || chdir(folder.c_str()) != 0)
                _exit(126);
            if (as.noNewProcesses && setrlimit(RLIMIT_NPROC, &twoTasks) != 0) _exit(126);
            if (as.unprivileged &&
                (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
                _exit(126);
            execv(pointers[0], pointers.data());
            _exit(127);
        }
        if (pid < 0) return run;
        const auto now = std::chrono::steady_clock::now();
        if (!waitOrKill(pid, now + std::chrono::milliseconds(kDriverTimeoutMs), &run.status))
            run.status = -1;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kRestartedTimeoutMs);
        for (pid_t child : adoptedChildren()) {
            ++run.restarted;
            run.restartedEnded = waitOrKill(child, deadline, nullptr) && run.restartedEnded;
        }
        const std::string own = std::to_string(pid) + ".out";
        for (const auto& item : fs::directory_iterator(outputs))
            if (item.path().filename() != own)
                run.restartedOutputs.push_back(readText(item.path()));
        run.output = readText(outputs + "/" + own) + readText(outputPath);
        return run;
    }

    // What stands at path: "" when nothing, "folder", or the content hash of a file.
    static std::string content(const std::string& path) {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (!fs::exists(status)) return "";
        if (fs::is_directory(status)) return "folder";
        return hashFile(path);
    }

    void giveLauncherFolderTo(uid_t uid) const {
        ASSERT_EQ(chown(launcher.c_str(), uid, uid), 0);
        ASSERT_EQ(chown(exe.c_str(), uid, uid), 0);
    }

    std::size_t launcherDownloads() const { return nginx->countRequests("/objects/" + newHash); }

    static constexpr uid_t kFirstTestUid = 200000;  // plus the test's pid: no other process uses it
    std::string exe;                                // the launcher copy, "E"
    std::string previousHash, newBuild, newHash;
    uid_t testUid = 0;

private:
    int runs_ = 0;
};

TEST_F(SelfUpdateTest, SwapsInTheNewBuildAndRestartsItWithItsArgumentsPlusUpdated) {
    publishRelease("2", newBuild);
    serve();
    writeText(exe + ".old", "left over from an earlier update");

    const LauncherRun run = runLauncher(launcherArgs({"--channel", "live"}));
    ASSERT_EQ(run.status, 0) << run.output;

    EXPECT_EQ(content(exe), newHash);
    EXPECT_EQ(content(exe + ".old"), previousHash);
    EXPECT_EQ(content(exe + ".new"), "");
    EXPECT_EQ(content(exe + ".new.part"), "");
    EXPECT_EQ(fs::status(exe).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);

    // The job ended at the restart: no plan phase after it.
    const std::vector<std::string> statuses = {"status 0 -1.0000 Looking for updates", kUpdating,
                                               kRestarting};
    EXPECT_EQ(linesStartingWith(run.output, "status "), statuses) << run.output;
    EXPECT_EQ(
        linesStartingWith(run.output, "final "),
        std::vector<std::string>{"final state=7 progress=-1.0000 channel=0 key=0 installed= "
                                 "latest=2 download=0 game=0 message=Restarting the launcher"})
        << run.output;
    EXPECT_NE(run.output.find("launcher: replaced itself with " + newHash + "; restarting"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(launcherDownloads(), 1u);

    // The new build ran once, in the launcher folder, with the same arguments plus "--updated",
    // did its own check without trying to update itself again, and ended.
    EXPECT_EQ(run.restarted, 1);
    EXPECT_TRUE(run.restartedEnded);
    ASSERT_EQ(run.restartedOutputs.size(), 1u);
    const std::string& restarted = run.restartedOutputs[0];
    std::string expected = "start [" + fs::canonical(launcher).string() + "]";
    for (const std::string& arg : run.args) expected += " [" + arg + "]";
    const std::vector<std::string> starts = linesStartingWith(restarted, "start ");
    ASSERT_EQ(starts.size(), 1u) << restarted;
    EXPECT_EQ(withoutPid(starts[0]), expected + " [--updated]");
    EXPECT_EQ(restarted.find("Updating the launcher"), std::string::npos) << restarted;
    EXPECT_EQ(linesStartingWith(restarted, "final state=2 ").size(), 1u) << restarted;
}

// Each row is a launcher that must not touch its own file: it downloads nothing for it and its
// check ends as if self-update did not exist.
TEST_F(SelfUpdateTest, StaysAsItIsWhenNothingCallsForAnUpdate) {
    serve();
    struct Row {
        const char* what;
        std::function<void()> setUp;
        std::vector<std::string> extra = {};
        RunAs as = {};
    };
    const Row rows[] = {
        {.what = "the release names this very build", .setUp = [&] { publishRelease("3", exe); }},
        {.what = "the release names no launcher", .setUp = [&] { publishRelease("4", ""); }},
        {.what = "started with --no-self-update",
         .setUp = [&] { publishRelease("5", newBuild); },
         .extra = {"--no-self-update"}},
        {.what = "started with --updated",
         .setUp = [&] { publishRelease("6", newBuild); },
         .extra = {"--updated"}},
        // Executable but not readable by the user running it: it cannot be compared.
        {.what = "its own file cannot be read",
         .setUp =
             [&] {
                 publishRelease("7", newBuild);
                 fs::permissions(exe, fs::perms(0111));
             },
         .as = {.unprivileged = true}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.as.unprivileged && geteuid() != 0) {
            printf("skipped \"%s\": needs root to run as another user\n", row.what);
            continue;
        }
        row.setUp();
        const std::size_t requestsBefore = nginx->accessLog().size();
        const LauncherRun run = runLauncher(launcherArgs(row.extra), row.as);
        fs::permissions(exe, fs::perms(0755));
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(linesStartingWith(run.output, "final state=2 ").size(), 1u) << run.output;
        EXPECT_EQ(run.output.find("Updating the launcher"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("self-update failed"), std::string::npos) << run.output;
        const std::vector<std::string> requests = nginx->accessLog();
        for (std::size_t i = requestsBefore; i < requests.size(); ++i)
            EXPECT_EQ(requests[i].find("/objects/"), std::string::npos) << requests[i];
        EXPECT_EQ(run.restarted, 0);
        EXPECT_EQ(content(exe), previousHash);
        EXPECT_EQ(content(exe + ".new"), "");
        EXPECT_EQ(content(exe + ".old"), "");
    }
}

// Each row makes one step of the self-update fail the way a real machine can (or, for the two
// that only a racing program can cause, through the engine's test faults). The launcher keeps
// running, logs why and finishes its check; its folder holds what the row says.
TEST_F(SelfUpdateTest, FailedSelfUpdateLeavesTheFilesInAKnownStateAndTheCheckGoesOn) {
    publishRelease("8", newBuild);
    serve();
    const std::string object = server + "/objects/" + newHash;
    const std::string previous = previousHash;
    const std::string fresh = newHash;
    const auto nothing = [] {};
    struct Row {
        const char* what;
        std::function<void()> setUp;
        std::vector<std::string> extra = {};
        RunAs as = {};
        std::string error;
        std::string exeAfter, oldAfter = "", newAfter = "";  // what content() finds afterwards
        bool asksForTheObject = true;
    };
    const Row rows[] = {
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
         .setUp = [&] { giveLauncherFolderTo(testUid); },
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
        row.setUp();
        const std::size_t downloadsBefore = launcherDownloads();

        const LauncherRun run = runLauncher(launcherArgs(row.extra), row.as);
        if (fs::exists(object + ".away")) fs::rename(object + ".away", object);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find("launcher: self-update failed: " + row.error), std::string::npos)
            << run.output;
        EXPECT_EQ(linesStartingWith(run.output, "final state=2 ").size(), 1u) << run.output;
        EXPECT_EQ(run.output.find("Restarting the launcher"), std::string::npos);
        EXPECT_EQ(run.restarted, 0);
        EXPECT_EQ(launcherDownloads() > downloadsBefore, row.asksForTheObject);
        EXPECT_EQ(content(exe), row.exeAfter);
        EXPECT_EQ(content(exe + ".old"), row.oldAfter);
        EXPECT_EQ(content(exe + ".new"), row.newAfter);
        EXPECT_EQ(content(exe + ".new.part"), "");
    }
}

}  // namespace
}  // namespace kd::test
