// The real launcher in a real window under Xvfb, against a real nginx: start-up, the main screen in
// each state, and the player's actions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "app/options.h"
#include "app/ui.h"
#include "release/crypto.h"
#include "release/manifest.h"
#include "update/updater.h"
#include "gfx/png.h"
#include "gfx/text.h"
#include "tests/update/fault_server.h"
#include "tests/app/launcher_harness.h"
#include "tests/app/screen_fixture.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

constexpr int kExitTimeoutMs = 30000;

float bigLabelX(std::string_view label) { return kBigX + (230 - textWidth(label, 4)) / 2; }
float bigLabelY() { return kBigY + (58 - 32) / 2.0f; }

bool bigButtonShows(const Picture& p, std::string_view label, bool enabled) {
    return showsText(p, label, bigLabelX(label), bigLabelY(), 4,
                     enabled ? pal::Text : pal::TextDisabled);
}

bool statusShows(const Picture& p, std::string_view text, Color color = pal::Text) {
    return showsText(p, text, 60, kH - 98, 2, color);
}

// Pixels of the progress bar's fill row that have the given colour.
int barPixels(const Picture& p, Color color) { return p.count(60, kH - 66, kW - 364, 1, color, 10); }

// Pixels of the bar's middle row covered by a fill (anything but the bare track).
int barFill(const Picture& p) { return kW - 364 - barPixels(p, pal::Shadow); }

bool menuLinkShows(const Picture& p, std::string_view label, int row, Color color) {
    const float ys[] = {kMenuY0, kMenuY0 + 38, kMenuY0 + 76, kMenuY0 + 132};
    return showsText(p, label, 48, ys[row] + 7, 2, color);
}


class Launcher : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(h.display().empty()) << "Xvfb did not start"; }

    // Publishes the demo game as this version and serves it.
    void serveRelease(const std::string& version) {
        h.makeGame();
        ASSERT_TRUE(h.publish(version));
        ASSERT_TRUE(h.startServer()) << h.server().errorLog();
    }

    void installWithLauncher() {
        ChildProcess& launcher = h.start({"--server", h.server().url(), "--install"});
        ASSERT_TRUE(h.waitForLog("launcher: installed")) << h.log();
        launcher.kill(15);
        launcher.wait(kExitTimeoutMs);
    }

    // The release the server offers, as the launcher reads it.
    Manifest servedManifest() {
        Manifest manifest;
        std::string body, error;
        std::uint8_t key[32];
        EXPECT_TRUE(hexDecode(releaseKeyText(), key, 32));
        EXPECT_TRUE(verifySignedText(readText(h.serverDir() + "/manifest-linux64.txt"), key, body));
        EXPECT_TRUE(parseManifest(body, manifest, error)) << error;
        return manifest;
    }

    // Starts the launcher and waits for its window, with the mouse out of the way.
    ChildProcess& open(const std::vector<std::string>& args) {
        ChildProcess& launcher = h.start(args);
        EXPECT_FALSE(h.waitForWindow().empty()) << h.output();
        h.moveMouse(5, 5);
        return launcher;
    }

    // The recorded run of the game: its folder and arguments.
    std::string gameRun() {
        for (int waited = 0; waited < 10000 && !fs::exists(h.root() + "/game-ran"); waited += 50)
            sleepMs(50);
        return readText(h.root() + "/game-ran");
    }

    LauncherHarness h;
};

