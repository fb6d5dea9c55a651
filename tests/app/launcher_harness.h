// Drives the real launcher binary in a real window: a private Xvfb, a launcher folder of its own
// with a copy of the executable, a release published by the release tool and served by nginx,
// input through xdotool and pictures of the window through xwd.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gfx/renderer.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace kd::test {

constexpr const char* kTesterKey = "TEST-KEY-42";

// An RGB picture of the window, top row first.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;

    bool empty() const { return width == 0; }
    Color at(int x, int y) const;
    // Pixels in [x, x + w) x [y, y + h) within tolerance (0..255 units) of the colour.
    int count(int x, int y, int w, int h, Color color, int tolerance = 3) const;
};

Picture readPng(const std::string& path);
// Writes the picture as an RGB PNG file; false when it could not be written.
bool writePicture(const Picture& picture, const std::string& path);

// True when text drawn with the launcher's font at (x, y) and this scale shows in the colour: the
// middle of every lit font pixel has it, and most unlit ones do not.
bool showsText(const Picture& picture, std::string_view text, float x, float y, float scale,
               Color color);

class LauncherHarness {
public:
    LauncherHarness();
    ~LauncherHarness();

    // Game folders and releases. The game is published from gameSource() under this version.
    std::string gameSource() const { return root_ / "game-src"; }
    std::string serverDir() const { return root_ / "server"; }
    std::string launcherDir() const { return root_ / "launcher"; }
    std::string gameDir() const { return root_ / "launcher/game"; }
    std::string launcherPath() const { return root_ / "launcher/veilstone-launcher"; }
    std::string root() const { return root_.path(); }
    // A small game: the executable records its folder and arguments into root()/game-ran.
    void makeGame();
    bool publish(const std::string& version, const std::string& channel = "live",
                 const std::string& newsText = "", const std::string& launcherFile = "",
                 const std::string& platform = "linux64");
    NginxServer& server() { return *server_; }
    bool startServer();

    // Runs the launcher in its folder. Output goes to root()/launcher-N.out.
    ChildProcess& start(const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {});
    std::string output() const;  // of the last start
    std::string log() const;     // launcher/logs/latest.log
    // Waits for the launcher's window; empty on time-out.
    std::string waitForWindow(int timeoutMs = 15000);
    // Waits until the log holds the text.
    bool waitForLog(const std::string& text, int timeoutMs = 20000) const;

    // Input, in window coordinates.
    void click(int x, int y);
    void moveMouse(int x, int y);
    void key(const std::string& name);
    void type(const std::string& text);
    void scroll(int x, int y, int button, int times);
    void setClipboard(const std::string& text);
    void resize(int width, int height);

    // The window as it shows now (the last swapped frame).
    Picture capture();
    // Captures until the predicate holds or the time runs out; returns the last capture.
    template <class Predicate>
    Picture captureUntil(Predicate holds, int timeoutMs = 15000);

    std::string display() const { return xvfb_.display(); }
    std::string window() const { return window_; }

private:
    TempDir root_;
    Xvfb xvfb_;
    std::unique_ptr<NginxServer> server_;
    std::vector<std::unique_ptr<ChildProcess>> launchers_;
    std::string window_;
    std::string lastOutput_;

    std::string xdotool(const std::string& args);
};

void sleepMs(int ms);

// A server that accepts connections and never answers: the launcher stays "Checking".
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int socket_ = -1;
    int port_ = 0;
};

template <class Predicate>
Picture LauncherHarness::captureUntil(Predicate holds, int timeoutMs) {
    Picture picture;
    for (int waited = 0; waited <= timeoutMs; waited += 150) {
        picture = capture();
        if (!picture.empty() && holds(picture)) return picture;
        sleepMs(150);
    }
    return picture;
}

}  // namespace kd::test
