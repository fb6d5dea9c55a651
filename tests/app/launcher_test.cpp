// The real launcher in a real window under Xvfb, against a real nginx: what the main screen shows
// in each state a player meets on the way from nothing to playing, the updates, input through
// the window (typing, the clipboard, the wheel), the window's cost while it cannot be seen, and
// starts that refuse to run.
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include "release/crypto.h"
#include "tests/app/launcher_harness.h"
#include "tests/support/fault_server.h"
#include "tests/support/png_decode.h"
#include "update/updater.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != text.npos; at = text.find(part, at + 1)) ++found;
    return found;
}
// The progress bar's fill: pixels of its middle row off the bare track.
Check bar(int least, int most) {
    return [=](const Picture& p) {
        int fill = kW - 364 - p.count({60, kH - 66, kW - 364, 1}, pal::Shadow, 10);
        return least <= fill && fill <= most;
    };
}

class Launcher : public LauncherTest {
protected:
    bool logged(const std::string& text, std::size_t times = 1) {  // at least this often
        return waitFor([&] { return count(log(), text) >= times; });
    }
    std::string xprop(const std::string& args) { return x11("xprop -id " + window_ + " " + args); }
    std::string gameRun() {  // what the game recorded: its folder and argument count
        waitFor([&] { return std::filesystem::exists(root_ / "game-ran"); }, 10000);
        return readText(root_ / "game-ran");
    }
    // Another client's window; its id. Its output must not hold the pipe the shell reads from.
    std::string xlogo(const std::string& name, const std::string& geometry) {
        x11("xlogo -name " + name + " -geometry " + geometry + " >/dev/null &");
        std::string id = xdotool("search --sync --name " + name);
        return id.substr(0, id.find('\n'));
    }
};

TEST_F(Launcher, ShowsTheCheckThenTheDownloadFromASlowServer) {
    makeGame();
    writeText(root_ / "game/data/big.bin", std::string(2'000'000, 'B'));
    ASSERT_TRUE(publish("1.0"));
    FaultServer slow(serverDir());
    slow.delay("/manifest-linux64.txt", 5000, 1);
    // Every object stops half-way, so the first download stays on screen.
    for (const Entry& entry : servedManifest(serverDir()).files)
        slow.stallAfter("/objects/" + entry.hash, entry.packedSize / 2);
    open({"--server", slow.url(), "--install"});
    EXPECT_TRUE(sees(button("...", false), status("Looking for updates"), version("Not installed"),
                     menuLink("Check for updates", false), menuLink("Playtester key...", false),
                     bar(70, 90), text("...", 2, pal::TextDisabled, news())));
    clickMenu(1);  // "Open game folder" makes the folder on demand, before any install
    EXPECT_TRUE(waitFor([&] { return fs::is_directory(gameDir()); }, 5000));
    // Several objects download at once: any of them may be the one named.
    EXPECT_TRUE(sees(button("WORKING", false), status("Downloading "),
                     text(" of 4: ", 2, pal::Text, bottom()), bar(100, kW - 364 - 100)));
}