TEST_F(Launcher, StartsWithDefaultsAndShootsTheFirstFrame) {
    std::string shot = h.root() + "/first.png";
    test::writeText(h.launcherPath() + ".old", "previous launcher");
    SilentServer silent;  // keeps the first check running, whatever the timing
    test::writeText(h.launcherDir() + "/launcher.cfg", "server = " + silent.url() + "\n");
    ChildProcess& launcher = h.start({"--shot", ":" + shot});
    EXPECT_EQ(launcher.wait(kExitTimeoutMs), 0) << h.output();
    EXPECT_FALSE(fs::exists(h.launcherPath() + ".old"));

    Picture first = readPng(shot);
    ASSERT_EQ(first.width, kW);
    ASSERT_EQ(first.height, kH);
    // The first frame: still checking, with the title and "..." on the disabled button.
    EXPECT_TRUE(showsText(first, "VEILSTONE", 48, 60, 8, pal::Gold));
    EXPECT_TRUE(bigButtonShows(first, "...", false));
    EXPECT_TRUE(showsText(first, "Not installed", 48, kTitleBottom + 30, 2, pal::TextDim));
    // Busy with the first check: the menu links are disabled.
    EXPECT_TRUE(showsText(first, "Playtester key...", 48, kMenuY0 + 132 + 7, 2, pal::TextDisabled));

    std::string log = h.log();
    EXPECT_NE(log.find("Veilstone launcher, linux64, in " + h.launcherDir()), std::string::npos)
        << log;
    EXPECT_NE(log.find("launcher: update server " + silent.url()), std::string::npos);
    EXPECT_NE(log.find("launcher: saved " + shot), std::string::npos);
    EXPECT_NE(log.find("launcher: closing"), std::string::npos);
}

TEST_F(Launcher, ShotAfterADelayAndServerFromTheCommandLine) {
    test::writeText(h.launcherDir() + "/launcher.cfg", "server = http://127.0.0.1:9/\n");
    serveRelease("1.0");
    std::string shot = h.root() + "/later.png";
    auto started = std::chrono::steady_clock::now();
    ChildProcess& launcher = h.start({"--server", h.server().url(), "--shot", "2.5:" + shot});
    ASSERT_EQ(launcher.wait(kExitTimeoutMs), 0) << h.output();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(seconds, 2.5);
    EXPECT_NE(h.log().find("launcher: update server " + h.server().url()), std::string::npos);
    Picture picture = readPng(shot);
    keepForReviewers(picture, "not-installed.png");
    EXPECT_TRUE(bigButtonShows(picture, "INSTALL", true));
    EXPECT_TRUE(statusShows(picture, "Veilstone 1.0: "));
    EXPECT_EQ(barPixels(picture, pal::Accent), 0);
}

TEST_F(Launcher, RefusesToStartWithoutAReleaseKey) {
    fs::copy_file(VEILSTONE_LAUNCHER_BAD_KEY, h.launcherPath(),
                  fs::copy_options::overwrite_existing);
    ChildProcess& launcher = h.start({});
    EXPECT_EQ(launcher.wait(kExitTimeoutMs), 1);
    EXPECT_NE(h.output().find("This launcher was built without a release key."), std::string::npos)
        << h.output();
    EXPECT_TRUE(h.waitForWindow(300).empty());
}

TEST_F(Launcher, RefusesToStartWithoutOpenGl45) {
    ChildProcess& launcher = h.start({}, {"MESA_GL_VERSION_OVERRIDE=3.3"});
    EXPECT_EQ(launcher.wait(kExitTimeoutMs), 1);
    EXPECT_NE(h.log().find("Veilstone needs a graphics card and driver with OpenGL 4.5, and this "
                           "machine did not offer one. Updating the graphics driver usually "
                           "fixes it."),
              std::string::npos)
        << h.log();
    // No settings and no arguments: the compiled-in server.
    EXPECT_NE(h.log().find("launcher: update server http://127.0.0.1:8047/"), std::string::npos);
}

