// veilstone-launcher: finds its folder, opens the log, reads its settings and command line, opens
// the window, starts the update engine and runs the frame loop until the window closes, the game
// starts, a screenshot is written or a new launcher copy has taken over.
#include <GLFW/glfw3.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/paths.h"
#include "app/process.h"
#include "app/requests.h"
#include "app/settings.h"
#include "app/ui.h"
#include "app/window_view.h"
#include "base/base.h"
#include "gfx/gl_backend.h"
#include "gfx/icon.h"
#include "gfx/png.h"
#include "log/log.h"
#include "update/updater.h"

namespace {

using namespace kd;
namespace fs = std::filesystem;

constexpr int kWindowWidth = 1024;
constexpr int kWindowHeight = 620;
constexpr int kMinWindowWidth = 820;
constexpr int kMinWindowHeight = 520;
constexpr int kKeepLogs = 5;
constexpr double kMaxFrameStepSeconds = 0.1;
constexpr double kMinimisedWaitSeconds = 0.1;
constexpr double kFallbackRefreshHz = 60;
constexpr double kIconRetrySeconds = 1.0;
constexpr int kGpuSamples = 4;
// A software rasteriser spends a good part of a core on every frame: it draws less often and
// without multisampling. 20 frames a second still keep the embers and the progress bar fluid.
constexpr double kSoftwareFrameSeconds = 1.0 / 20;
// Without focus, or under another window, nobody watches closely.
constexpr double kBackgroundFrameSeconds = 0.1;
constexpr double kSoftwareBackgroundFrameSeconds = 0.2;
// Asking the X server costs round trips; a few times a second notices a change soon enough.
constexpr double kViewCheckSeconds = 0.1;

// Set by SIGTERM or SIGINT: the loop then ends as if the window were closed.
volatile sig_atomic_t closeRequested = 0;

void onCloseSignal(int) { closeRequested = 1; }

// Filled by the GLFW callbacks inside glfwPollEvents / glfwWaitEventsTimeout, on the main thread.
float scrollAccumulator = 0;
std::vector<std::uint32_t> keyEvents;
std::string typedText;
// Input that should be answered by the next frame at once instead of at the paced time.
bool inputArrived = false;

void onScroll(GLFWwindow*, double, double yOffset) {
    scrollAccumulator += float(yOffset);
    inputArrived = true;
}

void onChar(GLFWwindow*, unsigned int codePoint) {
    if (codePoint < 128) typedText += char(codePoint);
    inputArrived = true;
}

void onMouseButton(GLFWwindow*, int, int, int) { inputArrived = true; }
void onFocus(GLFWwindow*, int) { inputArrived = true; }

void onKey(GLFWwindow*, int key, int, int action, int mods) {
    if (action != GLFW_PRESS && action != GLFW_REPEAT) return;
    inputArrived = true;
    std::uint32_t event = std::uint32_t(key);
    if (mods & (GLFW_MOD_CONTROL | GLFW_MOD_SUPER)) event |= kKeyControlFlag;
    keyEvents.push_back(event);
}

// GLFW's own reason for a failure, for the log: the message a player sees stays the plain one.
void onGlfwError(int code, const char* description) {
    launcherLog.warn("GLFW error 0x%x: %s", code, description ? description : "");
}

// Start-up failures have no window to show them in: the sentence goes to the log as it is.
int startupFailure(const char* message) {
    logError("%s", message);
    return 1;
}

FrameInput takeInput(GLFWwindow* window, bool& previousDown, const LauncherUi& ui) {
    double x = 0, y = 0;
    glfwGetCursorPos(window, &x, &y);
    bool down = glfwGetMouseButton(window, GLFW_MOUSE_BUTTON_LEFT) == GLFW_PRESS;
    const bool clicked = down && !previousDown;
    previousDown = down;
    FrameInput input = frameInput(ui, float(x), float(y), clicked, scrollAccumulator,
                                  std::move(keyEvents), std::move(typedText));
    scrollAccumulator = 0;
    keyEvents.clear();
    typedText.clear();
    return input;
}

// Without working vsync (no swap control, as under Xvfb, or a driver that ignores it) the loop
// would spin at hundreds of frames per second on a whole core. A frame that took clearly less than
// its period waits out the rest; a key, click or scroll ends the wait at once.
void paceFrame(double frameStart, double periodSeconds) {
    const double due = frameStart + periodSeconds;
    if (glfwGetTime() - frameStart >= 0.8 * periodSeconds) return;
    inputArrived = false;
    for (double left = due - glfwGetTime(); left > 0 && !inputArrived && !closeRequested;
         left = due - glfwGetTime())
        glfwWaitEventsTimeout(left);
}

// Mesa's rasterisers, which many machines without a GPU and every virtual machine draw with.
bool isSoftwareRenderer(const char* renderer) {
    std::string name = renderer ? renderer : "";
    for (const char* soft : {"llvmpipe", "softpipe", "SWR"})
        if (name.find(soft) != std::string::npos) return true;
    return false;
}

// How often the loop draws, logged when it changes so a run's log shows what the window cost.
struct FramePace {
    bool software = false;
    double refreshSeconds = 1.0 / kFallbackRefreshHz;
    WindowView view = WindowView::Shown;
    bool focused = true;
    double nextViewCheck = 0;
    const char* logged = nullptr;