TEST_F(Launcher, FromAnUnreachableServerThroughInstallAndVerifyToPlay) {
    makeGame();
    writeText(root_ / "game/assets/veilstone.ico", readText(VEILSTONE_ICON_FILE));
    ASSERT_NO_FATAL_FAILURE(serve());
    server_.stop();
    ChildProcess& launcher = open({"--server", server_.url()});
    EXPECT_TRUE(contains(xprop("WM_NAME"), "\"Veilstone Launcher\""));  // found by its class
    EXPECT_TRUE(sees(button("RETRY"),
                     text("cannot reach the update server", 2, pal::Error, bottom()),
                     version("Not installed"), menuLink("Open game folder"), idle, bar(0, 0)))
        << log();
    EXPECT_TRUE(contains(xprop("_NET_WM_ICON"), "not found")) << "no game, no icon";

    // Drawing pauses while the window is unmapped and slows while it is covered or unfocused.
    const std::string full = "launcher: drawing at the software renderer's rate (20 frames/s)";
    EXPECT_TRUE(logged("a software renderer: 20 frames/s at most, no multisampling")) << log();
    ASSERT_TRUE(logged(full)) << log();
    xdotool("windowunmap --sync " + window_);
    EXPECT_TRUE(logged("drawing paused: the window is not viewable")) << log();
    // Without a window manager nobody gives the focus back.
    xdotool("windowmap --sync " + window_ + " windowfocus --sync " + window_);
    EXPECT_TRUE(logged(full, 2)) << log();
    // A mapped window starts without content: the title is back only if drawing resumed.
    EXPECT_TRUE(sees(text("VEILSTONE", 8, pal::Gold, top())));
    const std::string cover = xlogo("cover", "1280x800+0+0");
    EXPECT_TRUE(logged("drawing slowed: the window is covered (5 frames/s)")) << log();
    xdotool("windowkill " + cover);
    EXPECT_TRUE(logged(full, 3)) << log();
    xdotool("windowfocus --sync " + xlogo("other", "40x40+1200+700"));
    EXPECT_TRUE(logged("drawing slowed: the window has no focus (5 frames/s)")) << log();
    xdotool("windowfocus --sync " + window_);

    ASSERT_TRUE(server_.start());
    clickBigButton();
    EXPECT_TRUE(sees(button("INSTALL"), text("No news to show.", 2, pal::TextDisabled, news())));
    clickBigButton();
    ASSERT_TRUE(sees(button("PLAY"), status("Up to date"), version("Installed 1.0"),
                     menuLink("Verify game files"), bar(kW - 364 - 4, kW)))
        << log();
    // Installed, the window takes the game's icon: width, height and ARGB pixels, top row first,
    // of its 16 and its 32 bitmap.
    std::vector<std::uint32_t> icon;
    waitFor([&] {
        std::string out = xprop("-notype -f _NET_WM_ICON 32c ' = $0+\\n' _NET_WM_ICON");
        std::replace(out.begin(), out.end(), ',', ' ');
        std::istringstream values(out.substr(out.find('=') + 1));
        icon.assign(std::istream_iterator<std::uint32_t>(values), {});
        return !icon.empty();
    });
    ASSERT_EQ(icon.size(), 2 + 16 * 16 + 2 + 32 * 32u);
    // The sizes, then the 32's pixels at (0, 0), at (16, 1) a half-transparent rim, not
    // premultiplied, and at (16, 29) dark gold.
    EXPECT_EQ((std::vector{icon[0], icon[1], icon[258], icon[259], icon[260], icon[260 + 32 + 16],
                           icon[260 + 32 * 29 + 16]}),
              (std::vector<std::uint32_t>{16, 16, 32, 32, 0, 0x80F2C975, 0xFFAA6623}));

    // A file changed at the same size passes the quick check; verifying repairs it.
    std::string notes = gameDir() + "/data/notes.txt", original = readText(notes);
    EXPECT_EQ(original, "stone, moss, lantern light\n");
    writeText(notes, std::string(original.size(), 'x'));
    clickMenu(0);
    EXPECT_TRUE(sees(status("Files verified"))) << log();
    EXPECT_EQ(readText(notes), original);
    clickBigButton();
    EXPECT_EQ(gameRun(), fs::canonical(gameDir()).string() + "\n0\n");
    EXPECT_TRUE(logged("launcher: started the game"));
    EXPECT_EQ(launcher.wait(30000), 0);
}

