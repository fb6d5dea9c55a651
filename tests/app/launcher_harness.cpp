#include "tests/app/launcher_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "gfx/font.h"
#include "tests/support/png_decode.h"
#include "tests/support/release_fixture.h"

namespace kd::test {

namespace fs = std::filesystem;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int Picture::count(int x, int y, int w, int h, Color color, int tolerance) const {
    auto near = [&](std::uint8_t got, float want) {
        return std::abs(got - int(std::lround(want * 255))) <= tolerance;
    };
    int found = 0;
    for (int row = std::max(y, 0); row < std::min(y + h, height); ++row) {
        for (int col = std::max(x, 0); col < std::min(x + w, width); ++col) {
            const std::uint8_t* p = &rgb[(std::size_t(row) * width + col) * 3];
            found += near(p[0], color.r) && near(p[1], color.g) && near(p[2], color.b);
        }
    }
    return found;
}

Picture readPng(const std::string& path) {
    DecodedPng png = decodePng(readBytes(path));
    if (!png.error.empty() || png.colourType != 2) return {};
    return {int(png.width), int(png.height), png.pixels};
}

// xwd's output: a header of 32-bit big-endian fields, a colour map, then the pixels. Only the
// 32-bit TrueColor format that Xvfb gives is read.
Picture decodeXwd(const std::string& data) {
    auto big32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | std::uint8_t(data[at + i]);
        return v;
    };
    if (data.size() < 100) return {};
    std::uint32_t width = big32(16), height = big32(20), lsb = big32(28) == 0;
    std::uint32_t bytesPerLine = big32(48);
    std::size_t pixels = std::size_t(big32(0)) + std::size_t(big32(76)) * 12;
    if (big32(44) != 32 || data.size() < pixels + std::size_t(bytesPerLine) * height) return {};
    Picture picture{int(width), int(height), std::vector<std::uint8_t>(width * height * 3)};
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const char* p = data.data() + pixels + std::size_t(y) * bytesPerLine + x * 4;
            std::uint8_t* out = &picture.rgb[(std::size_t(y) * width + x) * 3];
            for (int c = 0; c < 3; ++c) out[c] = std::uint8_t(lsb ? p[2 - c] : p[1 + c]);
        }
    }
    return picture;
}

bool showsText(const Picture& p, std::string_view text, float x, float y, float scale, Color color) {
    int lit = 0, litMatching = 0, unlit = 0, unlitMatching = 0;
    float pen = x;
    for (std::size_t pos = 0; pos < text.size(); pen += kGlyphAdvancePx * scale) {
        int glyph = glyphIndex(utf8Next(text, pos));
        for (int row = 0; row < kGlyphHeightPx; ++row) {
            for (int col = 0; col < kGlyphWidthPx; ++col) {
                bool on = FontGlyphs[glyph][row] >> (kGlyphWidthPx - 1 - col) & 1;
                bool matches = p.count(int(std::round(pen) + (col + 0.5f) * scale),
                                       int(std::round(y) + (row + 0.5f) * scale), 1, 1, color, 6);
                (on ? lit : unlit) += 1;
                (on ? litMatching : unlitMatching) += matches;
            }
        }
    }
    return lit > 0 && litMatching == lit && unlitMatching * 10 <= unlit;
}

