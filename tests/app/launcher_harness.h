// Drives the real launcher binary in a real window: a private Xvfb, a launcher folder of its own
// with a copy of the executable, releases published by the release tool and served by nginx,
// input through xdotool and pictures of the window through xwd, searched for a text in a colour
// in a region of the screen. What the screen draws without a window is in screen_test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <list>
#include <optional>
#include <thread>

#include "app/ui.h"
#include "gfx/font.h"
#include "gfx/text.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace kd::test {

namespace pal = palette;
constexpr const char* kTesterKey = "TEST-KEY-42";
constexpr int kW = 1024, kH = 620;

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
    // Pixels in the area within tolerance (0..255 units) of the colour.
    int count(Rect a, Color c, int tolerance = 3) const {
        auto near = [&](int got, float want) {
            return std::abs(got - std::lround(want * 255)) <= tolerance;
        };
        int found = 0;
        for (int row = std::max(int(a.y), 0); row < std::min(int(a.y + a.h), height); ++row)
            for (int col = std::max(int(a.x), 0); col < std::min(int(a.x + a.w), width); ++col) {
                const std::uint8_t* p = &rgb[(std::size_t(row) * width + col) * 3];
                found += near(p[0], c.r) && near(p[1], c.g) && near(p[2], c.b);
            }
        return found;
    }
};

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

// The top-left of the text drawn with the launcher's font at this scale in this colour, searched
// for within the area: the middle of every lit font pixel has the colour, and most unlit ones
// do not.
inline std::optional<std::pair<int, int>> findText(const Picture& p, std::string_view text,
                                                   float scale, Color color, Rect a) {
    std::vector<std::pair<int, int>> lit, unlit;
    float pen = 0;
    for (std::size_t pos = 0; pos < text.size(); pen += kGlyphAdvancePx * scale) {
        const std::uint8_t* glyph = FontGlyphs[glyphIndex(utf8Next(text, pos))];
        for (int row = 0; row < kGlyphHeightPx; ++row)
            for (int col = 0; col < kGlyphWidthPx; ++col)
                (glyph[row] >> (kGlyphWidthPx - 1 - col) & 1 ? lit : unlit)
                    .push_back({int(pen + (col + 0.5f) * scale), int((row + 0.5f) * scale)});
    }
    auto has = [&](int x, int y) { return p.count({float(x), float(y), 1, 1}, color, 6) == 1; };
    for (int y = int(a.y); !lit.empty() && y <= int(a.y + a.h); ++y)
        for (int x = int(a.x); x <= int(a.x + a.w); ++x) {
            auto at = [&](std::pair<int, int> o) { return has(x + o.first, y + o.second); };
            if (at(lit[0]) && std::all_of(lit.begin(), lit.end(), at) &&
                std::count_if(unlit.begin(), unlit.end(), at) * 10 <= long(unlit.size()))
                return std::pair{x, y};
        }
    return std::nullopt;
}

