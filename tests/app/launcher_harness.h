// Drives the real launcher binary in a real window: a private Xvfb, a launcher folder of its own
// with a copy of the executable, releases published by the release tool and served by nginx,
// input through xdotool and pictures of the window through xwd. Also where things sit on the
// launcher's screen at its default size and how to tell what a picture shows.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "app/ui.h"
#include "gfx/font.h"
#include "gfx/text.h"
#include "tests/support/child_process.h"
#include "tests/support/fault_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/png_decode.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace kd::test {

namespace pal = palette;
constexpr const char* kTesterKey = "TEST-KEY-42";
constexpr const char* kSettingsHeader = "# Veilstone launcher settings. Written by the launcher.\n";

inline void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
template <class Predicate>
bool waitFor(Predicate holds, int timeoutMs = 20000) {
    for (int waited = 0; waited <= timeoutMs; waited += 50, sleepMs(50))
        if (holds()) return true;
    return false;
}

// An RGB picture of the window, top row first.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    // Pixels in [x, x + w) x [y, y + h) within tolerance (0..255 units) of the colour.
    int count(int x, int y, int w, int h, Color c, int tolerance = 3) const {
        auto near = [&](int got, float want) {
            return std::abs(got - std::lround(want * 255)) <= tolerance;
        };
        int found = 0;
        for (int row = std::max(y, 0); row < std::min(y + h, height); ++row)
            for (int col = std::max(x, 0); col < std::min(x + w, width); ++col) {
                const std::uint8_t* p = &rgb[(std::size_t(row) * width + col) * 3];
                found += near(p[0], c.r) && near(p[1], c.g) && near(p[2], c.b);
            }
        return found;
    }
};

inline Picture readPng(const std::string& path) {
    DecodedPng png = decodePng(readBytes(path));
    if (!png.error.empty() || png.colourType != 2) return {};
    return {int(png.width), int(png.height), png.pixels};
}

// xwd's output: a header of 32-bit big-endian fields, a colour map, then the pixels. Only the
// 32-bit TrueColor format that Xvfb gives is read.
inline Picture decodeXwd(const std::string& data) {
    auto big32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | std::uint8_t(data[at + i]);
        return v;
    };
    if (data.size() < 100) return {};
    std::uint32_t width = big32(16), height = big32(20), lsb = big32(28) == 0, line = big32(48);
    std::size_t start = std::size_t(big32(0)) + std::size_t(big32(76)) * 12;
    if (big32(44) != 32 || data.size() < start + std::size_t(line) * height) return {};
    Picture picture{int(width), int(height), std::vector<std::uint8_t>(width * height * 3)};
    for (std::size_t i = 0; i < picture.rgb.size(); ++i)
        picture.rgb[i] = std::uint8_t(
            data[start + i / 3 / width * line + i / 3 % width * 4 + (lsb ? 2 - i % 3 : 1 + i % 3)]);
    return picture;
}

// True when text drawn with the launcher's font at (x, y) and this scale shows in the colour: the
// middle of every lit font pixel has it, and most unlit ones do not.
inline bool showsText(const Picture& p, std::string_view text, float x, float y, float scale,
                      Color color) {
    int lit = 0, litMatching = 0, unlit = 0, unlitMatching = 0;
    float pen = x;
    for (std::size_t pos = 0; pos < text.size(); pen += kGlyphAdvancePx * scale) {
        int glyph = glyphIndex(utf8Next(text, pos));
        for (int row = 0; row < kGlyphHeightPx; ++row)
            for (int col = 0; col < kGlyphWidthPx; ++col) {
                bool on = FontGlyphs[glyph][row] >> (kGlyphWidthPx - 1 - col) & 1;
                bool matches = p.count(int(std::round(pen) + (col + 0.5f) * scale),
                                       int(std::round(y) + (row + 0.5f) * scale), 1, 1, color, 6);
                (on ? lit : unlit) += 1;
                (on ? litMatching : unlitMatching) += matches;
            }
    }
    return lit > 0 && litMatching == lit && unlitMatching * 10 <= unlit;
}