TEST_F(Launcher, WindowHasTheProductClassAndTitleScaleFollowsTheWidth) {
    ChildProcess& launcher = h.start({"--server", "http://127.0.0.1:9/"});
    ASSERT_FALSE(h.waitForWindow().empty()) << h.output();
    std::string wmClass = runShell("DISPLAY=" + h.display() + " xprop -id " + h.window() +
                                   " WM_CLASS WM_NAME");
    EXPECT_NE(wmClass.find("\"veilstone\", \"veilstone\""), std::string::npos) << wmClass;
    EXPECT_NE(wmClass.find("\"Veilstone Launcher\""), std::string::npos) << wmClass;

    h.moveMouse(5, 5);
    Picture wide = h.captureUntil([](const Picture& p) {
        return p.width == kW && showsText(p, "VEILSTONE", 48, 60, 8, pal::Gold);
    });
    EXPECT_TRUE(showsText(wide, "VEILSTONE", 48, 60, 8, pal::Gold));

    h.resize(999, 600);
    Picture narrow = h.captureUntil([](const Picture& p) {
        return p.width == 999 && showsText(p, "VEILSTONE", 48, 60, 7, pal::Gold);
    });
    EXPECT_TRUE(showsText(narrow, "VEILSTONE", 48, 60, 7, pal::Gold));
    EXPECT_FALSE(showsText(narrow, "VEILSTONE", 48, 60, 8, pal::Gold));
    h.resize(1000, 600);
    Picture exact = h.captureUntil([](const Picture& p) {
        return p.width == 1000 && showsText(p, "VEILSTONE", 48, 60, 8, pal::Gold);
    });
    EXPECT_TRUE(showsText(exact, "VEILSTONE", 48, 60, 8, pal::Gold));
    launcher.kill(15);
}

TEST_F(Launcher, FailedWithoutGameOffersRetryAndChecksAgain) {
    serveRelease("2.0");
    h.server().stop();
    ChildProcess& launcher = h.start({"--server", h.server().url()});
    ASSERT_FALSE(h.waitForWindow().empty()) << h.output();
    h.moveMouse(5, 5);
    Picture failed = h.captureUntil([](const Picture& p) { return bigButtonShows(p, "RETRY", true); });
    EXPECT_TRUE(bigButtonShows(failed, "RETRY", true));
    EXPECT_GT(failed.count(60, kH - 98, 300, 16, pal::Error, 6), 20) << "status line in Error";
    EXPECT_EQ(barPixels(failed, pal::Accent), 0);

    // RETRY starts a new check: the server is back.
    ASSERT_TRUE(h.server().start());
    h.click(kBigX + 115, kBigY + 29);
    h.moveMouse(5, 5);
    EXPECT_TRUE(h.waitForLog("launcher: latest 2.0")) << h.log();
    launcher.kill(15);
}

TEST_F(Launcher, InstallsByItselfThenPlaysOnClick) {
    serveRelease("1.0");
    ChildProcess& launcher = open({"--server", h.server().url(), "--install"});
    Picture ready = h.captureUntil([](const Picture& p) { return bigButtonShows(p, "PLAY", true); });
    ASSERT_TRUE(bigButtonShows(ready, "PLAY", true)) << h.log();
    keepForReviewers(ready, "up-to-date.png");
    EXPECT_TRUE(statusShows(ready, "Up to date"));
    EXPECT_TRUE(showsText(ready, "Installed 1.0", 48, kTitleBottom + 30, 2, pal::TextDim));
    EXPECT_GT(barFill(ready), kW - 364 - 4) << "the finished bar is full";
    EXPECT_EQ(readText(h.gameDir() + "/data/notes.txt"), "stone, moss, lantern light\n");

    h.click(kBigX + 115, kBigY + 29);
    EXPECT_EQ(launcher.wait(kExitTimeoutMs), 0);
    EXPECT_EQ(gameRun(), fs::canonical(h.gameDir()).string() + "\n0\n");
    EXPECT_NE(h.log().find("launcher: started the game"), std::string::npos);
}

