// The window as a player meets it, in the real launcher under Xvfb: how it draws while hidden,
// covered or without focus (from its log), the layouts of a small window and of long texts, and
// the usage the command line prints.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "gfx/font.h"
#include "tests/app/launcher_harness.h"

namespace kd::test {
namespace {

class WindowTest : public LauncherTest {
protected:
    // Waits until the log holds the text at least `times` times.
    bool logged(const std::string& text, std::size_t times = 1) {
        for (int waited = 0; waited < 15000; waited += 100, sleepMs(100)) {
            std::string all = log();
            std::size_t found = 0;
            for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
                ++found;
            if (found >= times) return true;
        }
        return false;
    }
    // Another client's window; its id. Its output must not hold the pipe the shell reads from,
    // and it ends with the X server.
    std::string xlogo(const std::string& name, const std::string& geometry) {
        x11("xlogo -name " + name + " -geometry " + geometry + " >/dev/null &");
        std::string id = xdotool("search --sync --name " + name);
        return id.substr(0, id.find('\n'));
    }
};

bool titleShown(const Picture& p) { return showsText(p, "VEILSTONE", 48, 60, 8, pal::Gold); }

TEST_F(WindowTest, DrawsOnlyWhatCanBeSeenAndRedrawsWhenShownAgain) {
    ASSERT_NO_FATAL_FAILURE(serve("1.0"));
    ASSERT_NO_FATAL_FAILURE(startIdle());
    const std::string window = waitForWindow();
    const std::string full = "launcher: drawing at the software renderer's rate (20 frames/s)";
    EXPECT_TRUE(logged("a software renderer: 20 frames/s at most, no multisampling")) << log();
    ASSERT_TRUE(logged(full)) << log();

    xdotool("windowunmap --sync " + window);
    EXPECT_TRUE(logged("drawing paused: the window is not viewable")) << log();
    // Without a window manager nobody gives the focus back.
    xdotool("windowmap --sync " + window + " windowfocus --sync " + window);
    EXPECT_TRUE(logged(full, 2)) << log();
    // A mapped window starts without content: the title is back only if drawing resumed.
    EXPECT_TRUE(titleShown(captureUntil(titleShown)));

    const std::string cover = xlogo("cover", "1280x800+0+0");
    EXPECT_TRUE(logged("drawing slowed: the window is covered (5 frames/s)")) << log();
    xdotool("windowkill " + cover);
    EXPECT_TRUE(logged(full, 3)) << log();

    xdotool("windowfocus --sync " + xlogo("other", "40x40+1200+700"));
    EXPECT_TRUE(logged("drawing slowed: the window has no focus (5 frames/s)")) << log();
}

// At the smallest size the list opens upward and every row works, the refusal stands beside
// "BUILD" clear of the bottom panel, and the status sentence keeps its end on a second line.
TEST_F(WindowTest, SmallWindowKeepsTheChannelListRefusalAndStatusInside) {
    ASSERT_NO_FATAL_FAILURE(serveBoth("# Live notes\n", "# Testing notes\n"));
    ASSERT_NO_FATAL_FAILURE(startIdle("tester_key = WRONG-KEY\nchannel = testing\n"));
    resize(820, 520);
    const ScreenLayout l = screenLayout(820, 520);
    EXPECT_LE(l.keyRefusedY + 16, l.bottomPanelY);
    EXPECT_LE(l.listTop + kListHeight, 520);
    auto refused = [&](const Picture& p) {
        return showsText(p, "Key not accepted", l.keyRefusedX, l.keyRefusedY, 2, pal::Error) &&
               showsText(p, "Veilstone 1.0: Playtester key not", 60, 520 - 110, 2, pal::Text) &&
               showsText(p, "accepted; showing Live", 60, 520 - 92, 2, pal::Text);
    };
    Picture p = captureUntil(refused);
    ASSERT_TRUE(refused(p)) << log();

    click(150, int(l.selectorTop) + 18);
    auto forgetShown = [&](const Picture& p) {
        return showsText(p, "Forget key", 62, l.listTop + 4 + 34 * 3 + 10, 2, pal::TextDim);
    };
    ASSERT_TRUE(forgetShown(captureUntil(forgetShown)));
    click(150, int(l.listTop) + 4 + 34 * 3 + 17);
    auto keyLink = [&](const Picture& p) {
        return showsText(p, "Playtester key...", 48, l.keyRowY + 7, 2, pal::TextDim);
    };
    EXPECT_TRUE(keyLink(captureUntil(keyLink))) << settingsFile();
    EXPECT_EQ(settingsFile().find("tester_key"), std::string::npos);
}

// A version line too long to share its row puts "TESTING BUILD" under it; a 64-character key
// scrolls inside its field with its end in view.
TEST_F(WindowTest, LongVersionAndKeyStayInsideTheirPlaces) {
    ASSERT_NO_FATAL_FAILURE(serve("1.0"));
    ASSERT_TRUE(publish("1.1-preview-2026-12-07", {"--channel", "testing"}));
    ASSERT_NO_FATAL_FAILURE(
        startIdle("tester_key = " + std::string(kTesterKey) + "\nchannel = testing\n"));
    auto marked = [](const Picture& p) {
        return showsText(p, "Latest 1.1-preview-2026-12-07", 48, kTitleBottom + 30, 2, pal::TextDim) &&
               showsText(p, "TESTING BUILD", 48, kTitleBottom + 52, 2, pal::Accent);
    };
    ASSERT_TRUE(marked(captureUntil(marked))) << log();

    openList();
    click(150, int(listRowTop(2)) + 17);
    ASSERT_TRUE(dialogShown(captureUntil([](const Picture& p) { return dialogShown(p); })));
    const std::string key = std::string(40, 'A') + "0123456789-BCDEFGHIJKLMN";  // 64 characters
    type(key + "Z");
    const std::string tail = key.substr(44);
    const float fieldRight = kDialogX + 538;
    auto scrolled = [&](const Picture& p) {
        return showsText(p, tail, fieldRight - 19 - textWidth(tail, 3), kDialogY + 88, 3,
                         pal::TextBright) &&
               p.count(int(fieldRight), int(kDialogY) + 78, kW - int(fieldRight), 40,
                       pal::TextBright, 6) == 0 &&
               p.count(0, int(kDialogY) + 78, int(kDialogX) + 22, 40, pal::TextBright, 6) == 0;
    };
    Picture p = captureUntil(scrolled);
    EXPECT_TRUE(scrolled(p));
}

TEST_F(WindowTest, FailureSentenceShowsWhole) {
    ASSERT_NO_FATAL_FAILURE(serve("1.0"));
    const std::string manifest = serverDir() + "/manifest-linux64.txt";
    writeText(manifest, readText(manifest) + "\n");
    writeText(settingsPath(), serverLine());
    open({});
    auto whole = [](const Picture& p) {
        return showsText(p, "manifest-linux64.txt is not signed by the Veilstone", 60, kH - 110,
                         2, pal::Error) &&
               showsText(p, "release key", 60, kH - 92, 2, pal::Error);
    };
    EXPECT_TRUE(whole(captureUntil(whole))) << log();
}

TEST(WindowFont, DashesHaveGlyphsOfTheirOwn) {
    EXPECT_NE(std::memcmp(FontGlyphs[glyphIndex(0x2013)], FontGlyphs[glyphIndex(0x2014)], 8), 0);
    EXPECT_NE(std::memcmp(FontGlyphs[glyphIndex('-')], FontGlyphs[glyphIndex(0x2013)], 8), 0);
}

// No display: a launcher that tried to open its window would fail and exit with 1.
TEST(CommandLine, HelpPrintsTheUsageAndOpensNoWindow) {
    for (std::string arg : {"--help", "-h", "--server"}) {
        TempDir dir;
        std::filesystem::copy_file(VEILSTONE_LAUNCHER, dir / "launcher");
        std::vector<std::string> args{dir / "launcher", "--verify", arg};
        if (arg == "--server") args.push_back("--help");  // the URL, not a request for help
        ChildProcess launcher(args, dir.path(), {"DISPLAY="}, dir / "out");
        EXPECT_EQ(launcher.wait(20000), arg == "--server" ? 1 : 0) << arg;
        const std::string out = readText(dir / "out");
        EXPECT_EQ(std::filesystem::exists(dir / "logs"), arg == "--server") << arg;
        if (arg == "--server") continue;
        for (const char* flag : {"--server URL", "--install", "--verify", "--shot SECONDS[:FILE]",
                                 "--no-self-update", "-h, --help"})
            EXPECT_NE(out.find(flag), std::string::npos) << flag;
    }
}

}  // namespace
}  // namespace kd::test
