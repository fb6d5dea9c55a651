// The main screen: background, embers, title, version line, menu, bottom panel with the status
// line, progress bar and the big button, and the automatic actions the status calls for.
#include <cmath>
#include <filesystem>

#include "app/paths.h"
#include "app/process.h"
#include "app/ui.h"
#include "gfx/text.h"
#include "log/log.h"
#include "update/updater.h"

namespace kd {

using launcher::Updater;
using launcher::UpdaterState;
using launcher::UpdaterStatus;
namespace pal = palette;

namespace {

constexpr float kMenuX = 48;
constexpr float kMenuLinkWidth = 260;
constexpr float kMenuLinkHeight = 30;
constexpr std::size_t kMaxEmbers = 70;
constexpr float kEmbersPerSecond = 30;

std::uint32_t stateNumber(UpdaterState state) { return static_cast<std::uint32_t>(state); }

bool isState(const UpdaterStatus& s, UpdaterState state) { return s.state == stateNumber(state); }

Color mix(Color a, Color b, float f) {
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f,
            a.a + (b.a - a.a) * f};
}

void drawBackground(Renderer& r, float w, float h, float t) {
    r.gradientRect(0, 0, w, h, {0.03f, 0.028f, 0.036f, 1}, {0.07f, 0.035f, 0.025f, 1});
    float breathing = 0.85f + 0.15f * std::sin(0.9f * t);
    r.dot(0.3f * w, 1.05f * h, 0.95f * h, fade(pal::Ember, 0.55f * breathing));
    r.dot(0.3f * w, 1.02f * h, 0.45f * h, fade(pal::Glow, 0.22f * breathing));
}

void updateAndDrawEmbers(LauncherUi& ui, Renderer& r, float w, float h, float t, float dt) {
    if (ui.embers.size() < kMaxEmbers && ui.nextUniform() < kEmbersPerSecond * dt) {
        EmberParticle e;
        e.x = (0.05f + 0.6f * ui.nextUniform()) * w;
        e.vy = -(30 + 60 * ui.nextUniform());
        e.life = 3 + 4 * ui.nextUniform();
        e.size = 1.5f + 2.5f * ui.nextUniform();
        e.phase = 6.28f * ui.nextUniform();
        e.y = h + 10;
        e.age = 0;
        ui.embers.push_back(e);
    }
    for (std::size_t i = 0; i < ui.embers.size();) {
        EmberParticle& e = ui.embers[i];
        e.age += dt;
        e.x += 12 * std::sin(1.3f * t + e.phase) * dt;
        e.y += e.vy * dt;
        if (e.age > e.life) {
            e = ui.embers.back();
            ui.embers.pop_back();
            continue;
        }
        float f = e.age / e.life;
        float a = 0.9f * std::sin(3.14159f * f);
        r.dot(e.x, e.y, 4 * e.size, fade(pal::Glow, 0.25f * a));
        r.fillRect(e.x - e.size / 2, e.y - e.size / 2, e.size, e.size,
                   fade(mix(pal::Gold, pal::Accent, f), a));
        ++i;
    }
}

void drawProgressBar(Renderer& r, const UpdaterStatus& s, float w, float h, float t) {
    float barW = w - 364;
    r.fillRect(60, h - 70, barW, 10, pal::Shadow);
    r.fillRect(60, h - 70, barW, 1, fade(pal::Line, 0.4f));
    bool active = isState(s, UpdaterState::Checking) || isState(s, UpdaterState::Working);
    if (active && s.progress < 0) {
        float x = 60 + (0.5f + 0.5f * std::sin(2.5f * t)) * (barW - 80);
        r.gradientRect(x, h - 69, 80, 9, pal::Accent, pal::Ember);
    } else if (active) {
        float fill = float(std::min(s.progress, 1.0)) * barW;
        r.gradientRect(60, h - 69, fill, 9, pal::Accent, pal::Ember);
        r.dot(60 + fill, h - 65, 26, fade(pal::Glow, 0.5f));
    } else if (s.gameInstalled && !isState(s, UpdaterState::Failed)) {
        r.gradientRect(60, h - 69, barW, 9, fade(pal::GoldDim, 0.5f), fade(pal::Bronze, 0.5f));
    }
}

void takeAutomaticActions(LauncherUi& ui, Updater& updater, const UpdaterStatus& s) {
    bool wantsUpdate = isState(s, UpdaterState::ReadyToUpdate) ||
                       (isState(s, UpdaterState::ReadyToInstall) && ui.autoInstall);
    // At most once per key and channel setting: a failed update does not start itself again.
    if (wantsUpdate && !ui.autoStarted && !updater.busy()) {
        updater.update(false);
        ui.autoStarted = true;
    }
    if (ui.autoVerify && isState(s, UpdaterState::UpToDate) && !updater.busy()) {
        updater.update(true);
        ui.autoVerify = false;
    }
}

}  // namespace

