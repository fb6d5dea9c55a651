#include "tests/app/launcher_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "gfx/font.h"
#include "gfx/png.h"
#include "gfx/text.h"
#include "tests/support/png_decode.h"

namespace kd::test {

namespace fs = std::filesystem;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {

std::uint8_t channel(float value) { return std::uint8_t(std::lround(value * 255)); }

std::uint32_t big32(const std::string& data, std::size_t at) {
    auto byte = [&](std::size_t i) { return std::uint32_t(std::uint8_t(data[at + i])); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

// xwd's output: a header of 32-bit big-endian fields, a colour map, then the pixels. Only the
// 24-bit TrueColor window format that Xvfb gives is read.
Picture decodeXwd(const std::string& data) {
    Picture picture;
    if (data.size() < 100) return picture;
    std::uint32_t headerSize = big32(data, 0);
    std::uint32_t width = big32(data, 16), height = big32(data, 20);
    std::uint32_t byteOrder = big32(data, 28);
    std::uint32_t bitsPerPixel = big32(data, 44);
    std::uint32_t bytesPerLine = big32(data, 48);
    std::uint32_t colours = big32(data, 76);
    std::size_t pixels = std::size_t(headerSize) + std::size_t(colours) * 12;
    if (bitsPerPixel != 32 || data.size() < pixels + std::size_t(bytesPerLine) * height)
        return picture;
    picture.width = int(width);
    picture.height = int(height);
    picture.rgb.resize(std::size_t(width) * height * 3);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const char* p = data.data() + pixels + std::size_t(y) * bytesPerLine + x * 4;
            std::uint8_t* out = &picture.rgb[(std::size_t(y) * width + x) * 3];
            // LSBFirst: blue, green, red, pad.
            bool lsb = byteOrder == 0;
            out[0] = std::uint8_t(lsb ? p[2] : p[1]);
            out[1] = std::uint8_t(lsb ? p[1] : p[2]);
            out[2] = std::uint8_t(lsb ? p[0] : p[3]);
        }
    }
    return picture;
}

}  // namespace

SilentServer::SilentServer() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        listen(socket_, 16) == 0 &&
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
}

SilentServer::~SilentServer() {
    if (socket_ >= 0) close(socket_);
}

Color Picture::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return {-1, -1, -1, -1};
    const std::uint8_t* p = &rgb[(std::size_t(y) * width + x) * 3];
    return {p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f, 1};
}

int Picture::count(int x, int y, int w, int h, Color color, int tolerance) const {
    int found = 0;
    for (int row = std::max(y, 0); row < std::min(y + h, height); ++row) {
        for (int col = std::max(x, 0); col < std::min(x + w, width); ++col) {
            const std::uint8_t* p = &rgb[(std::size_t(row) * width + col) * 3];
            if (std::abs(p[0] - channel(color.r)) <= tolerance &&
                std::abs(p[1] - channel(color.g)) <= tolerance &&
                std::abs(p[2] - channel(color.b)) <= tolerance)
                ++found;
        }
    }
    return found;
}

Picture readPng(const std::string& path) {
    Picture picture;
    DecodedPng png = decodePng(readBytes(path));
    if (!png.error.empty() || png.colourType != 2) return picture;
    picture.width = int(png.width);
    picture.height = int(png.height);
    picture.rgb = png.pixels;
    return picture;
}

bool writePicture(const Picture& picture, const std::string& path) {
    return !picture.empty() &&
           writePng(path.c_str(), picture.rgb.data(), picture.width, picture.height, 3, false);
}

bool showsText(const Picture& picture, std::string_view text, float x, float y, float scale,
               Color color) {
    int lit = 0, litMatching = 0, unlit = 0, unlitMatching = 0;
    float pen = x;
    std::size_t pos = 0;
    while (pos < text.size()) {
        int glyph = glyphIndex(utf8Next(text, pos));
        float left = std::round(pen), top = std::round(y);
        for (int row = 0; row < kGlyphHeightPx; ++row) {
            for (int col = 0; col < kGlyphWidthPx; ++col) {
                bool on = FontGlyphs[glyph][row] >> (kGlyphWidthPx - 1 - col) & 1;
                int px = int(left + (col + 0.5f) * scale), py = int(top + (row + 0.5f) * scale);
                bool matches = picture.count(px, py, 1, 1, color, 6) == 1;
                (on ? lit : unlit) += 1;
                (on ? litMatching : unlitMatching) += matches;
            }
        }
        pen += kGlyphAdvancePx * scale;
    }
    return lit > 0 && litMatching == lit && unlitMatching * 10 <= unlit;
}

LauncherHarness::LauncherHarness() {
    fs::create_directories(launcherDir());
    fs::copy_file(VEILSTONE_LAUNCHER, launcherPath());
    server_ = std::make_unique<NginxServer>(serverDir(), kTesterKey);
}

LauncherHarness::~LauncherHarness() {
    for (auto& launcher : launchers_) launcher->kill(9);
}

