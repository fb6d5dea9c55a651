// Drives the real launcher binary in a real window: a private Xvfb, a launcher folder of its own
// with a copy of the executable, releases published by the release tool and served by nginx,
// input through xdotool and pictures of the window through xwd. Also where things sit on the
// launcher's screen at its default size and how to tell what a capture shows.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/ui.h"
#include "gfx/text.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace kd::test {

namespace pal = palette;
constexpr const char* kTesterKey = "TEST-KEY-42";
constexpr const char* kSettingsHeader = "# Veilstone launcher settings. Written by the launcher.\n";

// An RGB picture of the window, top row first.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    // Pixels in [x, x + w) x [y, y + h) within tolerance (0..255 units) of the colour.
    int count(int x, int y, int w, int h, Color color, int tolerance = 3) const;
};
Picture readPng(const std::string& path);

// True when text drawn with the launcher's font at (x, y) and this scale shows in the colour: the
// middle of every lit font pixel has it, and most unlit ones do not.
bool showsText(const Picture& p, std::string_view text, float x, float y, float scale, Color color);

constexpr int kW = 1024, kH = 620;
constexpr float kTitleBottom = 60 + 8 * 8, kMenuY0 = kTitleBottom + 90;
constexpr float kKeyRowY = kMenuY0 + 132;  // "Playtester key..." or the channel selector
constexpr float kSelectorTop = kKeyRowY + 22, kListTop = kSelectorTop + 38;
constexpr float kDialogX = (kW - 560) / 2.0f, kDialogY = (kH - 220) / 2.0f;
constexpr int kBigX = kW - 280, kBigY = kH - 108;
constexpr float kPanelX = 53 * 8 + 96, kPanelW = kW - kPanelX - 40;  // the news panel
constexpr float kNewsLeft = kPanelX + 22, kNewsTop = 100, kNewsVisible = (kH - 198) - 66;
inline float listRowTop(int row) { return kListTop + 4 + 34 * row; }

bool bigButtonShows(const Picture& p, std::string_view label, bool enabled);
// line 0: a sentence that fits on one line; 1 and 2: the lines of one wrapped in two.
bool statusShows(const Picture& p, std::string_view text, Color color = pal::Text, int line = 0);
bool versionShows(const Picture& p, std::string_view line);
// Menu rows: 0 "Verify game files", 1 "Open game folder", 2 "Check for updates".
bool menuLinkShows(const Picture& p, int row, bool enabled);
int barFill(const Picture& p);  // pixels of the progress bar's middle row off the bare track
bool dialogShown(const Picture& p, float dialogY = kDialogY);
bool keyFieldShows(const Picture& p, std::string_view key);  // exactly this text, "" for none
bool useKeyShows(const Picture& p, bool enabled);
bool listShown(const Picture& p);
bool selectorShows(const Picture& p, std::string_view channel);
bool keyLinkShown(const Picture& p);
bool testingBuildShown(const Picture& p, std::string_view versionLine);
bool idleShown(const Picture& p);  // "Check for updates" enabled, cursor away from it
bool newsHeadingShows(const Picture& p, std::string_view heading);

// A server that accepts connections and never answers: the launcher stays "Checking".
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int socket_ = -1, port_ = 0;
};

void sleepMs(int ms);

class LauncherTest : public ::testing::Test {
protected:
    LauncherTest();
    ~LauncherTest() override;
    void SetUp() override { ASSERT_FALSE(xvfb_.display().empty()) << "Xvfb did not start"; }

    std::string root() const { return root_.path(); }
    std::string gameSource() const { return root_ / "game-src"; }
    std::string serverDir() const { return root_ / "server"; }
    std::string launcherDir() const { return root_ / "launcher"; }
    std::string gameDir() const { return root_ / "launcher/game"; }
    std::string launcherPath() const { return root_ / "launcher/veilstone-launcher"; }
    std::string settingsPath() const { return root_ / "launcher/launcher.cfg"; }
    std::string settingsFile() const { return readText(settingsPath()); }
    std::string serverLine() const { return "server = " + server_->url() + "\n"; }

    // A small game whose executable records its folder and arguments into root()/game-ran.
    void makeGame();
    bool publish(const std::string& version, const std::vector<std::string>& extra = {});
    // Publishes the game as this version (and news) and serves it.
    void serve(const std::string& version, const std::string& news = "");
    // Publishes Live 1.0 and Testing 1.1 with their news, and serves both.
    void serveBoth(const std::string& liveNews, const std::string& testingNews);
    NginxServer& server() { return *server_; }
    std::size_t checksSeen();  // manifest requests on either channel: one per check

    // Runs the launcher in its folder; output goes to root()/launcher-N.out.
    ChildProcess& start(const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {});
    // start() and wait for the window, with the mouse out of the way.
    ChildProcess& open(const std::vector<std::string>& args);
    // A run with "--install" until it has installed, then closed.
    void installWithLauncher();
    // Writes the settings file as the server line plus these lines, opens the launcher and waits
    // until its first check has ended.
    void startIdle(const std::string& settings = "");
    std::string output() const { return readText(lastOutput_); }  // of the last start
    std::string log() const { return readText(launcherDir() + "/logs/latest.log"); }
    std::string waitForWindow(int timeoutMs = 15000);  // empty on time-out
    bool waitForLog(const std::string& text, int timeoutMs = 20000) const;
    std::string gameRun();  // what the game recorded, waiting for it
    std::string xprop(const std::string& properties);
    std::string xdotool(const std::string& args);

    // Input, in window coordinates.
    void click(int x, int y);
    void moveMouse(int x, int y);
    void key(const std::string& name);
    void type(const std::string& text);
    void scroll(int x, int y, int button, int times);
    void setClipboard(const std::string& text);
    void resize(int width, int height);
    void openKeyDialog(int x = 150, int y = int(kKeyRowY) + 15);  // a click on the link
    void openList();

    // The window as it shows now (the last swapped frame).
    Picture capture();
    // Captures until the predicate holds or the time runs out; returns the last capture.
    template <class Predicate>
    Picture captureUntil(Predicate holds, int timeoutMs = 15000) {
        Picture picture;
        for (int waited = 0; waited <= timeoutMs; waited += 150) {
            picture = capture();
            if (picture.width > 0 && holds(picture)) return picture;
            sleepMs(150);
        }
        return picture;
    }

private:
    TempDir root_;
    Xvfb xvfb_;
    std::unique_ptr<NginxServer> server_;
    std::vector<std::unique_ptr<ChildProcess>> launchers_;
    std::string window_, lastOutput_;
};

}  // namespace kd::test