float LauncherUi::nextUniform() {
    return std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
}

bool uiButton(Renderer& r, const UiInput& input, std::string_view label, bool enabled, bool boxed,
              float x, float y, float width, float height, float scale) {
    bool hovered = x <= input.x && input.x < x + width && y <= input.y && input.y < y + height;
    float labelWidth = textWidth(label, scale);
    float ly = y + (height - 8 * scale) / 2;
    float lx = x;
    Color labelColor;
    if (boxed) {
        lx = x + (width - labelWidth) / 2;
        if (!enabled) {
            r.chamferRect(x, y, width, height, 10, pal::PanelDark, pal::Line);
            labelColor = pal::TextDisabled;
        } else if (hovered) {
            r.chamferRect(x, y, width, height, 10, pal::ButtonFillHover, pal::Gold);
            r.dot(x + width / 2, y + height / 2, 0.6f * width, fade(pal::Glow, 0.22f));
            labelColor = pal::TextBright;
        } else {
            r.chamferRect(x, y, width, height, 10, pal::ButtonFill, pal::GoldDim);
            r.dot(x + width / 2, y + height / 2, 0.6f * width, fade(pal::Glow, 0.1f));
            labelColor = pal::Text;
        }
    } else {
        labelColor = !enabled ? pal::TextDisabled : hovered ? pal::TextBright : pal::TextDim;
    }
    r.text(label, lx + scale, ly + scale, scale, fade(pal::Shadow, 0.8f));
    r.text(label, lx, ly, scale, labelColor);
    if (!boxed && enabled && hovered)
        r.fillRect(lx, ly + 8 * scale + 3, labelWidth, 1, pal::Accent);
    return enabled && hovered && input.clicked;
}

BigButton bigButtonFor(std::uint32_t state, bool gameInstalled, bool idle) {
    switch (static_cast<UpdaterState>(state)) {
        case UpdaterState::Checking:
            return {"...", false};
        case UpdaterState::UpToDate:
            return {"PLAY", idle};
        case UpdaterState::ReadyToInstall:
            return {"INSTALL", idle};
        case UpdaterState::ReadyToUpdate:
            return {"UPDATE", idle};
        case UpdaterState::Working:
            return {"WORKING", false};
        case UpdaterState::Offline:
            return {"PLAY", idle};
        case UpdaterState::Failed:
            return {gameInstalled ? "PLAY" : "RETRY", idle};
        default:
            return {"...", false};  // Restarting: the loop ends before drawing
    }
}

std::string versionLineText(const UpdaterStatus& s) {
    std::string line;
    if (!s.installedVersion.empty()) line = "Installed " + s.installedVersion;
    if (!s.latestVersion.empty() && s.latestVersion != s.installedVersion) {
        if (!line.empty()) line += "   ";
        line += "Latest " + s.latestVersion;
    }
    return line.empty() ? "Not installed" : line;
}

std::string statusLineText(const UpdaterStatus& s) {
    if (isState(s, UpdaterState::ReadyToInstall))
        return "Veilstone " + s.latestVersion + ": " + s.message;
    return s.message;
}

bool startGame(const std::string& gameDir) {
    std::string error;
    if (!startProcess(gameDir + "/" + productName(), {}, gameDir, error)) {
        logError("launcher: %s", error.c_str());
        return false;
    }
    logInfo("launcher: started the game");
    return true;
}