TEST_F(Launcher, EnterPlaysAndAnUpdateStartsByItselfOnce) {
    serveRelease("1.0");
    installWithLauncher();
    writeText(h.gameSource() + "/data/new.txt", "more\n");
    ASSERT_TRUE(h.publish("2.0"));
    ChildProcess& launcher = open({"--server", h.server().url()});
    Picture updated = h.captureUntil([](const Picture& p) {
        return showsText(p, "Installed 2.0", 48, kTitleBottom + 30, 2, pal::TextDim) &&
               bigButtonShows(p, "PLAY", true);
    });
    EXPECT_TRUE(bigButtonShows(updated, "PLAY", true)) << h.log();
    EXPECT_EQ(readText(h.gameDir() + "/data/new.txt"), "more\n");
    h.key("Return");
    EXPECT_EQ(launcher.wait(kExitTimeoutMs), 0);
    EXPECT_EQ(gameRun(), fs::canonical(h.gameDir()).string() + "\n0\n");
}

TEST_F(Launcher, CheckingShowsASlidingBlockOnADisabledButton) {
    SilentServer silent;
    open({"--server", silent.url()});
    Picture checking = h.captureUntil([](const Picture& p) {
        return bigButtonShows(p, "...", false) && statusShows(p, "Looking for updates");
    });
    keepForReviewers(checking, "checking.png");
    EXPECT_TRUE(bigButtonShows(checking, "...", false));
    EXPECT_TRUE(statusShows(checking, "Looking for updates"));
    int fill = barFill(checking);
    EXPECT_GE(fill, 70);
    EXPECT_LE(fill, 90) << "an 80-unit block, not a bar";
    EXPECT_TRUE(menuLinkShows(checking, "Check for updates", 2, pal::TextDisabled));
    EXPECT_TRUE(menuLinkShows(checking, "Open game folder", 1, pal::TextDim)) << "always enabled";
    std::string icon =
        runShell("DISPLAY=" + h.display() + " xprop -id " + h.window() + " _NET_WM_ICON");
    EXPECT_NE(icon.find("not found"), std::string::npos) << "no game, so no icon: " << icon;
}

TEST_F(Launcher, DownloadShowsProgressOnAWorkingButton) {
    h.makeGame();
    writeText(h.gameSource() + "/data/big.bin", std::string(2'000'000, 'B'));
    ASSERT_TRUE(h.publish("1.0"));
    FaultServer server(h.serverDir());
    ASSERT_TRUE(server.listening());
    Manifest manifest = servedManifest();
    // Every object stops half-way, so the first download stays on screen.
    for (const Entry& entry : manifest.files)
        server.stallAfter("/objects/" + entry.hash, entry.packedSize / 2);
    open({"--server", server.url(), "--install"});
    Picture working = h.captureUntil([](const Picture& p) {
        return bigButtonShows(p, "WORKING", false) && statusShows(p, "Downloading 1 of 4: ");
    });
    keepForReviewers(working, "installing.png");
    EXPECT_TRUE(bigButtonShows(working, "WORKING", false)) << h.log();
    EXPECT_TRUE(statusShows(working, "Downloading 1 of 4: data/big.bin"));
    int fill = barFill(working);
    EXPECT_GT(fill, 100) << "a known fraction fills from the left";
    EXPECT_LT(fill, kW - 364 - 100);
}

TEST_F(Launcher, OfflineStillPlaysButCannotVerify) {
    serveRelease("1.0");
    installWithLauncher();
    h.server().stop();
    open({"--server", h.server().url()});
    Picture offline = h.captureUntil([](const Picture& p) {
        return statusShows(p, "Offline: playing what is installed");
    });
    keepForReviewers(offline, "offline.png");
    EXPECT_TRUE(statusShows(offline, "Offline: playing what is installed")) << h.log();
    EXPECT_TRUE(bigButtonShows(offline, "PLAY", true));
    EXPECT_TRUE(menuLinkShows(offline, "Verify game files", 0, pal::TextDisabled));
    EXPECT_TRUE(menuLinkShows(offline, "Check for updates", 2, pal::TextDim));
    EXPECT_GT(barFill(offline), kW - 364 - 4);
}

