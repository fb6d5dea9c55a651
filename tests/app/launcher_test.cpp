// The real launcher in a real window under Xvfb, against a real nginx: start-up, what the main
// screen shows in each state, and the player's actions.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "release/crypto.h"
#include "tests/app/launcher_harness.h"
#include "tests/support/fault_server.h"
#include "update/updater.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;
using Launcher = LauncherTest;

TEST_F(Launcher, FirstFrameShowsTheCheckWithDefaultsAndAShotAfterADelayTheServersAnswer) {
    writeText(launcherPath() + ".old", "previous launcher");
    SilentServer silent;  // keeps the first check running, whatever the timing
    writeText(settingsPath(), "server = " + silent.url() + "\n");
    ChildProcess& first = start({"--shot", ":" + root() + "/first.png"});
    EXPECT_EQ(first.wait(30000), 0) << output();
    EXPECT_FALSE(fs::exists(launcherPath() + ".old"));
    Picture p = readPng(root() + "/first.png");
    ASSERT_EQ(p.width, kW);
    ASSERT_EQ(p.height, kH);
    EXPECT_TRUE(showsText(p, "VEILSTONE", 48, 60, 8, pal::Gold));
    EXPECT_TRUE(bigButtonShows(p, "...", false));
    EXPECT_TRUE(versionShows(p, "Not installed"));
    EXPECT_TRUE(showsText(p, "Playtester key...", 48, kKeyRowY + 7, 2, pal::TextDisabled));
    for (const std::string& line :
         {"Veilstone launcher, linux64, in " + launcherDir(),
          "launcher: update server " + silent.url(), "launcher: saved " + root() + "/first.png",
          std::string("launcher: closing")})
        EXPECT_NE(log().find(line), std::string::npos) << line << "\n" << log();

    // The command line's server wins over the settings file's.
    ASSERT_NO_FATAL_FAILURE(serve());
    auto started = std::chrono::steady_clock::now();
    ChildProcess& later =
        start({"--server", server_.url(), "--shot", "2.5:" + root() + "/later.png"});
    ASSERT_EQ(later.wait(30000), 0) << output();
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
              2.5);
    p = readPng(root() + "/later.png");
    EXPECT_TRUE(bigButtonShows(p, "INSTALL", true));
    EXPECT_TRUE(statusShows(p, "Veilstone 1.0: "));
    EXPECT_EQ(p.count(60, kH - 66, kW - 364, 1, pal::Accent, 10), 0) << "no bar";
}

TEST_F(Launcher, RefusesToStartWithoutAReleaseKeyOrOpenGl45) {
    ChildProcess& noGl = start({}, {"MESA_GL_VERSION_OVERRIDE=3.3"});
    EXPECT_EQ(noGl.wait(30000), 1);
    EXPECT_NE(
        log().find("Veilstone needs a graphics card and driver with OpenGL 4.5, and this "
                   "machine did not offer one. Updating the graphics driver usually fixes it."),
        std::string::npos)
        << log();
    // No settings and no arguments: the compiled-in server.
    EXPECT_NE(log().find("launcher: update server http://127.0.0.1:8047/"), std::string::npos);

    fs::copy_file(VEILSTONE_LAUNCHER_BAD_KEY, launcherPath(), fs::copy_options::overwrite_existing);
    ChildProcess& noKey = start({});
    EXPECT_EQ(noKey.wait(30000), 1);
    EXPECT_NE(output().find("This launcher was built without a release key."), std::string::npos)
        << output();
    EXPECT_TRUE(waitForWindow(300).empty());
}

TEST_F(Launcher, WindowHasTheProductClassAndTheTitleScaleFollowsTheWidth) {
    open({"--server", "http://127.0.0.1:9/"});
    std::string names = xprop("WM_CLASS WM_NAME");
    EXPECT_NE(names.find("\"veilstone\", \"veilstone\""), std::string::npos) << names;
    EXPECT_NE(names.find("\"Veilstone Launcher\""), std::string::npos) << names;
    for (std::pair<int, int> size : {std::pair{1024, 8}, {999, 7}, {1000, 8}}) {
        const int width = size.first, scale = size.second;
        if (width != kW) resize(width, 600);
        auto title = [width, scale](const Picture& p) {
            return p.width == width && showsText(p, "VEILSTONE", 48, 60, scale, pal::Gold) &&
                   !showsText(p, "VEILSTONE", 48, 60, 15 - scale, pal::Gold);
        };
        EXPECT_TRUE(title(captureUntil(title))) << width;
    }
}