TEST_F(Launcher, InstalledGameOfflineThenUpdatedAfterAFailureThenOfferedAForeignBuild) {
    ASSERT_NO_FATAL_FAILURE(serve());
    ChildProcess& installer = start({"--server", server_.url(), "--install"});
    ASSERT_TRUE(logged("launcher: installed")) << log();
    installer.kill(15);
    installer.wait(30000);
    server_.stop();
    // A damaged icon is reported once, not at every look for it.
    writeText(gameDir() + "/assets/veilstone.ico", "not an icon");
    ChildProcess& offline = open({"--server", server_.url()});
    EXPECT_TRUE(sees(button("PLAY"), status("Offline: playing what is installed"),
                     menuLink("Verify game files", false), idle, bar(kW - 364 - 4, kW)))
        << log();
    sleepMs(2500);
    EXPECT_EQ(count(log(), "veilstone.ico is not an icon file"), 1u) << log();
    offline.kill(15);
    offline.wait(30000);

    // An update starts by itself; after it failed, a check waits for the player.
    writeText(root_ / "game/data/new.txt", "more\n");
    ASSERT_TRUE(publish("2.0"));
    std::string object = serverDir() + "/objects/" + hashBuffer("more\n", 5);
    std::string packed = readText(object);
    fs::remove(object);
    ASSERT_TRUE(server_.start());
    ChildProcess& launcher = open({"--server", server_.url()});
    EXPECT_TRUE(sees(button("PLAY"), idle, [](const Picture& p) {
        return p.count({60, kH - 114, 660, 40}, pal::Error, 6) > 20;
    })) << log();
    std::size_t attempts = server_.countRequests("/objects/");
    EXPECT_GE(attempts, 1u);
    clickMenu(2);
    std::string size = launcher::sizeText(servedPackedSize(serverDir(), {"data/new.txt"}));
    EXPECT_TRUE(sees(button("UPDATE"), status(size + " to download"),
                     version("Installed 1.0   Latest 2.0")))
        << size;
    sleepMs(1500);
    EXPECT_TRUE(button("UPDATE")(capture())) << "the update must wait for the player";
    EXPECT_EQ(server_.countRequests("/objects/"), attempts);
    writeText(object, packed);
    clickBigButton();
    EXPECT_TRUE(sees(version("Installed 2.0"), button("PLAY"))) << log();
    EXPECT_EQ(readText(gameDir() + "/data/new.txt"), "more\n");

    // A signed release for another platform, served under this one's name. The sentence takes
    // two lines, the platform's name starting the second.
    ASSERT_TRUE(publish("3.0", {"--platform", "haiku-riscv64-experimental-build"}));
    fs::rename(serverDir() + "/manifest-haiku-riscv64-experimental-build.txt",
               serverDir() + "/manifest-linux64.txt");
    clickMenu(2);
    EXPECT_TRUE(sees(button("PLAY"),
                     text("the server offered a build for", 2, pal::Error, bottom()),
                     status("haiku-riscv64-experimental-build", pal::Error), idle))
        << log();
    key("Return");
    EXPECT_EQ(launcher.wait(30000), 0);
    EXPECT_EQ(gameRun(), fs::canonical(gameDir()).string() + "\n0\n");
}

// The restarted copy takes a delayed screenshot and closes; then starts that refuse to run. The
// delay is the first copy's too, and must outlast its check and swap on a busy machine.
TEST_F(Launcher, ReplacesItselfAndRestartsWithTheSameArgumentsThenRefusesToStartWithoutGlOrKey) {
    // "Another build": the same program with bytes appended, so its hash differs and it still runs.
    std::string newBuild = root_ / "new-launcher", shot = root_ / "after restart.png";
    writeText(newBuild, readText(launcherPath()) + "another build");
    chmod(newBuild.c_str(), 0755);
    makeGame();
    ASSERT_TRUE(publish("1.0", {"--launcher", newBuild}));
    ASSERT_TRUE(server_.start());
    writeText(settingsPath(), "server = http://127.0.0.1:9/\n");  // the command line's wins
    const std::vector<std::string> args = {"--server", server_.url(), "", "--shot", "6:" + shot};
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(start(args).wait(30000), 0) << output();
    EXPECT_TRUE(readText(launcherPath()) == readText(newBuild)) << "replaced by the new build";

    // The new copy runs detached in the launcher folder with exactly the same arguments, an empty
    // one and one with a blank included, plus "--updated".
    ASSERT_FALSE(waitForWindow().empty());
    std::string proc = xdotool("getwindowpid " + window_), commandLine = launcherPath() + '\0';
    proc = "/proc/" + proc.substr(0, proc.find('\n'));
    for (const std::string& arg : args) commandLine += arg + '\0';
    EXPECT_EQ(readText(proc + "/cmdline"), commandLine + "--updated" + '\0');
    EXPECT_EQ(fs::read_symlink(proc + "/cwd"), fs::canonical(launcherDir()));
    // Its start removed the old copy, and it does not update itself again.
    EXPECT_FALSE(fs::exists(launcherPath() + ".old"));
    EXPECT_TRUE(logged("launcher: closing")) << log();
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
              6.0);
    std::string build = readText(newBuild);
    EXPECT_EQ(server_.countRequests("/objects/" + hashBuffer(build.data(), build.size())), 1u);
    DecodedPng png = decodePng(readBytes(shot));
    ASSERT_EQ(png.colourType, 2) << png.error;
    Picture p{int(png.width), int(png.height), png.pixels};
    EXPECT_TRUE(button("INSTALL")(p) && status("Veilstone 1.0: ")(p) && bar(0, 0)(p));

    fs::remove(settingsPath());
    EXPECT_EQ(start({}, {"MESA_GL_VERSION_OVERRIDE=3.3"}).wait(30000), 1);
    EXPECT_TRUE(contains(log(),
                         "Veilstone needs a graphics card and driver with OpenGL 4.5, and "
                         "this machine did not offer one. Updating the graphics driver "
                         "usually fixes it."))
        << log();
    // No settings and no arguments: the compiled-in server.
    EXPECT_TRUE(contains(log(), "launcher: update server http://127.0.0.1:8047/"));
    fs::copy_file(VEILSTONE_LAUNCHER_BAD_KEY, launcherPath(), fs::copy_options::overwrite_existing);
    EXPECT_EQ(start({}).wait(30000), 1);
    EXPECT_TRUE(contains(output(), "This launcher was built without a release key.")) << output();
    EXPECT_TRUE(waitForWindow(300).empty());
}