TEST_F(Launcher, FailedWithGameOffersPlayAndShowsOnlyTheFirstLineOfTheError) {
    serveRelease("1.0");
    installWithLauncher();
    // A signed release for another platform fails even with the game installed.
    ASSERT_TRUE(h.publish("2.0", "live", "", "", "haiku-riscv64-experimental-build"));
    fs::rename(h.serverDir() + "/manifest-haiku-riscv64-experimental-build.txt",
               h.serverDir() + "/manifest-linux64.txt");
    open({"--server", h.server().url()});
    Picture failed = h.captureUntil([](const Picture& p) {
        return statusShows(p, "the server offered a build for", pal::Error);
    });
    keepForReviewers(failed, "failed.png");
    EXPECT_TRUE(bigButtonShows(failed, "PLAY", true)) << h.log();
    // "the server offered a build for haiku-riscv64-experimental-build" is wider than the bar.
    EXPECT_TRUE(statusShows(failed, "the server offered a build for", pal::Error)) << h.log();
    EXPECT_EQ(failed.count(60 + 31 * 12, kH - 98, 300, 16, pal::Error, 40), 0);
    EXPECT_EQ(failed.count(40, kH - 80, kW - 364, 9, pal::Error, 40), 0) << "no second line";
    EXPECT_EQ(barFill(failed), 0) << "no bar in Failed";
    EXPECT_TRUE(menuLinkShows(failed, "Verify game files", 0, pal::TextDim));
}

TEST_F(Launcher, OpenGameFolderMakesTheFolderBeforeAnyInstall) {
    SilentServer silent;
    open({"--server", silent.url()});
    ASSERT_FALSE(fs::exists(h.gameDir()));
    h.click(60, int(kMenuY0 + 38 + 15));
    for (int waited = 0; waited < 5000 && !fs::exists(h.gameDir()); waited += 50) sleepMs(50);
    EXPECT_TRUE(fs::is_directory(h.gameDir()));
}

TEST_F(Launcher, VerifyRepairsAFileChangedAtTheSameSize) {
    serveRelease("1.0");
    installWithLauncher();
    std::string notes = h.gameDir() + "/data/notes.txt";
    std::string original = readText(notes);
    writeText(notes, std::string(original.size(), 'x'));
    open({"--server", h.server().url()});
    // A quick check trusts sizes and the record: the change goes unnoticed until verified.
    auto readyToVerify = [](const Picture& p) {
        return statusShows(p, "Up to date") && menuLinkShows(p, "Verify game files", 0, pal::TextDim);
    };
    ASSERT_TRUE(readyToVerify(h.captureUntil(readyToVerify)));
    h.click(60, int(kMenuY0 + 15));
    h.moveMouse(5, 5);
    Picture verified = h.captureUntil([](const Picture& p) { return statusShows(p, "Files verified"); });
    EXPECT_TRUE(statusShows(verified, "Files verified")) << h.log();
    EXPECT_EQ(readText(notes), original);
}

TEST_F(Launcher, WindowTakesTheGamesIconOnceInstalled) {
    serveRelease("1.0");
    writeText(h.gameSource() + "/assets/veilstone.ico", readText(VEILSTONE_ICON_FILE));
    ASSERT_TRUE(h.publish("1.1"));
    open({"--server", h.server().url(), "--install"});
    auto iconProperty = [&] {
        return runShell("DISPLAY=" + h.display() + " xprop -id " + h.window() + " _NET_WM_ICON");
    };
    ASSERT_TRUE(h.waitForLog("launcher: installed")) << h.log();
    std::string property;
    for (int waited = 0; waited < 5000; waited += 100) {
        property = iconProperty();
        if (property.find("not found") == std::string::npos) break;
        sleepMs(100);
    }
    EXPECT_NE(property.find("_NET_WM_ICON(CARDINAL)"), std::string::npos) << property;
}