bool bigButtonShows(const Picture& p, std::string_view label, bool enabled) {
    return showsText(p, label, kBigX + (230 - textWidth(label, 4)) / 2, kBigY + 13, 4,
                     enabled ? pal::Text : pal::TextDisabled);
}
bool statusShows(const Picture& p, std::string_view text, Color color, int line) {
    return showsText(p, text, 60, line == 0 ? kH - 98 : kH - 128 + 18 * line, 2, color);
}
bool versionShows(const Picture& p, std::string_view line) {
    return showsText(p, line, 48, kTitleBottom + 30, 2, pal::TextDim);
}
bool menuLinkShows(const Picture& p, int row, bool enabled) {
    const char* labels[] = {"Verify game files", "Open game folder", "Check for updates"};
    return showsText(p, labels[row], 48, kMenuY0 + 38 * row + 7, 2,
                     enabled ? pal::TextDim : pal::TextDisabled);
}
int barFill(const Picture& p) { return kW - 364 - p.count(60, kH - 66, kW - 364, 1, pal::Shadow, 10); }
bool dialogShown(const Picture& p, float dialogY) {
    return showsText(p, "PLAYTESTER KEY", kDialogX + 22, dialogY + 20, 2, pal::TextDim) &&
           showsText(p, "Paste the key you were given (Ctrl+V).", kDialogX + 22, dialogY + 48, 2,
                     pal::TextDisabled);
}
bool keyFieldShows(const Picture& p, std::string_view key) {
    // Nothing drawn in the field beyond the text (the caret is Accent, not TextBright).
    float end = key.empty() ? kDialogX + 22 : kDialogX + 34 + textWidth(key, 3) + 1;
    return dialogShown(p) &&
           (key.empty() || showsText(p, key, kDialogX + 34, kDialogY + 88, 3, pal::TextBright)) &&
           p.count(int(end), int(kDialogY) + 78, int(kDialogX + 538 - end), 39, pal::TextBright, 6) == 0;
}
bool useKeyShows(const Picture& p, bool enabled) {
    return showsText(p, "USE KEY", kDialogX + 358 + (180 - textWidth("USE KEY", 2)) / 2,
                     kDialogY + 168, 2, enabled ? pal::Text : pal::TextDisabled);
}
bool listShown(const Picture& p) {  // "Change key..." and "Forget key" are always in TextDim
    return showsText(p, "Change key...", 62, listRowTop(2) + 10, 2, pal::TextDim) &&
           showsText(p, "Forget key", 62, listRowTop(3) + 10, 2, pal::TextDim);
}
bool selectorShows(const Picture& p, std::string_view channel) {  // while the engine is idle
    return showsText(p, "BUILD", 48, kKeyRowY, 2, pal::TextDisabled) &&
           showsText(p, channel, 62, kSelectorTop + 11, 2, pal::Text);
}
bool keyLinkShown(const Picture& p) {
    return showsText(p, "Playtester key...", 48, kKeyRowY + 7, 2, pal::TextDim);
}
bool testingBuildShown(const Picture& p, std::string_view versionLine) {
    return showsText(p, "TESTING BUILD", 48 + textWidth(versionLine, 2) + 16, kTitleBottom + 30, 2,
                     pal::Accent);
}
bool idleShown(const Picture& p) { return menuLinkShows(p, 2, true); }
bool newsHeadingShows(const Picture& p, std::string_view heading) {
    return showsText(p, heading, kNewsLeft, kNewsTop, 3, pal::Gold);
}

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

LauncherTest::LauncherTest() {
    fs::create_directories(launcherDir());
    fs::create_directories(serverDir());
    fs::copy_file(VEILSTONE_LAUNCHER, launcherPath());
    server_ = std::make_unique<NginxServer>(serverDir(), kTesterKey);
}

LauncherTest::~LauncherTest() {
    for (auto& launcher : launchers_) launcher->kill(9);
}

void LauncherTest::makeGame() {
    std::string ran = root_ / "game-ran";
    writeGame(gameSource(),
              {{"veilstone", "#!/bin/sh\n{ pwd; echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; "
                             "done; } > '" + ran + ".part'\nmv '" + ran + ".part' '" + ran + "'\n"},
               {"data/level1.dat", std::string(300000, 'L')},
               {"data/notes.txt", "stone, moss, lantern light\n"}});
}

bool LauncherTest::publish(const std::string& version, const std::vector<std::string>& extra) {
    return publishRelease(gameSource(), serverDir(), version, extra);
}

void LauncherTest::serve(const std::string& version, const std::string& news) {
    makeGame();
    writeText(root_ / "news.txt", news);
    ASSERT_TRUE(publish(version, news.empty() ? std::vector<std::string>{}
                                              : std::vector<std::string>{"--news", root_ / "news.txt"}));
    ASSERT_TRUE(server_->start()) << server_->errorLog();
}

void LauncherTest::serveBoth(const std::string& liveNews, const std::string& testingNews) {
    writeText(root_ / "testing.txt", testingNews);
    ASSERT_NO_FATAL_FAILURE(serve("1.0", liveNews));
    ASSERT_TRUE(publish("1.1", {"--channel", "testing", "--news", root_ / "testing.txt"}));
}

std::size_t LauncherTest::checksSeen() {
    return server_->countRequests("/manifest-") + server_->countRequests("/testing/manifest-");
}