// What only the window's callbacks give: a click, the clipboard, typed characters and Backspace
// make the key that Enter commits, and the wheel scrolls the news.
TEST_F(Launcher, KeysTypedAndPastedReachTheSettingsAndTheWheelScrollsTheNews) {
    std::string notes = "# Live notes\n";
    for (int i = 0; i < 40; ++i) notes += "- note " + std::to_string(i) + "\n";
    ASSERT_NO_FATAL_FAILURE(serve(notes));
    writeText(settingsPath(), serverLine());
    open({});
    ASSERT_TRUE(sees(idle, heading("Live notes"))) << log();
    click(150, layout().keyLink.y + 15);
    ASSERT_TRUE(sees(dialog));
    writeText(root_ / "clipboard", " ab-12 cd\n");
    x11("xclip -selection clipboard -i '" + root_ / "clipboard" + "' >/dev/null");
    // xclip serves the text from a copy of itself in the background, which may not own the
    // clipboard yet when the command returns.
    ASSERT_TRUE(
        waitFor([&] { return x11("xclip -selection clipboard -o") == " ab-12 cd\n"; }, 10000));
    key("ctrl+v");
    type("v x!");
    key("BackSpace");
    key("Return");
    EXPECT_TRUE(waitFor([&] {
        return settingsFile() == "# Veilstone launcher settings. Written by the launcher.\n" +
                                     serverLine() + "tester_key = AB-12CDV\nchannel = testing\n";
    })) << settingsFile();
    EXPECT_TRUE(sees(no(dialog), text("Key not accepted", 2, pal::Error, menu()))) << log();
    scroll(700, 300, 5, 1);
    EXPECT_TRUE(sees(no(heading("Live notes"))));
}

TEST(CommandLine, HelpPrintsTheUsageAndOpensNoWindow) {
    for (std::string arg : {"--help", "-h"}) {
        TempDir dir;
        std::filesystem::copy_file(VEILSTONE_LAUNCHER, dir / "launcher");
        // No display: a launcher that tried to open its window would fail and exit with 1.
        ChildProcess help({dir / "launcher", "--verify", arg}, dir.path(), {"DISPLAY="},
                          dir / "out");
        EXPECT_EQ(help.wait(20000), 0) << arg;
        EXPECT_FALSE(std::filesystem::exists(dir / "logs")) << arg;
        for (const char* flag : {"--server URL", "--install", "--verify", "--shot SECONDS[:FILE]",
                                 "--no-self-update", "-h, --help"})
            EXPECT_TRUE(contains(readText(dir / "out"), flag)) << flag;
    }
}

}  // namespace
}  // namespace kd::test