// What the player sees in each state the launcher can settle in, and what some of them offer.
struct State {
    const char* name;
    const char* button;
    bool enabled;
    const char* status;
    Color statusColor;
    const char* secondLine;  // of a status sentence wrapped in two
    const char* version;
    int barMin, barMax;
    int verifyLink, checkLink;  // 1 enabled, 0 disabled, -1 either
};

void PrintTo(const State& s, std::ostream* os) { *os << s.name; }

class ScreenState : public LauncherTest, public ::testing::WithParamInterface<State> {};

const State kStates[] = {
    {"Checking", "...", false, "Looking for updates", pal::Text, nullptr, "Not installed", 70, 90,
     -1, 0},
    // Several objects download at once: any of them may be the one named.
    {"Downloading", "WORKING", false, "Downloading ", pal::Text, nullptr, nullptr, 100,
     kW - 364 - 100, -1, 0},
    {"UpToDate", "PLAY", true, "Up to date", pal::Text, nullptr, "Installed 1.0", kW - 364 - 4, kW,
     1, 1},
    {"Offline", "PLAY", true, "Offline: playing what is installed", pal::Text, nullptr, nullptr,
     kW - 364 - 4, kW, 0, 1},
    {"FailedWithoutGame", "RETRY", true, "cannot reach the update server", pal::Error, nullptr,
     "Not installed", 0, 0, -1, 1},
    {"FailedWithGame", "PLAY", true, "the server offered a build for", pal::Error,
     "haiku-riscv64-experimental-build", nullptr, 0, 0, 1, 1},
};