ChildProcess& LauncherTest::start(const std::vector<std::string>& args,
                                  const std::vector<std::string>& env) {
    std::vector<std::string> argv = {launcherPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> environment = {"DISPLAY=" + xvfb_.display(),
                                            "ASAN_OPTIONS=detect_leaks=0"};
    environment.insert(environment.end(), env.begin(), env.end());
    lastOutput_ = root_ / ("launcher-" + std::to_string(launchers_.size()) + ".out");
    launchers_.push_back(std::make_unique<ChildProcess>(argv, launcherDir(), environment, lastOutput_));
    window_.clear();
    return *launchers_.back();
}

ChildProcess& LauncherTest::open(const std::vector<std::string>& args) {
    ChildProcess& launcher = start(args);
    EXPECT_FALSE(waitForWindow().empty()) << output();
    moveMouse(5, 5);
    return launcher;
}

void LauncherTest::installWithLauncher() {
    ChildProcess& launcher = start({"--server", server_->url(), "--install"});
    ASSERT_TRUE(waitForLog("launcher: installed")) << log();
    launcher.kill(15);
    launcher.wait(30000);
}

void LauncherTest::startIdle(const std::string& settings) {
    writeText(settingsPath(), serverLine() + settings);
    open({});
    ASSERT_TRUE(idleShown(captureUntil(idleShown))) << log();
}

bool LauncherTest::waitForLog(const std::string& text, int timeoutMs) const {
    for (int waited = 0; waited <= timeoutMs; waited += 50, sleepMs(50))
        if (log().find(text) != std::string::npos) return true;
    return false;
}

std::string LauncherTest::gameRun() {
    for (int waited = 0; waited < 10000 && !fs::exists(root_ / "game-ran"); waited += 50) sleepMs(50);
    return readText(root_ / "game-ran");
}

std::string LauncherTest::xdotool(const std::string& args) {
    return runShell("DISPLAY=" + xvfb_.display() + " xdotool " + args + " 2>/dev/null");
}

std::string LauncherTest::xprop(const std::string& properties) {
    return runShell("DISPLAY=" + xvfb_.display() + " xprop -id " + window_ + " " + properties);
}

std::string LauncherTest::waitForWindow(int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 100, sleepMs(100)) {
        std::string found = xdotool("search --onlyvisible --class veilstone");
        if (!found.empty()) return window_ = found.substr(0, found.find('\n'));
    }
    return "";
}

void LauncherTest::moveMouse(int x, int y) {
    xdotool("mousemove --window " + window_ + " " + std::to_string(x) + " " + std::to_string(y));
}

void LauncherTest::click(int x, int y) {
    moveMouse(x, y);
    sleepMs(60);  // let a frame see the hover before the press
    xdotool("click 1");
}

void LauncherTest::key(const std::string& name) { xdotool("key --window " + window_ + " " + name); }

void LauncherTest::type(const std::string& text) {
    xdotool("type --window " + window_ + " " + shellQuote(text));
}

void LauncherTest::scroll(int x, int y, int button, int times) {
    moveMouse(x, y);
    sleepMs(60);
    xdotool("click --repeat " + std::to_string(times) + " --delay 30 " + std::to_string(button));
}

void LauncherTest::setClipboard(const std::string& text) {
    writeText(root_ / "clipboard", text);
    std::string xclip = "DISPLAY=" + xvfb_.display() + " xclip -selection clipboard ";
    runShell(xclip + "-i '" + root_ / "clipboard" + "' >/dev/null 2>&1");
    // xclip serves the text from a copy of itself in the background, which may not own the
    // clipboard yet when the command returns: a paste right away could still get the old text.
    for (int waited = 0, status = -1; waited <= 3000; waited += 20, sleepMs(20))
        if (runShell(xclip + "-o 2>/dev/null", &status) == text && status == 0) return;
}

void LauncherTest::resize(int width, int height) {
    xdotool("windowsize " + window_ + " " + std::to_string(width) + " " + std::to_string(height));
}

void LauncherTest::openKeyDialog(int x, int y) {
    click(x, y);
    auto shown = [](const Picture& p) { return dialogShown(p); };
    ASSERT_TRUE(shown(captureUntil(shown))) << "the key dialog did not open";
}

void LauncherTest::openList() {
    click(150, int(kSelectorTop) + 18);
    ASSERT_TRUE(listShown(captureUntil(listShown))) << "the channel list did not open";
}

Picture LauncherTest::capture() {
    if (window_.empty()) return {};
    return decodeXwd(runShell("DISPLAY=" + xvfb_.display() + " xwd -silent -id " + window_ +
                              " 2>/dev/null"));
}

}  // namespace kd::test
