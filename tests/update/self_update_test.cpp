// The launcher replacing its own executable, end to end: a copy of the headless driver plays the
// launcher in a folder of its own, nginx serves releases that name another build of it, and the
// test adopts (as subreaper) whatever copy the launcher restarts, to wait for it. What the player
// sees of a restart (its arguments, the old copy removed) is in tests/app.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <filesystem>
#include <functional>

#include "release/crypto.h"
#include "tests/support/child_process.h"
#include "tests/update/update_fixture.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

using SelfUpdateTest = UpdateFixture;

// Each row is a launcher whose release names a new build of it (unless the row changes that):
// it swaps the build in and restarts it, leaves its own file alone, or fails at one step of the
// swap the way a real machine can (or, for the two that only a racing program can cause, through
// the engine's test faults). Either way the check is finished, by it or by the restarted copy,
// and its folder holds what the row says.
TEST_F(SelfUpdateTest, SwapsOrLeavesItselfAloneOrFailsLeavingKnownFilesAndTheCheckGoesOn) {
    // A copy restarted by the launcher becomes this process's child instead of init's.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    fs::permissions(dir.path(), fs::perms(0755));  // an unprivileged launcher must reach it
    const std::string exe = launcher + "/veilstone-launcher", newBuild = dir / "new-launcher";
    // Another build: the same program with a marker appended, which the loader ignores.
    writeText(newBuild, readText(VEILSTONE_UPDATER_DRIVER) + "\nanother build\n");
    fs::permissions(newBuild, fs::perms(0755));
    const std::string previousHash = hashFile(VEILSTONE_UPDATER_DRIVER);
    // The driver takes its server from the command line: no server URL in it for the release
    // tool to compare, so the publishes say that is fine.
    const std::vector<std::string> as = {"--launcher-server-ok", "--launcher"};
    const std::string newHash = hashFile(newBuild);
    ASSERT_NE(previousHash, newHash);
    TestCa ca(dir / "ca");
    ASSERT_TRUE(ca.ok());
    nginx = std::make_unique<NginxServer>(server, "");
    nginx->serveTls(ca.issue("server"));
    ASSERT_TRUE(nginx->start()) << nginx->errorLog();
    // What stands at path: nothing (""), a "folder", the "previous" or the "new" build, or "other".
    const auto state = [&](const std::string& path) -> std::string {
        const fs::file_status status = fs::symlink_status(path);
        if (!fs::exists(status)) return "";
        if (fs::is_directory(status)) return "folder";
        const std::string hash = hashFile(path);
        return hash == previousHash ? "previous" : hash == newHash ? "new" : "other";
    };
    const uid_t testUid = 200000 + getpid();  // a user no other process runs as
    const std::string object = server + "/objects/" + newHash;
    const Files files = {{"veilstone", "#!/bin/sh\n"}};
    struct Row {
        const char* what;
        std::function<void()> setUp = [] {};
        std::vector<std::string> extra = {};
        // A user of its own makes permissions bite, as the tests run as root. Two tasks for that
        // user leave room for the driver and its worker thread: the restart's fork is refused;
        // with three, the fork after it.
        bool unprivileged = false;
        int tasks = 0;
        std::string error = "";  // after "self-update failed: "; empty when none is logged
        std::string exe = "previous", old = "", fresh = "";  // what state() finds at exe[.old|.new]
        std::size_t fetches = 1;                             // requests for objects
        bool restarts = false;
        std::string final = "state=2 ";  // how the check ends
        int status = 0;                  // the driver's exit status
        bool https = false;
    };
    // clang-format off
    const Row rows[] = {
        {.what = "swapped in over what an update killed part way left", .setUp = [&] {
             for (const char* left : {".old", ".new", ".new.part"}) writeText(exe + left, "left");
         }, .exe = "new", .old = "previous", .restarts = true},
        {.what = "swapped in from an https server", .exe = "new", .old = "previous",
         .restarts = true, .https = true},
        {.what = "the release names this very build",
         .setUp = [&] { publish(files, "own", {as[0], as[1], exe}); }, .fetches = 0},
        {.what = "the release names no launcher",
         .setUp = [&] { publish(files, "none"); }, .fetches = 0},
        // Executable but not readable by the user running it: it cannot be compared.
        {.what = "its own file cannot be read", .setUp = [&] {
             fs::permissions(exe, fs::perms(0111));
             fs::permissions(launcher, fs::perms(0777));
         }, .unprivileged = true, .fetches = 0},
        {.what = "own path gone after the check hashed it", .extra = {"--fault", "own-path"},
         .error = "cannot find the launcher's own file", .fetches = 0},
        {.what = "object missing on the server",
         .setUp = [&] { fs::rename(object, object + ".away"); },
         .error = "not on the update server: /objects/" + newHash, .fetches = 3},  // tried 3 times
        // A release whose serial cannot be kept could be replayed later: it is not taken, not even
        // to replace the launcher.
        {.what = "launcher folder read-only for the user", .unprivileged = true, .fetches = 0,
         .final = "state=6 message=not allowed to write to " + launcher + "/.serials", .status = 1},
        {.what = "a folder with files where the new launcher goes",
         .setUp = [&] { writeText(exe + ".new/keep", "x"); },
         .error = "cannot write beside the launcher", .fresh = "folder"},
        {.what = "a folder with files where the old launcher goes",
         .setUp = [&] { writeText(exe + ".old/keep", "x"); },
         .error = "cannot move the old launcher aside", .old = "folder"},
        // A shared folder with the sticky bit: only a file's owner may rename it.
        {.what = "launcher owned by someone else in a sticky folder",
         .setUp = [&] { fs::permissions(launcher, fs::perms(01777)); },
         .unprivileged = true, .error = "cannot move the old launcher aside"},
        {.what = "new launcher refuses to move into place", .extra = {"--fault", "placing"},
         .error = "cannot put the new launcher in place", .fresh = "new"},
        // The swap is done; the old code keeps running and the next start uses the new file.
        {.what = "no process can be started",
         .setUp = [&] { fs::permissions(launcher, fs::perms(0777)); }, .unprivileged = true,
         .tasks = 2, .error = "could not start the game (fork failed)", .exe = "new",
         .old = "previous"},
        {.what = "the restart's second fork is refused",
         .setUp = [&] { fs::permissions(launcher, fs::perms(0777)); }, .unprivileged = true,
         .tasks = 3, .error = "could not start the game (fork failed)", .exe = "new",
         .old = "previous"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.unprivileged && geteuid() != 0) {
            printf("skipped \"%s\": needs root to run as another user\n", row.what);
            continue;
        }
        fs::remove_all(launcher);
        fs::create_directories(launcher);
        fs::copy_file(VEILSTONE_UPDATER_DRIVER, exe);
        publish(files, std::to_string(&row - rows), {as[0], as[1], newBuild});
        row.setUp();
        const std::size_t fetchesBefore = nginx->countRequests("/objects/");

        const std::string uid = std::to_string(testUid), out = dir / row.what;
        std::vector<std::string> argv;
        if (row.unprivileged)
            argv = {"/usr/bin/setpriv", "--reuid", uid, "--regid", uid, "--clear-groups"};
        if (row.tasks)
            argv.insert(argv.end(), {"/usr/bin/prlimit", "--nproc=" + std::to_string(row.tasks)});
        const std::string url = row.https ? nginx->secureUrl() : nginx->url();
        argv.insert(argv.end(), {exe, launcher, url, demoPublicKeyHex(), "check"});
        argv.insert(argv.end(), row.extra.begin(), row.extra.end());
        ChildProcess process(argv, dir.path(), {"SSL_CERT_FILE=" + ca.rootFile()}, out);
        EXPECT_EQ(process.wait(120000), row.status) << readText(out);
        // Children other than nginx were restarted by the launcher; they print to the same file.
        std::size_t restarted = 0;
        for (const auto& item : fs::directory_iterator("/proc")) {
            const std::string stat = readText(item.path().string() + "/stat");  // PID (NAME) S PPID
            int parent = 0;
            if (sscanf(stat.substr(stat.rfind(')') + 1).c_str(), " %*c %d", &parent) == 1 &&
                parent == getpid() && stat.find("(nginx)") == std::string::npos) {
                waitpid(std::stoi(item.path().filename().string()), nullptr, 0);
                ++restarted;
            }
        }
        const std::string output = readText(out);
        if (fs::exists(object + ".away")) fs::rename(object + ".away", object);
        // The restarted copy finishes the check without updating itself again.
        EXPECT_EQ(restarted, row.restarts ? 1u : 0u) << output;
        EXPECT_EQ(linesStartingWith(output, "final " + row.final).size(), 1u) << output;
        const bool failed =
            output.find("launcher: self-update failed: " + row.error) != std::string::npos;
        EXPECT_EQ(failed, !row.error.empty()) << output;
        EXPECT_EQ(nginx->countRequests("/objects/") - fetchesBefore, row.fetches);
        EXPECT_EQ(state(exe), row.exe);
        EXPECT_EQ(state(exe + ".old"), row.old);
        EXPECT_EQ(state(exe + ".new"), row.fresh);
        EXPECT_EQ(state(exe + ".new.part"), "");
    }
}

}  // namespace
}  // namespace kd::test