float titleWidth(float w) { return textWidth("VEILSTONE", w >= 1000 ? 8 : 7); }

void drawScreen(LauncherUi& ui, Renderer& r, Updater& updater, const UpdaterStatus& s,
                const FrameInput& input, float w, float h, double now, float dt) {
    const float t = float(now);
    takeAutomaticActions(ui, updater, s);

    drawBackground(r, w, h, t);
    updateAndDrawEmbers(ui, r, w, h, t, dt);

    // Title.
    const float titleScale = w >= 1000 ? 8 : 7;
    const float tw = textWidth("VEILSTONE", titleScale);
    r.dot(48 + tw / 2, 92, 0.75f * tw, fade(pal::Glow, 0.16f));
    r.text("VEILSTONE", 48 + titleScale / 2, 60 + 0.75f * titleScale, titleScale, pal::Shadow);
    r.text("VEILSTONE", 48, 60, titleScale, pal::Gold);
    r.fillRect(48, 60 + 8 * titleScale + 16, tw, 1, fade(pal::GoldDim, 0.6f));
    const float titleBottom = 60 + 8 * titleScale;

    // Version line.
    std::string version = versionLineText(s);
    r.text(version, 48, titleBottom + 30, 2, pal::TextDim);
    if (s.shownChannel == 1)
        r.text("TESTING BUILD", 48 + textWidth(version, 2) + 16, titleBottom + 30, 2, pal::Accent);

    // Menu.
    const UiInput& menu = input.menu;
    const float y0 = titleBottom + 90;
    bool idle = !updater.busy();
    if (uiButton(r, menu, "Verify game files",
                 idle && s.gameInstalled && !isState(s, UpdaterState::Offline), false, kMenuX, y0,
                 kMenuLinkWidth, kMenuLinkHeight, 2))
        updater.update(true);
    idle = !updater.busy();
    if (uiButton(r, menu, "Open game folder", true, false, kMenuX, y0 + 38, kMenuLinkWidth,
                 kMenuLinkHeight, 2)) {
        std::error_code ec;
        std::filesystem::create_directories(updater.gameDir(), ec);
        openFolder(updater.gameDir().string());
    }
    if (uiButton(r, menu, "Check for updates", idle, false, kMenuX, y0 + 76, kMenuLinkWidth,
                 kMenuLinkHeight, 2))
        updater.check(false);
    idle = !updater.busy();
    if (ui.settings.testerKey.empty()) {
        if (uiButton(r, menu, "Playtester key...", idle, false, kMenuX, y0 + 132, kMenuLinkWidth,
                     kMenuLinkHeight, 2)) {
            ui.dialogOpen = true;
            ui.keyText.clear();
        }
    } else {
        drawChannelSelector(ui, r, updater, s, menu, y0 + 132);
    }

    drawNewsPanel(ui, r, s, input, w, h, dt);

    // Bottom panel, big button, status line and progress bar.
    r.chamferRect(40, h - 118, w - 80, 78, 10, pal::PanelDark, fade(pal::Bronze, 0.9f));
    idle = !updater.busy();
    BigButton big = bigButtonFor(s.state, s.gameInstalled, idle);
    bool pressed = uiButton(r, menu, big.label, big.enabled, true, w - 280, h - 108, 230, 58, 4);
    if (pressed || (big.enabled && menu.enter)) {
        std::string label = big.label;
        if (label == "PLAY") {
            if (startGame(updater.gameDir().string())) ui.quitRequested = true;
        } else if (label == "RETRY") {
            updater.check(false);
        } else {
            updater.update(false);
        }
    }
    const float barW = w - 364;
    std::vector<std::string> statusLines = wrapText(statusLineText(s), 2, barW);
    if (!statusLines.empty())
        r.text(statusLines[0], 60, h - 98, 2,
               isState(s, UpdaterState::Failed) ? pal::Error : pal::Text);
    drawProgressBar(r, s, w, h, t);

    if (ui.listOpen) drawChannelList(ui, r, updater, s, input);
    if (ui.dialogOpen) drawKeyDialog(ui, r, updater, input, w, h, now);
}

}  // namespace kd
