#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

// Runs argv with the system's GLFW and libsodium replaced by empty files; exits 9 when they
// cannot be hidden, so a test never passes on a machine where they are still visible.
std::vector<std::string> hidingLibraries(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {VEILSTONE_UNSHARE, "-rm", "sh", "-c",
                               "for f in " VEILSTONE_HIDDEN_LIBRARIES
                               "; do mount --bind /dev/null $f || exit 9; done; exec \"$@\"",
                               "sh"});
    return argv;
}

bool waitFor(const std::string& path, const std::string& text) {
    for (int waited = 0; waited < 30000; waited += 100) {
        if (readText(path).find(text) != std::string::npos) return true;
        usleep(100000);
    }
    return false;
}

TEST(Package, InstallsAndUpdatesItselfWithoutTheSystemsLibraries) {
    TempDir dir;
    ASSERT_EQ(system(("tar xzf " VEILSTONE_PACKAGE_FILE " -C " + dir.path()).c_str()), 0);
    const std::string folder = dir / "veilstone", launcher = folder + "/veilstone-launcher";
    const std::string glfw = readText(folder + "/libglfw.so.3");
    const std::vector<std::string> env = {"ASAN_OPTIONS=detect_leaks=0"};

    // Without the folder's GLFW the loader stops it: the system's copy really is out of reach.
    fs::create_directories(dir / "bare");
    fs::copy_file(launcher, dir / "bare/veilstone-launcher");
    ChildProcess bare(hidingLibraries({dir / "bare/veilstone-launcher"}), dir / "bare", env,
                      dir / "bare.out");
    EXPECT_NE(bare.wait(10000), 0);
    EXPECT_NE(readText(dir / "bare.out").find("libglfw.so.3"), std::string::npos);

    // The release carries another build of the launcher, so the first start replaces itself.
    const std::string newBuild = dir / "new-launcher";
    writeText(newBuild, readText(launcher) + "another build");
    writeGame(dir / "game", {{"veilstone", "#!/bin/sh\n"}, {"data/level.dat", noise(50000, 1)}});
    ASSERT_TRUE(publishRelease(dir / "game", dir / "server", "1.0", {"--launcher", newBuild}));
    NginxServer server(dir / "server", "");
    ASSERT_TRUE(server.start()) << server.errorLog();
    Xvfb xvfb;
    ASSERT_TRUE(xvfb.ok());

    const std::string shot = dir / "shot.png";
    ChildProcess old(
        hidingLibraries({launcher, "--server", server.url(), "--install", "--shot", "4:" + shot}),
        folder, {"DISPLAY=" + xvfb.display(), env[0]}, dir / "launcher.out");
    EXPECT_EQ(old.wait(30000), 0) << readText(dir / "launcher.out");
    // The copy restarted with --updated inherits the hidden view, installs and shows its window.
    const std::string log = folder + "/logs/latest.log";
    EXPECT_TRUE(waitFor(log, "launcher: installed 1.0")) << readText(log);
    EXPECT_TRUE(waitFor(log, "launcher: saved " + shot)) << readText(log);
    EXPECT_NE(readText(log).find("trusts the public demo key"), std::string::npos);
    EXPECT_EQ(readText(launcher), readText(newBuild));
    EXPECT_EQ(readText(folder + "/libglfw.so.3"), glfw);
    EXPECT_TRUE(fs::exists(folder + "/game/data/level.dat"));
}

}  // namespace
}  // namespace kd::test