    void update(GLFWwindow* window, double now) {
        if (now >= nextViewCheck) {
            view = windowView(window);
            focused = glfwGetWindowAttrib(window, GLFW_FOCUSED) != 0;
            nextViewCheck = now + kViewCheckSeconds;
        }
        const char* state = view == WindowView::Hidden    ? "paused: the window is not viewable"
                            : view == WindowView::Covered ? "slowed: the window is covered"
                            : !focused                    ? "slowed: the window has no focus"
                            : software                    ? "at the software renderer's rate"
                                                          : "at the display's rate";
        if (state != logged) {
            launcherLog.debug("drawing %s (%.0f frames/s)", state,
                              view == WindowView::Hidden ? 0.0 : 1.0 / periodSeconds());
            logged = state;
        }
    }
    bool drawing() const { return view != WindowView::Hidden; }
    double periodSeconds() const {
        if (view != WindowView::Shown || !focused)
            return software ? kSoftwareBackgroundFrameSeconds : kBackgroundFrameSeconds;
        return software ? kSoftwareFrameSeconds : refreshSeconds;
    }
};

double displayRefreshSeconds() {
    GLFWmonitor* monitor = glfwGetPrimaryMonitor();
    const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
    double hz = mode && mode->refreshRate > 0 ? mode->refreshRate : kFallbackRefreshHz;
    return 1.0 / hz;
}

// How smooth the run was, written to the log file at the end: the longest gap between two frames
// and the processor time the launcher's own code spends building one.
struct FrameStats {
    std::uint64_t frames = 0;
    double longestGapSeconds = 0;
    double buildSeconds = 0;

    static double threadSeconds() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    }
    void log() const {
        launcherLog.debug("%llu frames, longest gap %.1f ms, %.3f ms to build a frame",
                          (unsigned long long)frames, longestGapSeconds * 1000,
                          frames ? buildSeconds * 1000 / double(frames) : 0.0);
    }
};