void LauncherHarness::makeGame() {
    std::string game = gameSource();
    writeText(game + "/veilstone",
              "#!/bin/sh\n{ pwd; echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; } > \"" +
                  root_ / "game-ran.part" + "\"\nmv \"" + root_ / "game-ran.part" + "\" \"" +
                  root_ / "game-ran" + "\"\n");
    chmod((game + "/veilstone").c_str(), 0755);
    writeText(game + "/data/level1.dat", std::string(300000, 'L'));
    writeText(game + "/data/notes.txt", "stone, moss, lantern light\n");
}

bool LauncherHarness::publish(const std::string& version, const std::string& channel,
                              const std::string& newsText, const std::string& launcherFile,
                              const std::string& platform) {
    std::string command = std::string(VEILSTONE_RELEASE_TOOL) + " publish --secret " +
                          VEILSTONE_TEST_DATA_DIR + "/demo-release-key.secret --version '" +
                          version + "' --channel " + channel + " --platform '" + platform + "'";
    if (!newsText.empty()) {
        writeText(root_ / "news.txt", newsText);
        command += " --news '" + root_ / "news.txt" + "'";
    }
    if (!launcherFile.empty()) command += " --launcher '" + launcherFile + "'";
    command += " '" + gameSource() + "' '" + serverDir() + "' >/dev/null 2>&1";
    chmod((std::string(VEILSTONE_TEST_DATA_DIR) + "/demo-release-key.secret").c_str(), 0600);
    return system(command.c_str()) == 0;
}

bool LauncherHarness::startServer() {
    fs::create_directories(serverDir());
    return server_->start();
}

ChildProcess& LauncherHarness::start(const std::vector<std::string>& args,
                                     const std::vector<std::string>& env) {
    std::vector<std::string> argv = {launcherPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> environment = {"DISPLAY=" + xvfb_.display(),
                                            "ASAN_OPTIONS=detect_leaks=0"};
    environment.insert(environment.end(), env.begin(), env.end());
    lastOutput_ = root_ / ("launcher-" + std::to_string(launchers_.size()) + ".out");
    launchers_.push_back(
        std::make_unique<ChildProcess>(argv, launcherDir(), environment, lastOutput_));
    window_.clear();
    return *launchers_.back();
}

std::string LauncherHarness::output() const { return readText(lastOutput_); }

std::string LauncherHarness::log() const { return readText(launcherDir() + "/logs/latest.log"); }

bool LauncherHarness::waitForLog(const std::string& text, int timeoutMs) const {
    for (int waited = 0; waited <= timeoutMs; waited += 50) {
        if (log().find(text) != std::string::npos) return true;
        sleepMs(50);
    }
    return false;
}

std::string LauncherHarness::xdotool(const std::string& args) {
    return runShell("DISPLAY=" + xvfb_.display() + " xdotool " + args + " 2>/dev/null");
}

std::string LauncherHarness::waitForWindow(int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 100) {
        std::string found = xdotool("search --onlyvisible --class veilstone");
        if (!found.empty()) {
            window_ = found.substr(0, found.find('\n'));
            return window_;
        }
        sleepMs(100);
    }
    return "";
}

void LauncherHarness::moveMouse(int x, int y) {
    xdotool("mousemove --window " + window_ + " " + std::to_string(x) + " " + std::to_string(y));
}

void LauncherHarness::click(int x, int y) {
    moveMouse(x, y);
    sleepMs(60);  // let a frame see the hover before the press
    xdotool("click 1");
}

void LauncherHarness::key(const std::string& name) {
    xdotool("key --window " + window_ + " " + name);
}

void LauncherHarness::type(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    xdotool("type --window " + window_ + " " + quoted + "'");
}

void LauncherHarness::scroll(int x, int y, int button, int times) {
    moveMouse(x, y);
    sleepMs(60);
    xdotool("click --repeat " + std::to_string(times) + " --delay 30 " + std::to_string(button));
}

void LauncherHarness::setClipboard(const std::string& text) {
    writeText(root_ / "clipboard", text);
    runShell("DISPLAY=" + xvfb_.display() + " xclip -selection clipboard -i '" +
             root_ / "clipboard" + "' >/dev/null 2>&1");
    // xclip serves the text from a copy of itself in the background, which may not own the
    // clipboard yet when the command returns: a paste right away could still get the old text.
    for (int waited = 0; waited <= 3000; waited += 20) {
        int status = -1;
        std::string held = runShell(
            "DISPLAY=" + xvfb_.display() + " xclip -selection clipboard -o 2>/dev/null", &status);
        if (status == 0 && held == text) return;
        sleepMs(20);
    }
}

void LauncherHarness::resize(int width, int height) {
    xdotool("windowsize " + window_ + " " + std::to_string(width) + " " + std::to_string(height));
}

Picture LauncherHarness::capture() {
    if (window_.empty()) return {};
    return decodeXwd(runShell("DISPLAY=" + xvfb_.display() + " xwd -silent -id " + window_ +
                              " 2>/dev/null"));
}

}  // namespace kd::test