constexpr int kW = 1024, kH = 620;
constexpr float kTitleBottom = 60 + 8 * 8, kMenuY0 = kTitleBottom + 90;
constexpr float kKeyRowY = kMenuY0 + 132;  // "Playtester key..." or the channel selector
constexpr float kSelectorTop = kKeyRowY + 22, kListTop = kSelectorTop + 38;
constexpr float kDialogX = (kW - 560) / 2.0f, kDialogY = (kH - 220) / 2.0f;
constexpr int kBigX = kW - 280, kBigY = kH - 108;
constexpr float kPanelX = 53 * 8 + 96, kPanelW = kW - kPanelX - 40;  // the news panel
constexpr float kNewsLeft = kPanelX + 22, kNewsTop = 100, kNewsVisible = (kH - 198) - 66;
inline float listRowTop(int row) { return kListTop + 4 + 34 * row; }

// What a picture should show; LauncherTest::sees waits for one where all of them hold.
using Check = std::function<bool(const Picture&)>;
inline Check text(std::string s, float x, float y, float scale, Color color) {
    return [=](const Picture& p) { return showsText(p, s, x, y, scale, color); };
}
inline Check no(Check check) {
    return [=](const Picture& p) { return !check(p); };
}
inline Check button(std::string label, bool enabled = true) {
    return text(label, kBigX + (230 - textWidth(label, 4)) / 2, kBigY + 13, 4,
                enabled ? pal::Text : pal::TextDisabled);
}
// line 0: a sentence that fits on one line; 1 and 2: the lines of one wrapped in two.
inline Check status(std::string s, Color color = pal::Text, int line = 0) {
    return text(s, 60, line == 0 ? kH - 98 : kH - 128 + 18 * line, 2, color);
}
inline Check version(std::string line) {
    return text(line, 48, kTitleBottom + 30, 2, pal::TextDim);
}
// Menu rows: 0 "Verify game files", 1 "Open game folder", 2 "Check for updates".
inline Check menuLink(int row, bool enabled = true) {
    const char* labels[] = {"Verify game files", "Open game folder", "Check for updates"};
    return text(labels[row], 48, kMenuY0 + 38 * row + 7, 2,
                enabled ? pal::TextDim : pal::TextDisabled);
}
inline const Check idle = menuLink(2);  // a check has ended; the cursor is away
inline bool dialogShown(const Picture& p, float dialogY = kDialogY) {
    return showsText(p, "PLAYTESTER KEY", kDialogX + 22, dialogY + 20, 2, pal::TextDim) &&
           showsText(p, "Paste the key you were given (Ctrl+V).", kDialogX + 22, dialogY + 48, 2,
                     pal::TextDisabled);
}
inline const Check dialog = [](const Picture& p) { return dialogShown(p); };
inline const Check list = [](const Picture& p) {  // these two rows are always TextDim
    return showsText(p, "Change key...", 62, listRowTop(2) + 10, 2, pal::TextDim) &&
           showsText(p, "Forget key", 62, listRowTop(3) + 10, 2, pal::TextDim);
};
inline Check selector(std::string channel) {  // while idle
    return [=](const Picture& p) {
        return showsText(p, "BUILD", 48, kKeyRowY, 2, pal::TextDisabled) &&
               showsText(p, channel, 62, kSelectorTop + 11, 2, pal::Text);
    };
}
inline const Check keyLink = text("Playtester key...", 48, kKeyRowY + 7, 2, pal::TextDim);
inline Check testingBuild(std::string_view versionLine) {
    return text("TESTING BUILD", 48 + textWidth(versionLine, 2) + 16, kTitleBottom + 30, 2,
                pal::Accent);
}
inline Check heading(std::string s) { return text(s, kNewsLeft, kNewsTop, 3, pal::Gold); }