// What a picture of the launcher's kW x kH window should show, searched for in a part of it.
using Check = std::function<bool(const Picture&)>;
inline Check text(std::string s, float scale, Color color, Rect where) {
    return [=](const Picture& p) { return findText(p, s, scale, color, where).has_value(); };
}
inline Check no(Check check) {
    return [=](const Picture& p) { return !check(p); };
}
// Functions, not constants: a Check made while the test program starts may run before a constant
// of another translation unit is set.
inline const ScreenLayout& layout() {
    static const ScreenLayout l = screenLayout(kW, kH);
    return l;
}
// The parts of the screen: above the menu, the left column under it, the news panel, the bottom
// panel, and the left edge of the status sentence's lines in it.
inline Rect top() { return {0, 0, layout().newsPanel.x, layout().menuLinks[0].y}; }
inline Rect menu() { return {0, top().h, top().w, kH - top().h}; }
inline Rect news() { return layout().newsPanel; }
inline Rect bottom() { return {0, layout().bottomPanel.y, kW, kH - layout().bottomPanel.y}; }
inline Check status(std::string s, Color color = pal::Text) {
    return text(s, 2, color, {layout().statusX - 1, bottom().y, 2, bottom().h});
}
inline Check button(std::string label, bool enabled = true) {
    return text(label, 4, enabled ? pal::Text : pal::TextDisabled, layout().bigButton);
}
inline Check version(std::string line) { return text(line, 2, pal::TextDim, top()); }
inline Check menuLink(std::string label, bool enabled = true) {
    return text(label, 2, enabled ? pal::TextDim : pal::TextDisabled, menu());
}
// A check has ended, no hover on it.
inline const Check idle = [](const Picture& p) { return menuLink("Check for updates")(p); };
inline const Check dialog = [](const Picture& p) {
    return text("PLAYTESTER KEY", 2, pal::TextDim, layout().dialog)(p);
};
inline Check heading(std::string s) { return text(s, 3, pal::Gold, news()); }

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb_.ok()) << "Xvfb did not start";
        std::filesystem::create_directories(serverDir());
        std::filesystem::create_directories(launcherDir());
        std::filesystem::copy_file(VEILSTONE_LAUNCHER, launcherPath());
    }
    std::string serverDir() const { return root_ / "server"; }
    std::string launcherDir() const { return root_ / "launcher"; }
    std::string gameDir() const { return root_ / "launcher/game"; }
    std::string launcherPath() const { return root_ / "launcher/veilstone-launcher"; }
    std::string settingsPath() const { return root_ / "launcher/launcher.cfg"; }
    std::string settingsFile() const { return readText(settingsPath()); }
    std::string serverLine() const { return "server = " + server_.url() + "\n"; }
    std::string output() const { return readText(lastOutput_); }  // of the last start
    std::string log() const { return readText(launcherDir() + "/logs/latest.log"); }

    // A small game in root_/game whose executable records its folder and argument count into
    // root_/game-ran.
    void makeGame() {
        std::string ran = root_ / "game-ran";
        std::string script = "#!/bin/sh\n{ pwd; echo \"$#\"; } > '" + ran + ".part'\nmv '" + ran +
                             ".part' '" + ran + "'\n";
        writeGame(root_ / "game", {{"veilstone", script},
                                   {"data/level1.dat", std::string(300000, 'L')},
                                   {"data/notes.txt", "stone, moss, lantern light\n"}});
    }
    bool publish(const std::string& version, const std::vector<std::string>& extra = {}) {
        return publishRelease(root_ / "game", serverDir(), version, extra);
    }
    // Publishes the game as Live 1.0, with this news when given, and serves it.
    void serve(const std::string& news = "") {
        makeGame();
        writeText(root_ / "news.txt", news);
        std::vector<std::string> extra;
        if (!news.empty()) extra = {"--news", root_ / "news.txt"};
        ASSERT_TRUE(publish("1.0", extra));
        ASSERT_TRUE(server_.start()) << server_.errorLog();
    }

    // Runs the launcher in its folder; output goes to root_/launcher-N.out.
    ChildProcess& start(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), launcherPath());
        env.insert(env.end(), {"DISPLAY=" + xvfb_.display(), "ASAN_OPTIONS=detect_leaks=0"});
        lastOutput_ = root_ / ("launcher-" + std::to_string(launchers_.size()) + ".out");
        window_.clear();
        return launchers_.emplace_back(args, launcherDir(), env, lastOutput_);
    }
    // start() and wait for the window, with the mouse out of the way.
    ChildProcess& open(const std::vector<std::string>& args) {
        ChildProcess& launcher = start(args);
        EXPECT_FALSE(waitForWindow().empty()) << output();
        moveMouse(5, 5);
        return launcher;
    }
    std::string waitForWindow(int timeoutMs = 15000) {  // empty on time-out
        std::string found = x11("timeout " + std::to_string(timeoutMs / 1000.0) +
                                " xdotool search --sync --onlyvisible --class veilstone");
        return window_ = found.substr(0, found.find('\n'));
    }
    std::string x11(const std::string& command) {
        return runShell("DISPLAY=" + xvfb_.display() + " " + command + " 2>/dev/null");
    }
    std::string xdotool(const std::string& args) { return x11("xdotool " + args); }

    // Input, in window coordinates. A click lets a frame see the hover before the press, then
    // takes the cursor away so that no hover colours the pictures after it.
    void moveMouse(float x, float y) {
        xdotool("mousemove --window " + window_ + " " + std::to_string(int(x)) + " " +
                std::to_string(int(y)));
    }
    void click(float x, float y) {
        moveMouse(x, y);
        sleepMs(60);
        xdotool("click 1");
        sleepMs(60);
        moveMouse(5, 5);
    }
    void clickBigButton() { click(layout().bigButton.x + 115, layout().bigButton.y + 29); }
    // Menu rows: 0 "Verify game files", 1 "Open game folder", 2 "Check for updates".
    void clickMenu(int row) { click(60, layout().menuLinks[row].y + 15); }
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
    // The window as it shows now (the last swapped frame).
    Picture capture() {
        return window_.empty() ? Picture{} : decodeXwd(x11("xwd -silent -id " + window_));
    }
    template <class... Checks>
    bool sees(const Checks&... checks) {  // captures until every check holds
        return waitFor(
            [&] {
                Picture p = capture();
                return p.width > 0 && (checks(p) && ...);
            },
            15000);
    }

    TempDir root_;
    Xvfb xvfb_;
    NginxServer server_{root_ / "server", kTesterKey};
    std::list<ChildProcess> launchers_;
    std::string window_, lastOutput_;
};

}  // namespace kd::test
