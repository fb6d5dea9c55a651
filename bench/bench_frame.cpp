// What does one frame cost? Under Xvfb with the real GL backend, builds a draw list as busy as the
// launcher's screen (background, 70 embers, title, menu, a page of news with wrapped text, panels,
// the big button) many times and prints the processor time to build the list, the time of the
// whole frame with the backend's draw calls, the vertex count, and whether the list reallocated
// after the first frames. Then the news panel as the launcher draws it, with short news and with
// 1 MB of news, and the frame rate of the long one as a ratio to the short one; for comparison also
// with the news laid out anew every frame.
//   bench_frame [--frames=N]
#include <GLFW/glfw3.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/ui.h"
#include "gfx/gl_backend.h"
#include "gfx/text.h"
#include "tests/support/xvfb.h"
#include "update/updater.h"

using namespace kd;
namespace pal = palette;

namespace {

constexpr float kW = 1024, kH = 620;

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

const char* const kNews =
    "# Veilstone 0.9.2\n"
    "**The lanterns are lit**\n"
    "The caverns below Greyhollow are open to every explorer, and the old mine carts run again "
    "between the eastern reach and the sunken archive.\n"
    "\n"
    "- Faster **loading** of the deep levels, especially on slow disks\n"
    "- New tunnels in the eastern reach, with three hidden shrines\n"
    "- Fixed a rare crash when a lantern ran out of oil while climbing\n"
    "- Smoother climbing on wet stone\n"
    "- The map remembers where you dropped your pack\n"
    "\n"
    "# Patch 0.9.1\n"
    "A small patch with fixes reported by the community during the first week.\n"
    "- Rope bridges no longer sway when nobody stands on them\n"
    "- Music volume is kept between sessions\n";

// The launcher's screen, piece by piece, without the update engine.
void buildFrame(DrawList& r, float t) {
    r.beginFrame(int(kW), int(kH), int(kW), int(kH));
    r.gradientRect(0, 0, kW, kH, {0.03f, 0.028f, 0.036f, 1}, {0.07f, 0.035f, 0.025f, 1});
    r.dot(0.3f * kW, 1.05f * kH, 0.95f * kH, fade(pal::Ember, 0.5f));
    r.dot(0.3f * kW, 1.02f * kH, 0.45f * kH, fade(pal::Glow, 0.2f));
    for (int i = 0; i < 70; ++i) {
        float x = 60 + 8.5f * i, y = kH - std::fmod(37.0f * i + 40 * t, kH);
        r.dot(x, y, 10, fade(pal::Glow, 0.2f));
        r.fillRect(x - 1, y - 1, 2.5f, 2.5f, pal::Gold);
    }
    r.dot(48 + 212, 92, 160, fade(pal::Glow, 0.16f));
    r.text("VEILSTONE", 52, 66, 8, pal::Shadow);
    r.text("VEILSTONE", 48, 60, 8, pal::Gold);
    r.fillRect(48, 140, 424, 1, fade(pal::GoldDim, 0.6f));
    r.text("Installed 0.9.2   Latest 0.9.3", 48, 154, 2, pal::TextDim);
    UiInput input{5, 5, false, false};
    const char* links[] = {"Verify game files", "Open game folder", "Check for updates",
                           "Playtester key..."};
    for (int i = 0; i < 4; ++i)
        uiButton(r, input, links[i], true, false, {48, 214.0f + 40 * i, 260, 30}, 2);
    r.chamferRect(520, 48, 464, 422, 10, pal::Panel, fade(pal::Bronze, 0.9f));
    r.text("WHAT'S NEW", 542, 66, 2, pal::TextDim);
    r.beginClip(542, 100, 420, 356);
    drawNews(r, kNews, 542, 100, 408);
    r.endClip();
    r.chamferRect(40, kH - 118, kW - 80, 78, 10, pal::PanelDark, fade(pal::Bronze, 0.9f));
    uiButton(r, input, "UPDATE", true, true, {kW - 280, kH - 108, 230, 58}, 4);
    r.text(wrapText("Downloading 12 of 400: data/part12.dat", 2, kW - 364)[0], 60, kH - 98, 2,
           pal::Text);
    r.fillRect(60, kH - 70, kW - 364, 10, pal::Shadow);
    r.gradientRect(60, kH - 69, 300, 9, pal::Accent, pal::Ember);
    r.dot(360, kH - 65, 26, fade(pal::Glow, 0.5f));
}

std::string longNews() {
    std::string news;
    while (news.size() < 1000000) news += kNews;
    return news;
}

// Frames per second of the news panel alone, finished on the GPU side. relayout lays the text out
// anew every frame, as a panel without a kept layout would.
double newsPanelRate(GlBackend& backend, const std::string& news, int frames, bool relayout) {
    LauncherUi ui;
    launcher::UpdaterStatus status;
    status.news = news;
    FrameInput input;
    DrawList list;
    const double start = glfwGetTime();
    for (int i = 0; i < frames; ++i) {
        if (relayout) ui.news = NewsLayout();
        list.beginFrame(int(kW), int(kH), int(kW), int(kH));
        drawNewsPanel(ui, list, status, input, screenLayout(kW, kH), 1.0f / 60);
        backend.draw(list);
        backend.readPixels(1, 1);
    }
    return frames / (glfwGetTime() - start);
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 600;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--frames=", 9) == 0) frames = std::atoi(argv[i] + 9);
    test::Xvfb xvfb;
    if (!xvfb.ok()) {
        fprintf(stderr, "frame: Xvfb did not start\n");
        return 1;
    }
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    if (!glfwInit()) return 1;
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
    glfwWindowHint(GLFW_SAMPLES, 4);
    GLFWwindow* window = glfwCreateWindow(int(kW), int(kH), "bench", nullptr, nullptr);
    if (!window) return 1;
    glfwMakeContextCurrent(window);
    GlBackend backend;
    if (std::string error; !backend.init(glfwGetProcAddress, error)) {
        fprintf(stderr, "frame: %s\n", error.c_str());
        return 1;
    }

    // The draw list alone: the frame built without the draw calls.
    DrawList counter;
    std::size_t vertices = 0;
    double buildSeconds = 0;
    const void* firstData = nullptr;
    std::size_t firstCapacity = 0;
    bool reallocated = false;
    for (int i = 0; i < frames; ++i) {
        double start = threadSeconds();
        buildFrame(counter, float(i) / 60);
        buildSeconds += threadSeconds() - start;
        vertices = counter.vertices.size();
        if (i == 2) {
            firstData = counter.vertices.data();
            firstCapacity = counter.vertices.capacity();
        } else if (i > 2 && (counter.vertices.data() != firstData ||
                             counter.vertices.capacity() != firstCapacity)) {
            reallocated = true;
        }
    }

    // The whole frame with the backend's draw calls, finished on the GPU side.
    DrawList list;
    double frameSeconds = 0;
    const double wallStart = glfwGetTime();
    for (int i = 0; i < frames; ++i) {
        double start = threadSeconds();
        buildFrame(list, float(i) / 60);
        backend.draw(list);
        backend.readPixels(1, 1);  // as glFinish: waits until the GPU has finished the frame
        frameSeconds += threadSeconds() - start;
    }
    const double wallPerFrame = (glfwGetTime() - wallStart) / frames;
    printf(
        "frame: %zu vertices; %.3f ms CPU to build the vertex list, %.3f ms for the whole frame "
        "on the drawing thread with its draw calls, %.2f ms until the GPU finished; vertex "
        "list %s after the first frames\n",
        vertices, buildSeconds * 1000 / frames, frameSeconds * 1000 / frames, wallPerFrame * 1000,
        reallocated ? "REALLOCATED" : "reused, no allocation");
    const double shortRate = newsPanelRate(backend, kNews, frames, false);
    const double longRate = newsPanelRate(backend, longNews(), frames, false);
    const double relayoutRate = newsPanelRate(backend, longNews(), std::min(frames, 20), true);
    printf(
        "frame: news panel %.0f frames/s with short news, %.0f with 1 MB (%.2f x short); "
        "laid out every frame %.1f (%.3f x short)\n",
        shortRate, longRate, longRate / shortRate, relayoutRate, relayoutRate / shortRate);
    backend.shutdown();
    glfwDestroyWindow(window);
    glfwTerminate();
    return reallocated ? 1 : 0;
}