TEST_P(ScreenState, ShowsItsButtonStatusAndBar) {
    const State& s = GetParam();
    const std::string name = s.name;
    std::unique_ptr<SilentServer> silent;
    std::unique_ptr<FaultServer> faulty;
    std::string url;
    if (name == "Checking") {
        silent = std::make_unique<SilentServer>();
        url = silent->url();
    } else if (name == "Downloading") {
        makeGame();
        writeText(gameSource() + "/data/big.bin", std::string(2'000'000, 'B'));
        ASSERT_TRUE(publish("1.0"));
        faulty = std::make_unique<FaultServer>(serverDir());
        // Every object stops half-way, so the first download stays on screen.
        for (const Entry& entry : servedManifest(serverDir()).files)
            faulty->stallAfter("/objects/" + entry.hash, entry.packedSize / 2);
        url = faulty->url();
    } else {
        ASSERT_NO_FATAL_FAILURE(serve());
        url = server_.url();
        if (name != "FailedWithoutGame" && name != "UpToDate")
            ASSERT_NO_FATAL_FAILURE(installWithLauncher());
        if (name == "Offline" || name == "FailedWithoutGame") server_.stop();
        if (name == "FailedWithGame") {  // a signed release for another platform
            ASSERT_TRUE(publish("2.0", {"--platform", "haiku-riscv64-experimental-build"}));
            fs::rename(serverDir() + "/manifest-haiku-riscv64-experimental-build.txt",
                       serverDir() + "/manifest-linux64.txt");
        }
    }
    std::vector<std::string> args = {"--server", url};
    if (name == "Downloading" || name == "UpToDate") args.push_back("--install");
    ChildProcess& launcher = open(args);
    auto settled = [&](const Picture& p) {
        return bigButtonShows(p, s.button, s.enabled) &&
               statusShows(p, s.status, s.statusColor, s.secondLine ? 1 : 0) &&
               (!s.secondLine || statusShows(p, s.secondLine, s.statusColor, 2));
    };
    Picture p = captureUntil(settled);
    ASSERT_TRUE(settled(p)) << log();
    if (s.version) EXPECT_TRUE(versionShows(p, s.version));
    EXPECT_GE(barFill(p), s.barMin);
    EXPECT_LE(barFill(p), s.barMax);
    for (auto [row, state] : {std::pair{0, s.verifyLink}, {2, s.checkLink}})
        if (state >= 0) EXPECT_TRUE(menuLinkShows(p, row, state == 1)) << row;
    EXPECT_TRUE(menuLinkShows(p, 1, true)) << "\"Open game folder\" is always enabled";
    if (name == "Downloading")
        EXPECT_TRUE(showsText(p, " of 4: ", 60 + 13 * 12, kH - 98, 2, pal::Text));
    if (name == "Checking") {  // the folder is made on demand, before any install
        click(60, int(kMenuY0 + 38 + 15));
        EXPECT_TRUE(waitFor([&] { return fs::is_directory(gameDir()); }, 5000));
    } else if (name == "FailedWithoutGame") {  // the server is back for RETRY
        ASSERT_TRUE(server_.start());
        click(kBigX + 115, kBigY + 29);
        EXPECT_TRUE(waitForLog("launcher: latest 1.0")) << log();
    } else if (name == "UpToDate") {
        EXPECT_EQ(readText(gameDir() + "/data/notes.txt"), "stone, moss, lantern light\n");
        click(kBigX + 115, kBigY + 29);
        EXPECT_EQ(gameRun(), fs::canonical(gameDir()).string() + "\n0\n");
        EXPECT_TRUE(waitForLog("launcher: started the game"));
        EXPECT_EQ(launcher.wait(30000), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Launcher, ScreenState, ::testing::ValuesIn(kStates),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Launcher, AnUpdateStartsByItselfAndEnterPlays) {
    ASSERT_NO_FATAL_FAILURE(serve());
    ASSERT_NO_FATAL_FAILURE(installWithLauncher());
    writeText(gameSource() + "/data/new.txt", "more\n");
    ASSERT_TRUE(publish("2.0"));
    ChildProcess& launcher = open({"--server", server_.url()});
    auto updated = [](const Picture& p) {
        return versionShows(p, "Installed 2.0") && bigButtonShows(p, "PLAY", true);
    };
    EXPECT_TRUE(updated(captureUntil(updated))) << log();
    EXPECT_EQ(readText(gameDir() + "/data/new.txt"), "more\n");
    key("Return");
    EXPECT_EQ(launcher.wait(30000), 0);
    EXPECT_EQ(gameRun(), fs::canonical(gameDir()).string() + "\n0\n");
}

TEST_F(Launcher, AFailedUpdateWaitsForThePlayerAfterCheckingAgain) {
    ASSERT_NO_FATAL_FAILURE(serve());
    ASSERT_NO_FATAL_FAILURE(installWithLauncher());
    writeText(gameSource() + "/data/new.txt", "more\n");
    ASSERT_TRUE(publish("2.0"));
    fs::remove(serverDir() + "/objects/" + hashBuffer("more\n", 5));  // the new file's object
    ChildProcess& launcher = open({"--server", server_.url()});
    auto failed = [](const Picture& p) {
        return bigButtonShows(p, "PLAY", true) &&
               p.count(60, kH - 114, 660, 40, pal::Error, 6) > 20 && idleShown(p);
    };
    ASSERT_TRUE(failed(captureUntil(failed))) << log();
    std::size_t attempts = server_.countRequests("/objects/");
    click(60, int(kMenuY0 + 76 + 15));  // "Check for updates"
    moveMouse(5, 5);
    std::string size = launcher::sizeText(servedPackedSize(serverDir(), {"data/new.txt"}));
    auto ready = [&](const Picture& p) {
        return bigButtonShows(p, "UPDATE", true) && statusShows(p, size + " to download") &&
               versionShows(p, "Installed 1.0   Latest 2.0");
    };
    EXPECT_TRUE(ready(captureUntil(ready))) << size;
    sleepMs(1500);
    EXPECT_TRUE(ready(capture())) << "the update must wait for the player";
    EXPECT_EQ(server_.countRequests("/objects/"), attempts);
    launcher.kill(15);
}

TEST_F(Launcher, VerifyRepairsAFileChangedAtTheSameSize) {
    ASSERT_NO_FATAL_FAILURE(serve());
    ASSERT_NO_FATAL_FAILURE(installWithLauncher());
    std::string notes = gameDir() + "/data/notes.txt", original = readText(notes);
    writeText(notes, std::string(original.size(), 'x'));
    open({"--server", server_.url()});
    // A quick check trusts sizes and the record: the change goes unnoticed until verified.
    auto upToDate = [](const Picture& p) {
        return statusShows(p, "Up to date") && menuLinkShows(p, 0, true);
    };
    ASSERT_TRUE(upToDate(captureUntil(upToDate)));
    click(60, int(kMenuY0 + 15));
    moveMouse(5, 5);
    auto verified = [](const Picture& p) { return statusShows(p, "Files verified"); };
    EXPECT_TRUE(verified(captureUntil(verified))) << log();
    EXPECT_EQ(readText(notes), original);
}

TEST_F(Launcher, WindowTakesTheGamesIconOnceInstalled) {
    makeGame();
    writeText(gameSource() + "/assets/veilstone.ico", readText(VEILSTONE_ICON_FILE));
    ASSERT_NO_FATAL_FAILURE(serve());
    open({"--server", server_.url()});
    auto notInstalled = [](const Picture& p) { return bigButtonShows(p, "INSTALL", true); };
    ASSERT_TRUE(notInstalled(captureUntil(notInstalled))) << log();
    EXPECT_NE(xprop("_NET_WM_ICON").find("not found"), std::string::npos) << "no game, no icon";
    click(kBigX + 115, kBigY + 29);
    ASSERT_TRUE(waitForLog("launcher: installed")) << log();
    std::string icon;
    for (int waited = 0; waited < 5000; waited += 100, sleepMs(100)) {
        icon = xprop("-notype -f _NET_WM_ICON 32c ' = $0+\\n' _NET_WM_ICON");
        if (icon.find("not found") == std::string::npos) break;
    }
    // Width, height and ARGB from the top row for the 16 and the 32 bitmap; the 32's pixel at
    // (16, 29) is dark gold 170, 102, 35, opaque.
    EXPECT_EQ(icon.find("_NET_WM_ICON = 16, 16, "), 0u) << icon.substr(0, 200);
    EXPECT_NE(icon.find(", 32, 32, "), std::string::npos);
    EXPECT_NE(icon.find(std::to_string(0xFFAA6623u)), std::string::npos);
}

TEST_F(Launcher, ReplacesItselfAndRestartsWithUpdated) {
    // "Another build": the same program with bytes appended, so its hash differs and it still runs.
    std::string newBuild = root() + "/new-launcher", shot = root() + "/after-restart.png";
    writeText(newBuild, readText(launcherPath()) + "another build");
    chmod(newBuild.c_str(), 0755);
    makeGame();
    ASSERT_TRUE(publish("1.0", {"--launcher", newBuild}));
    ASSERT_TRUE(server_.start());

    ChildProcess& old = start({"--server", server_.url(), "--shot", "6:" + shot});
    EXPECT_EQ(old.wait(30000), 0) << output();
    EXPECT_TRUE(readText(launcherPath()) == readText(newBuild)) << "replaced by the new build";
    // The restarted copy has already moved the old run's log aside.
    std::string logs;
    for (const auto& entry : fs::directory_iterator(launcherDir() + "/logs"))
        logs += readText(entry.path().string());
    EXPECT_NE(logs.find("launcher: replaced itself with"), std::string::npos) << logs;

    // The new copy runs detached with the same arguments plus "--updated", in the launcher folder.
    std::string window = waitForWindow();
    ASSERT_FALSE(window.empty());
    std::string pid = xdotool("getwindowpid " + window);
    std::string commandLine = readText("/proc/" + pid.substr(0, pid.find('\n')) + "/cmdline");
    std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
    EXPECT_EQ(commandLine,
              launcherPath() + " --server " + server_.url() + " --shot 6:" + shot + " --updated ");
    // Its start removed the old copy, and it does not update itself again.
    EXPECT_FALSE(fs::exists(launcherPath() + ".old"));
    for (int waited = 0; waited < 20000 && !fs::exists(shot); waited += 100) sleepMs(100);
    EXPECT_TRUE(fs::exists(shot)) << log();
    std::string build = readText(newBuild);
    EXPECT_EQ(server_.countRequests("/objects/" + hashBuffer(build.data(), build.size())), 1u);
}

}  // namespace
}  // namespace kd::test
