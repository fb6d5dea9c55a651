// The window as a player meets it, in the real launcher under Xvfb: how it draws while hidden,
// covered or without focus (from its log), and the usage the command line prints.
#include <gtest/gtest.h>

#include <filesystem>

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

TEST_F(WindowTest, DrawsOnlyWhatCanBeSeenAndRedrawsWhenShownAgain) {
    ASSERT_NO_FATAL_FAILURE(serve());
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
    EXPECT_TRUE(sees(text("VEILSTONE", 8, pal::Gold, top)));

    const std::string cover = xlogo("cover", "1280x800+0+0");
    EXPECT_TRUE(logged("drawing slowed: the window is covered (5 frames/s)")) << log();
    xdotool("windowkill " + cover);
    EXPECT_TRUE(logged(full, 3)) << log();

    xdotool("windowfocus --sync " + xlogo("other", "40x40+1200+700"));
    EXPECT_TRUE(logged("drawing slowed: the window has no focus (5 frames/s)")) << log();
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
