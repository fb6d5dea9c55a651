// The drawing layer on a real OpenGL 4.5 core context (Mesa under Xvfb): what each primitive and
// the font put on the screen, clipping, the screenshot file and the window icon. Colours are
// checked inside shapes, away from edges that multisampling blends.
#include <GLFW/glfw3.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gfx/font.h"
#include "gfx/gl.h"
#include "gfx/icon.h"
#include "gfx/png.h"
#include "gfx/renderer.h"
#include "gfx/text.h"
#include "tests/gfx/ico_builder.h"
#include "tests/gfx/log_capture.h"
#include "tests/support/png_decode.h"

extern char** environ;

namespace kd {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;

constexpr int kWindowWidth = 424;
constexpr int kWindowHeight = 408;
constexpr const char* kWindowTitle = "veilstone gfx window test";

// One X server per test process: Xvfb picks a free display itself (-displayfd), so parallel test
// processes never collide. Falls back to an existing DISPLAY only when Xvfb cannot be started.
class XServer : public ::testing::Environment {
public:
    void SetUp() override {
        startXvfb();
        if (!std::getenv("DISPLAY")) return;
        ready_ = glfwInit() == GLFW_TRUE;
    }
    void TearDown() override {
        if (ready_) glfwTerminate();
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    static bool ready() { return ready_; }

private:
    void startXvfb() {
        int fds[2];
        if (pipe(fds) != 0) return;
        std::string fd = std::to_string(fds[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const char* argv[] = {"Xvfb",        "-displayfd", fd.c_str(), "-screen", "0",
                              "1280x800x24", "-nolisten",  "tcp",      nullptr};
        pid_t pid = -1;
        int spawned =
            posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        std::string display;
        if (spawned == 0) {
            pid_ = pid;
            // Xvfb writes the display number once it accepts connections.
            pollfd p{fds[0], POLLIN, 0};
            char c;
            while (poll(&p, 1, 20000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') display += c;
        }
        close(fds[0]);
        if (!display.empty()) setenv("DISPLAY", (":" + display).c_str(), 1);
    }

    static inline bool ready_ = false;
    pid_t pid_ = -1;
};

const auto* const xServer = ::testing::AddGlobalTestEnvironment(new XServer);

struct Rgb {
    int r, g, b;
};
struct Probe {
    int x, y;  // framebuffer pixel, y from the top
    Rgb rgb;
    int tolerance = 1;
};

constexpr Color kRed{1, 0, 0, 1};
constexpr Color kGreen{0, 1, 0, 1};
constexpr Color kBlue{0, 0, 1, 1};
constexpr Color kWhite{1, 1, 1, 1};
constexpr Rgb kBackgroundRgb{5, 5, 6};  // 0.02, 0.018, 0.022 in 8 bits
constexpr Rgb kRedRgb{255, 0, 0}, kGreenRgb{0, 255, 0}, kBlueRgb{0, 0, 255};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XServer::ready()) GTEST_SKIP() << "no X server: neither Xvfb nor DISPLAY";
        glfwDefaultWindowHints();
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
        glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
        glfwWindowHint(GLFW_SAMPLES, 4);
        glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
        window_ = glfwCreateWindow(kWindowWidth, kWindowHeight, kWindowTitle, nullptr, nullptr);
        ASSERT_NE(window_, nullptr) << "no OpenGL 4.5 core context";
        glfwMakeContextCurrent(window_);
        glfwGetFramebufferSize(window_, &framebufferWidth_, &framebufferHeight_);
        ASSERT_EQ(loadGlFunctions(glfwGetProcAddress), 0);
        ASSERT_TRUE(renderer_.init());
        renderer_.beginFrame(kWindowWidth, kWindowHeight, framebufferWidth_, framebufferHeight_);
    }
    void TearDown() override {
        if (!window_) return;
        renderer_.shutdown();
        glfwDestroyWindow(window_);
    }

    // Ends the frame and checks pixels of the framebuffer it leaves.
    void endFrameAndExpect(const std::vector<Probe>& probes) {
        renderer_.endFrame();
        pixels_ = readFramebufferRgb(framebufferWidth_, framebufferHeight_);
        for (const Probe& p : probes) {
            std::size_t at =
                (std::size_t(framebufferHeight_ - 1 - p.y) * framebufferWidth_ + p.x) * 3;
            Rgb got{pixels_[at], pixels_[at + 1], pixels_[at + 2]};
            EXPECT_TRUE(std::abs(got.r - p.rgb.r) <= p.tolerance &&
                        std::abs(got.g - p.rgb.g) <= p.tolerance &&
                        std::abs(got.b - p.rgb.b) <= p.tolerance)
                << "pixel (" << p.x << ", " << p.y << ") is " << got.r << "," << got.g << ","
                << got.b << ", expected " << p.rgb.r << "," << p.rgb.g << "," << p.rgb.b;
        }
    }

    GLFWwindow* window_ = nullptr;
    int framebufferWidth_ = 0, framebufferHeight_ = 0;
    Renderer renderer_;
    std::vector<std::uint8_t> pixels_;
};

TEST_F(WindowTest, CoreContextLoadsSilentlyAndAnEmptyFrameIsBackground) {
    LogCapture log;
    EXPECT_EQ(loadGlFunctions(glfwGetProcAddress), 0);
    EXPECT_TRUE(log.messages().empty());
    EXPECT_EQ(framebufferWidth_, kWindowWidth);
    std::vector<Probe> everywhere;
    for (int y = 0; y < kWindowHeight; y += 7) {
        for (int x = 0; x < kWindowWidth; x += 7) everywhere.push_back({x, y, kBackgroundRgb});
    }
    endFrameAndExpect(everywhere);
}

TEST_F(WindowTest, ShapesColourTheirInteriors) {
    renderer_.fillRect(20, 20, 60, 40, kRed);
    renderer_.triangle({100, 20, 0, 0, 0, 1, 0, 1, 0}, {180, 20, 0, 0, 0, 1, 0, 1, 0},
                       {100, 100, 0, 0, 0, 1, 0, 1, 0});
    renderer_.chamferRect(200.5f, 20.5f, 100, 60, 12, kBlue, kWhite);
    renderer_.line(20, 150, 120, 150, 6, kGreen);
    renderer_.fillRect(20, 200, 60, 40, Color{1, 0, 0, 0.5f});
    renderer_.gradientRect(320, 0, 80, 200, kRed, kBlue);
    renderer_.dot(200, 200, 50, kWhite);
    endFrameAndExpect({
        {50, 40, kRedRgb},
        {10, 10, kBackgroundRgb},
        {110, 30, kGreenRgb},
        {170, 90, kBackgroundRgb},  // beyond the hypotenuse
        {250, 50, kBlueRgb},
        {250, 20, {255, 255, 255}},  // the outline's top edge fills pixel row 20 exactly
        {203, 23, kBackgroundRgb},   // inside a cut corner
        {70, 150, kGreenRgb},
        {70, 160, kBackgroundRgb},
        {50, 220, {130, 2, 3}, 2},  // straight alpha: half red, half background
        {360, 0, {254, 0, 1}, 2},   // the gradient, top to bottom
        {360, 100, {127, 0, 128}, 2},
        {360, 199, {1, 0, 254}, 2},
        {200, 200, {248, 248, 248}, 2},  // dot: (1 - 0.7 / 50)^2 of white at the centre pixel
        {225, 200, {65, 65, 66}, 3},     // (1 - 25.5 / 50)^2 over the background
        {155, 155, kBackgroundRgb, 0},   // the square's corners stay clear
        {245, 245, kBackgroundRgb, 0},
    });
}

TEST_F(WindowTest, EveryGlyphAppearsAsItsBitmap) {
    const int scale = 4;
    const int left = 20, top = 10, stepX = 6 * scale, stepY = 9 * scale + 3;
    std::vector<std::int32_t> codePoints;
    for (std::int32_t cp = 32; cp < 127; ++cp) codePoints.push_back(cp);
    for (std::uint32_t cp : FontExtraCodePoints) codePoints.push_back(std::int32_t(cp));
    ASSERT_EQ(codePoints.size(), std::size_t(kFontGlyphCount));
    for (int i = 0; i < kFontGlyphCount; ++i) {
        std::string utf8;
        utf8Append(utf8, std::uint32_t(codePoints[i]));
        renderer_.text(utf8, left + stepX * (i % 16), top + stepY * (i / 16), scale, kWhite);
    }
    std::vector<Probe> probes;
    for (int i = 0; i < kFontGlyphCount; ++i) {
        int x0 = left + stepX * (i % 16), y0 = top + stepY * (i / 16);
        for (int r = 0; r < 8; ++r) {
            for (int c = 0; c < 6; ++c) {  // the sixth column stays empty
                bool on = c < 5 && (FontGlyphs[i][r] >> (4 - c) & 1);
                probes.push_back({x0 + scale * c + scale / 2, y0 + scale * r + scale / 2,
                                  on ? Rgb{255, 255, 255} : kBackgroundRgb});
            }
        }
    }
    endFrameAndExpect(probes);
    // Reviewers' copy of the font (docs/font.png): VEILSTONE_FONT_SHEET=path ctest -R Glyph.
    if (const char* sheet = std::getenv("VEILSTONE_FONT_SHEET")) {
        EXPECT_TRUE(writeScreenshot(sheet, framebufferWidth_, framebufferHeight_));
    }
}

TEST_F(WindowTest, ClipKeepsDrawingInsideItsRectangle) {
    renderer_.fillRect(0, 0, kWindowWidth, kWindowHeight, kRed);  // queued before: not clipped
    renderer_.beginClip(50, 40, 100, 60);
    renderer_.fillRect(0, 0, kWindowWidth, kWindowHeight, kGreen);
    renderer_.endClip();
    renderer_.fillRect(0, 0, 10, 10, kBlue);  // after endClip: drawn anywhere
    endFrameAndExpect({{100, 70, kGreenRgb},
                       {50, 40, kGreenRgb},
                       {149, 99, kGreenRgb},
                       {49, 70, kRedRgb},
                       {150, 70, kRedRgb},
                       {100, 39, kRedRgb},
                       {100, 100, kRedRgb},
                       {5, 5, kBlueRgb}});
}

TEST_F(WindowTest, LargerFramebufferScalesShapesAndClips) {
    // As on a display with two device pixels per window unit.
    renderer_.beginFrame(kWindowWidth / 2, kWindowHeight / 2, framebufferWidth_,
                         framebufferHeight_);
    renderer_.fillRect(10, 10, 20, 20, kRed);
    renderer_.beginClip(50, 50, 10, 10);
    renderer_.fillRect(0, 0, kWindowWidth, kWindowHeight, kGreen);
    endFrameAndExpect({{20, 20, kRedRgb},
                       {59, 59, kRedRgb},
                       {61, 61, kBackgroundRgb},
                       {100, 100, kGreenRgb},
                       {119, 119, kGreenRgb},
                       {120, 110, kBackgroundRgb},
                       {99, 110, kBackgroundRgb}});
}

TEST_F(WindowTest, ScreenshotFileHoldsTheWindowTopRowFirst) {
    renderer_.fillRect(0, 0, kWindowWidth, 10, kRed);
    renderer_.fillRect(0, kWindowHeight - 10, kWindowWidth, 10, kBlue);
    endFrameAndExpect({});
    char folder[] = "/tmp/veilstone-gfx-shot-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string path = std::string(folder) + "/shot.png";
    ASSERT_TRUE(writeScreenshot(path.c_str(), framebufferWidth_, framebufferHeight_));
    test::DecodedPng png = test::decodePng(test::readBytes(path));
    fs::remove_all(folder);

    ASSERT_EQ(png.error, "");
    EXPECT_EQ(png.colourType, 2);
    ASSERT_EQ(png.width, std::uint32_t(framebufferWidth_));
    ASSERT_EQ(png.height, std::uint32_t(framebufferHeight_));
    EXPECT_EQ(test::Bytes(png.pixels.begin(), png.pixels.begin() + 3), (test::Bytes{255, 0, 0}));
    std::size_t rowBytes = std::size_t(framebufferWidth_) * 3;
    for (int y = 0; y < framebufferHeight_; ++y) {
        ASSERT_TRUE(std::equal(&png.pixels[y * rowBytes], &png.pixels[y * rowBytes] + rowBytes,
                               &pixels_[(framebufferHeight_ - 1 - y) * rowBytes]))
            << "row " << y;
    }
}

std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
    return out;
}

TEST_F(WindowTest, WindowIconComesFromTheGamesIconFile) {
    char folder[] = "/tmp/veilstone-gfx-install-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string installDir = folder;
    EXPECT_FALSE(loadWindowIcon(installDir, window_));  // no game yet

    fs::create_directories(installDir + "/game/assets");
    test::IcoEntry small;  // 2 x 2, every pixel opaque orange
    small.pixels = {0x20, 0x80, 0xF0, 0xFF, 0x20, 0x80, 0xF0, 0xFF,
                    0x20, 0x80, 0xF0, 0xFF, 0x20, 0x80, 0xF0, 0xFF};
    test::IcoEntry big = small;
    big.side = 3;
    big.bitmapWidth = 3;
    big.storedHeight = 6;
    std::vector<std::uint8_t> ico = test::buildIco({small, big});
    std::ofstream(installDir + "/game/assets/veilstone.ico", std::ios::binary)
        .write(reinterpret_cast<const char*>(ico.data()), std::streamsize(ico.size()));

    EXPECT_TRUE(loadWindowIcon(installDir, window_));
    glfwPollEvents();
    fs::remove_all(installDir);

    // _NET_WM_ICON holds, for each image, width, height and ARGB cardinals from the top row.
    std::string property = run(std::string("xprop -notype -name '") + kWindowTitle +
                               "' -f _NET_WM_ICON 32c ' = $0+\\n' _NET_WM_ICON 2>&1");
    std::string o = std::to_string(0xFFF08020u);
    std::string expected = "_NET_WM_ICON = 2, 2, " + o + ", " + o + ", " + o + ", " + o +
                           ", 3, 3, 0, 0, 0, " + o + ", 0, 0, " + o + ", " + o + ", " + o + "\n";
    EXPECT_EQ(property, expected);
}

TEST_F(WindowTest, GlErrorsAreNamedAndDebugOutputReachesTheLog) {
    constexpr GLenum kNoSuchCapability = 0xBEEF;
    {
        LogCapture log;
        glEnable(kNoSuchCapability);
        glCheckError("test");
        EXPECT_EQ(log.messages("error"),
                  std::vector<std::string>{"GL error at test: GL_INVALID_ENUM (0x500)"});
    }
    LogCapture log;
    enableGlDebugOutput();
    glEnable(kNoSuchCapability);
    glCheckError("drained");
    std::vector<std::string> errors = log.messages("error");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].rfind("[GL] ", 0), 0u) << errors[0];
    EXPECT_EQ(errors[1], "GL error at drained: GL_INVALID_ENUM (0x500)");
}

}  // namespace
}  // namespace kd