class LauncherTest : public ::testing::Test {
protected:
    LauncherTest() {
        std::filesystem::create_directories(serverDir());
        std::filesystem::create_directories(launcherDir());
        std::filesystem::copy_file(VEILSTONE_LAUNCHER, launcherPath());
    }
    void SetUp() override { ASSERT_TRUE(xvfb_.ok()) << "Xvfb did not start"; }

    std::string root() const { return root_.path(); }
    std::string gameSource() const { return root_ / "game-src"; }
    std::string serverDir() const { return root_ / "server"; }
    std::string launcherDir() const { return root_ / "launcher"; }
    std::string gameDir() const { return root_ / "launcher/game"; }
    std::string launcherPath() const { return root_ / "launcher/veilstone-launcher"; }
    std::string settingsPath() const { return root_ / "launcher/launcher.cfg"; }
    std::string settingsFile() const { return readText(settingsPath()); }
    std::string serverLine() const { return "server = " + server_.url() + "\n"; }
    std::string output() const { return readText(lastOutput_); }  // of the last start
    std::string log() const { return readText(launcherDir() + "/logs/latest.log"); }

    // A small game whose executable records its folder and argument count into root()/game-ran.
    void makeGame() {
        std::string ran = root_ / "game-ran";
        writeGame(gameSource(), {{"veilstone", "#!/bin/sh\n{ pwd; echo \"$#\"; } > '" + ran +
                                                   ".part'\nmv '" + ran + ".part' '" + ran + "'\n"},
                                 {"data/level1.dat", std::string(300000, 'L')},
                                 {"data/notes.txt", "stone, moss, lantern light\n"}});
    }
    bool publish(const std::string& version, const std::vector<std::string>& extra = {}) {
        return publishRelease(gameSource(), serverDir(), version, extra);
    }
    // Publishes the game as this version with this news, and serves it.
    void serve(const std::string& version = "1.0", const std::string& news = "") {
        makeGame();
        writeText(root_ / "news.txt", news);
        std::vector<std::string> extra;
        if (!news.empty()) extra = {"--news", root_ / "news.txt"};
        ASSERT_TRUE(publish(version, extra));
        ASSERT_TRUE(server_.start()) << server_.errorLog();
    }
    // Live 1.0 and Testing 1.1 with their news.
    void serveBoth(const std::string& liveNews, const std::string& testingNews) {
        writeText(root_ / "testing.txt", testingNews);
        ASSERT_NO_FATAL_FAILURE(serve("1.0", liveNews));
        ASSERT_TRUE(publish("1.1", {"--channel", "testing", "--news", root_ / "testing.txt"}));
    }
    std::size_t checksSeen() {  // manifest requests on either channel: one per check
        return server_.countRequests("/manifest-") + server_.countRequests("/testing/manifest-");
    }

