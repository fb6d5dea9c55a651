// The real launcher in a real window under Xvfb, against a real nginx: start-up, the main screen in
// each state, and the player's actions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "app/ui.h"
#include "gfx/text.h"
#include "tests/app/launcher_harness.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;
namespace pal = palette;

constexpr int kW = 1024, kH = 620;
constexpr int kExitTimeoutMs = 30000;

// The main screen's layout at the default window size.
constexpr float kTitleBottom = 60 + 8 * 8;
constexpr float kMenuY0 = kTitleBottom + 90;
constexpr int kBigX = kW - 280, kBigY = kH - 108;

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

}  // namespace
}  // namespace kd::test
