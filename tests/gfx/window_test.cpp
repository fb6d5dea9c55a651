// The drawing layer on a real OpenGL 4.5 core context (Mesa under Xvfb): what each primitive puts
// on the screen, and clipping at one and two device pixels per unit. Colours are checked inside
// shapes, away from edges that multisampling blends. Text, the screenshot file and the window
// icon are checked where the player meets them, in the launcher's own tests.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "gfx/gl.h"
#include "gfx/png.h"
#include "gfx/renderer.h"
#include "tests/gfx/log_capture.h"
#include "tests/support/xvfb.h"

namespace kd {
namespace {

class XServer : public ::testing::Environment {
public:
    void SetUp() override {
        xvfb_ = std::make_unique<test::Xvfb>();
        if (xvfb_->ok()) setenv("DISPLAY", xvfb_->display().c_str(), 1);
        ready_ = xvfb_->ok() && glfwInit() == GLFW_TRUE;
    }
    void TearDown() override {
        if (ready_) glfwTerminate();
        xvfb_.reset();
    }
    static inline bool ready_ = false;

private:
    std::unique_ptr<test::Xvfb> xvfb_;
};

const auto* const xServer = ::testing::AddGlobalTestEnvironment(new XServer);

constexpr int kW = 424, kH = 408;
struct Rgb {
    int r, g, b;
};
struct Probe {
    int x, y;  // framebuffer pixel, y from the top
    Rgb rgb;
    int tolerance = 1;
};

constexpr Color kRed{1, 0, 0, 1}, kGreen{0, 1, 0, 1}, kBlue{0, 0, 1, 1}, kWhite{1, 1, 1, 1};
constexpr Rgb kBack{5, 5, 6};  // the clear colour 0.02, 0.018, 0.022 in 8 bits
constexpr Rgb kRedRgb{255, 0, 0}, kGreenRgb{0, 255, 0}, kBlueRgb{0, 0, 255};

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XServer::ready_) GTEST_SKIP() << "no X server";
        glfwDefaultWindowHints();
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
        glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
        glfwWindowHint(GLFW_SAMPLES, 4);
        window_ = glfwCreateWindow(kW, kH, "veilstone gfx test", nullptr, nullptr);
        ASSERT_NE(window_, nullptr) << "no OpenGL 4.5 core context";
        glfwMakeContextCurrent(window_);
        test::LogCapture log;
        ASSERT_EQ(loadGlFunctions(glfwGetProcAddress), 0);
        ASSERT_TRUE(renderer_.init());
        EXPECT_TRUE(log.messages().empty());
        renderer_.beginFrame(kW, kH, kW, kH);
    }
    void TearDown() override {
        if (!window_) return;
        renderer_.shutdown();
        glfwDestroyWindow(window_);
    }

    void endFrameAndExpect(const std::vector<Probe>& probes) {
        renderer_.endFrame();
        std::vector<std::uint8_t> pixels = readFramebufferRgb(kW, kH);
        for (const Probe& p : probes) {
            const std::uint8_t* got = &pixels[(std::size_t(kH - 1 - p.y) * kW + p.x) * 3];
            EXPECT_TRUE(std::abs(got[0] - p.rgb.r) <= p.tolerance &&
                        std::abs(got[1] - p.rgb.g) <= p.tolerance &&
                        std::abs(got[2] - p.rgb.b) <= p.tolerance)
                << "pixel (" << p.x << ", " << p.y << ") is " << int(got[0]) << "," << int(got[1])
                << "," << int(got[2]) << ", expected " << p.rgb.r << "," << p.rgb.g << ","
                << p.rgb.b;
        }
    }

    GLFWwindow* window_ = nullptr;
    Renderer renderer_;
};

TEST_F(Window, ShapesColourTheirInteriors) {
    renderer_.fillRect(20, 20, 60, 40, kRed);
    renderer_.triangle({100, 20, 0, 0, 0, 1, 0, 1, 0}, {180, 20, 0, 0, 0, 1, 0, 1, 0},
                       {100, 100, 0, 0, 0, 1, 0, 1, 0});
    renderer_.chamferRect(200.5f, 20.5f, 100, 60, 12, kBlue, kWhite);
    renderer_.line(20, 150, 120, 150, 6, kGreen);
    renderer_.line(20, 170, 20, 170, 6, kGreen);  // no length or no number: nothing
    renderer_.line(20, 170, NAN, 170, 6, kGreen);
    renderer_.fillRect(20, 200, 60, 40, Color{1, 0, 0, 0.5f});
    renderer_.gradientRect(320, 0, 80, 200, kRed, kBlue);
    renderer_.dot(200, 200, 50, kWhite);
    endFrameAndExpect({
        {50, 40, kRedRgb},
        {10, 10, kBack},
        {110, 30, kGreenRgb},
        {170, 90, kBack},  // beyond the hypotenuse
        {250, 50, kBlueRgb},
        {250, 20, {255, 255, 255}},  // the outline's top edge fills pixel row 20 exactly
        {203, 23, kBack},            // inside a cut corner
        {70, 150, kGreenRgb},
        {70, 160, kBack},
        {20, 170, kBack},
        {50, 220, {130, 2, 3}, 2},  // straight alpha: half red, half background
        {360, 0, {254, 0, 1}, 2},   // the gradient, top to bottom
        {360, 100, {127, 0, 128}, 2},
        {360, 199, {1, 0, 254}, 2},
        {200, 200, {248, 248, 248}, 2},  // dot: (1 - 0.7 / 50)^2 of white at the centre pixel
        {225, 200, {65, 65, 66}, 3},     // (1 - 25.5 / 50)^2 over the background
        {155, 155, kBack, 0},            // the square's corners stay clear
        {245, 245, kBack, 0},
        {400, 400, kBack, 0},
    });
}

TEST_F(Window, ClipsKeepDrawingInsideTheirRectangleAtAnyFramebufferScale) {
    renderer_.fillRect(0, 0, kW, kH, kRed);  // queued before: not clipped
    renderer_.beginClip(50, 40, 100, 60);
    renderer_.fillRect(0, 0, kW, kH, kGreen);
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
    // As on a display with two device pixels per window unit.
    renderer_.beginFrame(kW / 2, kH / 2, kW, kH);
    renderer_.fillRect(10, 10, 20, 20, kRed);
    renderer_.beginClip(50, 50, 10, 10);
    renderer_.fillRect(0, 0, kW, kH, kGreen);
    endFrameAndExpect({{20, 20, kRedRgb},
                       {59, 59, kRedRgb},
                       {61, 61, kBack},
                       {100, 100, kGreenRgb},
                       {119, 119, kGreenRgb},
                       {120, 110, kBack},
                       {99, 110, kBack}});
    // A negative size would be a GL error that keeps the old rectangle: it clips everything.
    renderer_.beginFrame(kW, kH, kW, kH);
    renderer_.beginClip(10, 10, -5, -5);
    renderer_.fillRect(0, 0, kW, kH, kRed);
    endFrameAndExpect({{5, 5, kBack}, {110, 110, kBack}, {200, 200, kBack}});  // 110: the old one
}

}  // namespace
}  // namespace kd