    // Runs the launcher in its folder; output goes to root()/launcher-N.out.
    ChildProcess& start(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        std::vector<std::string> environment = {"DISPLAY=" + xvfb_.display(),
                                                "ASAN_OPTIONS=detect_leaks=0"};
        args.insert(args.begin(), launcherPath());
        environment.insert(environment.end(), env.begin(), env.end());
        lastOutput_ = root_ / ("launcher-" + std::to_string(launchers_.size()) + ".out");
        launchers_.push_back(
            std::make_unique<ChildProcess>(args, launcherDir(), environment, lastOutput_));
        window_.clear();
        return *launchers_.back();
    }
    // start() and wait for the window, with the mouse out of the way.
    ChildProcess& open(const std::vector<std::string>& args) {
        ChildProcess& launcher = start(args);
        EXPECT_FALSE(waitForWindow().empty()) << output();
        moveMouse(5, 5);
        return launcher;
    }
    void installWithLauncher() {  // a run with "--install" until it has installed
        ChildProcess& launcher = start({"--server", server_.url(), "--install"});
        ASSERT_TRUE(waitForLog("launcher: installed")) << log();
        launcher.kill(15);
        launcher.wait(30000);
    }
    // The settings file as the server line plus these lines; waits until the first check ended.
    void startIdle(const std::string& settings = "") {
        writeText(settingsPath(), serverLine() + settings);
        open({});
        ASSERT_TRUE(sees(idle)) << log();
    }
    std::string waitForWindow(int timeoutMs = 15000) {  // empty on time-out
        std::string found = x11("timeout " + std::to_string(timeoutMs / 1000.0) +
                                " xdotool search --sync --onlyvisible --class veilstone");
        return window_ = found.substr(0, found.find('\n'));
    }
    bool waitForLog(const std::string& text) const {
        return waitFor([&] { return log().find(text) != std::string::npos; });
    }
    std::string gameRun() {  // what the game recorded
        waitFor([&] { return std::filesystem::exists(root_ / "game-ran"); }, 10000);
        return readText(root_ / "game-ran");
    }
    std::string x11(const std::string& command) {
        return runShell("DISPLAY=" + xvfb_.display() + " " + command + " 2>/dev/null");
    }
    std::string xdotool(const std::string& args) { return x11("xdotool " + args); }
    std::string xprop(const std::string& args) { return x11("xprop -id " + window_ + " " + args); }

    // Input, in window coordinates. A click lets a frame see the hover before the press, then
    // takes the cursor away so that no hover colours the pictures after it.
    void moveMouse(int x, int y) {
        xdotool("mousemove --window " + window_ + " " + std::to_string(x) + " " +
                std::to_string(y));
    }
    void click(int x, int y) {
        moveMouse(x, y);
        sleepMs(60);
        xdotool("click 1");
        sleepMs(60);
        moveMouse(5, 5);
    }
    void clickBigButton() { click(kBigX + 115, kBigY + 29); }
    void clickMenu(int row) { click(60, int(kMenuY0) + 38 * row + 15); }
    void key(const std::string& name) { xdotool("key --window " + window_ + " " + name); }
    void type(const std::string& text) {
        xdotool("type --window " + window_ + " " + shellQuote(text));
    }
    void scroll(int x, int y, int button, int times) {
        moveMouse(x, y);
        sleepMs(60);
        xdotool("click --repeat " + std::to_string(times) + " --delay 30 " +
                std::to_string(button));
    }
    void resize(int width, int height) {
        xdotool("windowsize " + window_ + " " + std::to_string(width) + " " +
                std::to_string(height));
    }
    void openList() {
        click(150, int(kSelectorTop) + 18);
        ASSERT_TRUE(sees(list)) << "the channel list did not open";
    }
    void pickFromList(int row) {
        ASSERT_NO_FATAL_FAILURE(openList());
        click(150, int(listRowTop(row)) + 17);
    }

    // The window as it shows now (the last swapped frame).
    Picture capture() {
        return window_.empty() ? Picture{} : decodeXwd(x11("xwd -silent -id " + window_));
    }
    // Captures until the predicate holds or the time runs out; returns the last capture.
    template <class Predicate>
    Picture captureUntil(Predicate holds, int timeoutMs = 15000) {
        Picture p;
        waitFor([&] { return (p = capture()).width > 0 && holds(p); }, timeoutMs);
        return p;
    }
    // Captures until every check holds; the last capture stays in shot_ for further looks.
    template <class... Checks>
    bool sees(const Checks&... checks) {
        auto all = [&](const Picture& p) { return (checks(p) && ...); };
        return all(shot_ = captureUntil(all));
    }

    TempDir root_;
    Xvfb xvfb_;
    NginxServer server_{root_ / "server", kTesterKey};
    std::vector<std::unique_ptr<ChildProcess>> launchers_;
    std::string window_, lastOutput_;
    Picture shot_;
};

}  // namespace kd::test
