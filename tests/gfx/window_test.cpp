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

constexpr int kW = 424, kH = 408;
constexpr Color kRed{1, 0, 0, 1}, kGreen{0, 1, 0, 1}, kBlue{0, 0, 1, 1}, kWhite{1, 1, 1, 1};
struct Probe {
    int x, y;  // framebuffer pixel, y from the top
    int r, g, b, tolerance = 1;
};
constexpr Probe at(int x, int y, Probe colour) { return {x, y, colour.r, colour.g, colour.b, 1}; }
constexpr Probe kBack{0, 0, 5, 5, 6}, kRedRgb{0, 0, 255, 0, 0};  // clear colour 0.02, 0.018, 0.022
constexpr Probe kGreenRgb{0, 0, 0, 255, 0}, kBlueRgb{0, 0, 0, 0, 255};

class Window : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        xvfb_ = new test::Xvfb;
        if (xvfb_->ok()) setenv("DISPLAY", xvfb_->display().c_str(), 1);
    }
    static void TearDownTestSuite() { glfwTerminate(), delete xvfb_; }
    void SetUp() override {
        ASSERT_TRUE(xvfb_->ok() && glfwInit() == GLFW_TRUE) << "no X server";
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
        if (window_) renderer_.shutdown(), glfwDestroyWindow(window_);
    }

    void endFrameAndExpect(const std::vector<Probe>& probes) {
        renderer_.endFrame();
        std::vector<std::uint8_t> pixels = readFramebufferRgb(kW, kH);
        for (const Probe& p : probes) {
            const std::uint8_t* got = &pixels[(std::size_t(kH - 1 - p.y) * kW + p.x) * 3];
            EXPECT_TRUE(std::abs(got[0] - p.r) <= p.tolerance &&
                        std::abs(got[1] - p.g) <= p.tolerance &&
                        std::abs(got[2] - p.b) <= p.tolerance)
                << "(" << p.x << ", " << p.y << ") is " << int(got[0]) << "," << int(got[1]) << ","
                << int(got[2]) << ", not " << p.r << "," << p.g << "," << p.b;
        }
    }

    static inline test::Xvfb* xvfb_ = nullptr;
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
        at(50, 40, kRedRgb),
        at(10, 10, kBack),
        at(110, 30, kGreenRgb),
        at(170, 90, kBack),  // beyond the hypotenuse
        at(250, 50, kBlueRgb),
        {250, 20, 255, 255, 255},  // the outline's top edge fills pixel row 20 exactly
        at(203, 23, kBack),        // inside a cut corner
        at(70, 150, kGreenRgb),
        at(70, 160, kBack),
        at(20, 170, kBack),
        {50, 220, 130, 2, 3, 2},  // straight alpha: half red, half background
        {360, 0, 254, 0, 1, 2},   // the gradient, top to bottom
        {360, 100, 127, 0, 128, 2},
        {360, 199, 1, 0, 254, 2},
        {200, 200, 248, 248, 248, 2},  // dot: (1 - 0.7 / 50)^2 of white at the centre pixel
        {225, 200, 65, 65, 66, 3},     // (1 - 25.5 / 50)^2 over the background
        {155, 155, 5, 5, 6, 0},
        {245, 245, 5, 5, 6, 0},  // the square's corners stay clear
    });
}

TEST_F(Window, ClipsKeepDrawingInsideTheirRectangleAtAnyFramebufferScale) {
    renderer_.fillRect(0, 0, kW, kH, kRed);  // queued before: not clipped
    renderer_.beginClip(50, 40, 100, 60);
    renderer_.fillRect(0, 0, kW, kH, kGreen);
    renderer_.endClip();
    renderer_.fillRect(0, 0, 10, 10, kBlue);  // after endClip: drawn anywhere
    endFrameAndExpect({at(100, 70, kGreenRgb), at(50, 40, kGreenRgb), at(149, 99, kGreenRgb),
                       at(49, 70, kRedRgb), at(150, 70, kRedRgb), at(100, 39, kRedRgb),
                       at(100, 100, kRedRgb), at(5, 5, kBlueRgb)});
    // As on a display with two device pixels per window unit.
    renderer_.beginFrame(kW / 2, kH / 2, kW, kH);
    renderer_.fillRect(10, 10, 20, 20, kRed);
    renderer_.beginClip(50, 50, 10, 10);
    renderer_.fillRect(0, 0, kW, kH, kGreen);
    endFrameAndExpect({at(20, 20, kRedRgb), at(59, 59, kRedRgb), at(61, 61, kBack),
                       at(100, 100, kGreenRgb), at(119, 119, kGreenRgb), at(120, 110, kBack),
                       at(99, 110, kBack)});
    // A negative size would be a GL error that keeps the old rectangle: it clips everything.
    renderer_.beginFrame(kW, kH, kW, kH);
    renderer_.beginClip(10, 10, -5, -5);
    renderer_.fillRect(0, 0, kW, kH, kRed);
    endFrameAndExpect({at(5, 5, kBack), at(110, 110, kBack), at(200, 200, kBack)});
}

}  // namespace
}  // namespace kd