void runFrameLoop(GLFWwindow* window, GlBackend& backend, launcher::Updater& updater,
                  LauncherUi& ui, const std::string& dir, const LaunchOptions& options,
                  WindowIcon& icon, bool software) {
    FramePace pace;
    pace.software = software;
    pace.refreshSeconds = displayRefreshSeconds();
    FrameStats stats;
    double previousTime = glfwGetTime();
    bool previousDown = false;
    double lastIconLook = 0;
    DrawList list;
    UiActions actions;
    bool running = true;
    while (running && !glfwWindowShouldClose(window) && !closeRequested) {
        glfwPollEvents();
        const double now = glfwGetTime();
        // The cap keeps animations from jumping after a stall, but a frame period chosen by the
        // pacing is no stall: animations keep their true speed at a low rate too.
        const double maxStep = std::max(kMaxFrameStepSeconds, 1.5 * pace.periodSeconds());
        const float dt = float(std::min(now - previousTime, maxStep));
        int w = 0, h = 0, fbw = 0, fbh = 0;
        glfwGetWindowSize(window, &w, &h);
        glfwGetFramebufferSize(window, &fbw, &fbh);
        pace.update(window, now);
        const bool shotDue = options.shotDelay >= 0 && now >= options.shotDelay;
        if (w == 0 || h == 0 || (!pace.drawing() && !shotDue)) {
            if (updater.status().state == launcher::UpdaterState::Restarting) break;
            glfwWaitEventsTimeout(kMinimisedWaitSeconds);
            previousTime = now;
            continue;
        }
        FrameInput input = takeInput(window, previousDown, ui);
        launcher::UpdaterStatus s = updater.status();
        if (s.state == launcher::UpdaterState::Restarting) break;
        // The icon comes with the game; looking for it costs a stat, not worth every frame.
        if (s.gameInstalled && now - lastIconLook >= kIconRetrySeconds) {
            icon.update(dir, window);
            lastIconLook = now;
        }

        const double buildStart = FrameStats::threadSeconds();
        list.beginFrame(w, h, fbw, fbh);
        actions.clear();
        drawScreen(ui, list, s, input, now, dt, actions);
        backend.draw(list);
        running = carryOut(actions, ui, updater, dir,
                           [window] { return glfwGetClipboardString(window); });
        stats.buildSeconds += FrameStats::threadSeconds() - buildStart;
        if (stats.frames++ > 0)
            stats.longestGapSeconds = std::max(stats.longestGapSeconds, now - previousTime);

        if (shotDue) {
            const std::vector<std::uint8_t> pixels = backend.readPixels(fbw, fbh);
            std::string error;
            if (writePng(options.shotPath.c_str(), pixels.data(), fbw, fbh, 3, error))
                launcherLog.info("saved %s", options.shotPath.c_str());
            else
                launcherLog.error("%s", error.c_str());
            break;
        }
        glfwSwapBuffers(window);
        previousTime = now;
        paceFrame(now, pace.periodSeconds());
    }
    stats.log();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    // Before anything else: asking for the usage must not rotate the log or open a window.
    if (readCommandLine(args, "").help) {
        fputs(usageText(), stdout);
        return 0;
    }
    const std::string exePath = ownExecutablePath();
    const std::string dir = installDir(exePath);
    std::error_code ec;
    fs::create_directories(fs::path(dir) / "logs", ec);
    logOpen((fs::path(dir) / "logs").c_str(), kKeepLogs);
    logInfo("Veilstone launcher, %s, in %s", platformName(), dir.c_str());
    if (trustsDemoKey())
        launcherLog.warn(
            "this launcher trusts the public demo key; anyone can sign releases for it");
    removeOldLauncher(exePath);

    LauncherSettings settings = readSettings(dir);
    LaunchOptions options =
        readCommandLine(args, settings.server.empty() ? defaultServerUrl() : settings.server);
    launcherLog.info("update server %s", options.serverUrl.c_str());
    std::vector<std::string> mirrors = settings.mirrors;
    for (std::string& url : defaultMirrorUrls()) mirrors.push_back(std::move(url));
    for (const std::string& url : mirrors) launcherLog.info("mirror %s", url.c_str());

    launcher::Updater::ReleaseKey releaseKey;
    if (!decodeReleaseKey(releaseKeyText(), releaseKey.data()))
        return startupFailure("This launcher was built without a release key.");

    glfwSetErrorCallback(onGlfwError);
    if (!glfwInit()) return startupFailure("Could not open a window (GLFW failed to start).");
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 5);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
    glfwWindowHint(GLFW_SAMPLES, kGpuSamples);
    // GLFW 3.3 uses the class name only when the instance name is set too.
    glfwWindowHintString(GLFW_X11_CLASS_NAME, productName());
    glfwWindowHintString(GLFW_X11_INSTANCE_NAME, productName());
    // The sample count is fixed when the window is made, and only its context tells who draws:
    // the window stays hidden until that is known, and a software renderer gets a new one
    // without multisampling.
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    GLFWwindow* window =
        glfwCreateWindow(kWindowWidth, kWindowHeight, "Veilstone Launcher", nullptr, nullptr);
    bool software = false;
    if (window) {
        glfwMakeContextCurrent(window);
        const char* rendererName = glRendererName(glfwGetProcAddress);
        launcherLog.info("drawing with %s", rendererName ? rendererName : "an unnamed renderer");
        software = isSoftwareRenderer(rendererName);
        if (software) {
            launcherLog.info("a software renderer: %.0f frames/s at most, no multisampling",
                             1.0 / kSoftwareFrameSeconds);
            glfwMakeContextCurrent(nullptr);
            glfwDestroyWindow(window);
            glfwWindowHint(GLFW_SAMPLES, 0);
            glfwWindowHint(GLFW_VISIBLE, GLFW_TRUE);
            window = glfwCreateWindow(kWindowWidth, kWindowHeight, "Veilstone Launcher", nullptr,
                                      nullptr);
        } else {
            glfwShowWindow(window);
        }
    }
    if (!window) {
        glfwTerminate();
        return startupFailure(
            "Veilstone needs a graphics card and driver with OpenGL 4.5, and this machine did not "
            "offer one. Updating the graphics driver usually fixes it.");
    }
    glfwSetWindowSizeLimits(window, kMinWindowWidth, kMinWindowHeight, GLFW_DONT_CARE,
                            GLFW_DONT_CARE);
    glfwMakeContextCurrent(window);
    glfwSwapInterval(1);
    glfwSetScrollCallback(window, onScroll);
    glfwSetCharCallback(window, onChar);
    glfwSetKeyCallback(window, onKey);
    glfwSetMouseButtonCallback(window, onMouseButton);
    glfwSetWindowFocusCallback(window, onFocus);
    // A press and release between two polls would otherwise be missed entirely.
    glfwSetInputMode(window, GLFW_STICKY_MOUSE_BUTTONS, GLFW_TRUE);

    WindowIcon icon;
    icon.update(dir, window);

    GlBackend backend;
    if (std::string error; !backend.init(glfwGetProcAddress, error)) {
        launcherLog.error("%s", error.c_str());
        backend.shutdown();
        glfwDestroyWindow(window);
        glfwTerminate();
        return startupFailure("The launcher could not set up its drawing.");
    }

    // Never destroyed: the process ends with _Exit and the worker dies with it.
    // One launcher per folder; a copy restarted after a self-update waits for the old one to exit.
    const bool restarted = std::find(args.begin(), args.end(), "--updated") != args.end();
    auto* updater = new launcher::Updater({.installDir = dir,
                                           .serverUrl = options.serverUrl,
                                           .mirrors = mirrors,
                                           .releaseKey = releaseKey,
                                           .launcherFile = ownExecutablePath(),
                                           .startProcess = startProcess,
                                           .lockFolder = true,
                                           .lockWaitMs = restarted ? 5000 : 0});
    updater->setRestartArgs(options.restartArgs);
    updater->setChannel(channelOf(settings), settings.testerKey);
    updater->check(options.allowSelfUpdate);

    signal(SIGTERM, onCloseSignal);
    signal(SIGINT, onCloseSignal);

    LauncherUi ui;
    ui.settings = settings;
    ui.autoInstall = options.autoInstall;
    ui.autoVerify = options.autoVerify;
    runFrameLoop(window, backend, *updater, ui, dir, options, icon, software);

    backend.shutdown();
    glfwDestroyWindow(window);
    glfwTerminate();
    launcherLog.info("closing");
    logClose();
    fflush(nullptr);
    _Exit(0);
}