TEST_F(Launcher, ReplacesItselfAndRestartsWithUpdated) {
    // "Another build": the same program with bytes appended, so its hash differs and it still runs.
    std::string newBuild = h.root() + "/new-launcher";
    writeText(newBuild, readText(h.launcherPath()) + "another build");
    chmod(newBuild.c_str(), 0755);
    h.makeGame();
    ASSERT_TRUE(h.publish("1.0", "live", "", newBuild));
    ASSERT_TRUE(h.startServer());
    std::string shot = h.root() + "/after-restart.png";

    ChildProcess& old = h.start({"--server", h.server().url(), "--shot", "6:" + shot});
    EXPECT_EQ(old.wait(kExitTimeoutMs), 0) << h.output();
    EXPECT_EQ(readText(h.launcherPath()), readText(newBuild));
    // The restarted copy has already moved the old run's log aside.
    std::string logs;
    for (const auto& entry : fs::directory_iterator(h.launcherDir() + "/logs"))
        logs += readText(entry.path().string());
    EXPECT_NE(logs.find("launcher: replaced itself with"), std::string::npos) << logs;

    // The new copy runs detached with the same arguments plus "--updated", in the launcher folder.
    std::string window = h.waitForWindow();
    ASSERT_FALSE(window.empty());
    std::string pid = runShell("DISPLAY=" + h.display() + " xdotool getwindowpid " + window);
    std::string commandLine = readText("/proc/" + pid.substr(0, pid.find('\n')) + "/cmdline");
    std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
    EXPECT_EQ(commandLine, h.launcherPath() + " --server " + h.server().url() + " --shot 6:" +
                               shot + " --updated ");
    // Its start removed the old copy, and it does not update itself again.
    EXPECT_FALSE(fs::exists(h.launcherPath() + ".old"));
    for (int waited = 0; waited < 20000 && !fs::exists(shot); waited += 100) sleepMs(100);
    EXPECT_TRUE(fs::exists(shot)) << h.log();
    EXPECT_EQ(h.server().countRequests("/objects/" + hashBuffer(readText(newBuild).data(),
                                                                readText(newBuild).size())),
              1u);
}

TEST_F(Launcher, AFailedUpdateDoesNotStartAgainByItself) {
    serveRelease("1.0");
    installWithLauncher();
    writeText(h.gameSource() + "/data/new.txt", "more\n");
    ASSERT_TRUE(h.publish("2.0"));
    // The new file's object is missing on the server: the automatic update fails.
    fs::remove(h.serverDir() + "/objects/" + hashBuffer("more\n", 5));
    ChildProcess& launcher = open({"--server", h.server().url()});
    auto failedWithGame = [](const Picture& p) {
        return bigButtonShows(p, "PLAY", true) &&
               p.count(60, kH - 98, 300, 16, pal::Error, 6) > 20 &&
               menuLinkShows(p, "Check for updates", 2, pal::TextDim);
    };
    ASSERT_TRUE(failedWithGame(h.captureUntil(failedWithGame))) << h.log();
    std::size_t attempts = h.server().countRequests("/objects/");

    h.click(60, int(kMenuY0 + 76 + 15));
    h.moveMouse(5, 5);
    auto readyToUpdate = [](const Picture& p) {
        return bigButtonShows(p, "UPDATE", true);
    };
    const Manifest served = servedManifest();
    const Entry* added = findFile(served, "data/new.txt");
    ASSERT_NE(added, nullptr);
    std::string sizeLine = launcher::sizeText(added->packedSize) + " to download";
    Picture ready = h.captureUntil(readyToUpdate);
    EXPECT_TRUE(readyToUpdate(ready)) << h.log();
    EXPECT_TRUE(statusShows(ready, sizeLine)) << sizeLine;
    EXPECT_TRUE(showsText(ready, "Installed 1.0   Latest 2.0", 48, kTitleBottom + 30, 2,
                          pal::TextDim));
    sleepMs(1500);
    EXPECT_TRUE(readyToUpdate(h.capture())) << "the update must wait for the player";
    EXPECT_EQ(h.server().countRequests("/objects/"), attempts);
    launcher.kill(15);
}

}  // namespace
}  // namespace kd::test