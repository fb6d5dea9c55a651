// The main screen: background, embers, title, version line, menu, bottom panel with the status
// line, progress bar and the big button, and the automatic actions the status calls for.
#include <cmath>

#include "app/ui.h"
#include "gfx/text.h"
#include "update/updater.h"

namespace kd {

using launcher::UpdaterState;
using launcher::UpdaterStatus;
namespace pal = palette;

namespace {

constexpr float kMenuX = 48;
constexpr float kMenuLinkWidth = 260;
constexpr float kMenuLinkHeight = 30;
constexpr std::size_t kMaxEmbers = 70;
constexpr float kEmbersPerSecond = 30;
bool isState(const UpdaterStatus& s, UpdaterState state) { return s.state == state; }

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

void drawProgressBar(Renderer& r, const UpdaterStatus& s, const ScreenLayout& layout, float t) {
    const float h = layout.h, barW = layout.barW;
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

void takeAutomaticActions(LauncherUi& ui, const UpdaterStatus& s, UiActions& actions) {
    bool wantsUpdate = isState(s, UpdaterState::ReadyToUpdate) ||
                       (isState(s, UpdaterState::ReadyToInstall) && ui.autoInstall);
    // At most once per key and channel setting: a failed update does not start itself again.
    if (wantsUpdate && !ui.autoStarted && !s.busy) {
        actions.push_back(UiAction::Update);
        ui.autoStarted = true;
    } else if (ui.autoVerify && isState(s, UpdaterState::UpToDate) && !s.busy) {
        actions.push_back(UiAction::Verify);
        ui.autoVerify = false;
    }
}

// "TESTING BUILD" follows the version line, or goes under it when the line is too long to leave
// room for it before the news panel; a very long line goes to the smaller scale.
void drawVersionLine(Renderer& r, const UpdaterStatus& s, const ScreenLayout& layout) {
    const bool testing = s.shownChannel == launcher::Channel::Testing;
    const std::string version = versionLineText(s);
    const char* mark = "TESTING BUILD";
    const bool oneLine =
        textWidth(version, 2) + (testing ? 16 + textWidth(mark, 2) : 0) <= layout.versionWidth;
    FittedText fitted = oneLine ? FittedText{{version}, 2}
                                : fitText(version, layout.versionWidth, testing ? 1 : 2);
    const float scale = fitted.scale;
    float y = layout.versionY;
    for (const std::string& line : fitted.lines) {
        r.text(line, layout.menuX, y, scale, pal::TextDim);
        y += 11 * scale;
    }
    if (!testing) return;
    float x = layout.menuX + textWidth(fitted.lines.back(), scale) + 8 * scale;
    if (x + textWidth(mark, scale) <= layout.menuX + layout.versionWidth) {
        y -= 11 * scale;
    } else {
        x = layout.menuX;
    }
    r.text(mark, x, y, scale, pal::Accent);
}

// The whole sentence: one line where it fits, else two, else four at the smaller scale.
void drawStatusLine(Renderer& r, const UpdaterStatus& s, const ScreenLayout& layout) {
    const Color color = isState(s, UpdaterState::Failed) ? pal::Error : pal::Text;
    FittedText fitted = fitText(statusLineText(s), layout.barW, 2);
    const float h = layout.h;
    float y = fitted.scale == 1 ? h - 112 : fitted.lines.size() > 1 ? h - 110 : h - 98;
    for (const std::string& line : fitted.lines) {
        r.text(line, layout.statusX, y, fitted.scale, color);
        y += 9 * fitted.scale + (fitted.scale == 1 ? 1 : 0);
    }
}

}  // namespace

FittedText fitText(std::string_view text, float width, std::size_t maxLines) {
    FittedText fitted{wrapText(text, 2, width), 2};
    if (fitted.lines.size() <= maxLines) return fitted;
    fitted = {wrapText(text, 1, width), 1};
    if (fitted.lines.size() > 2 * maxLines) fitted.lines.resize(2 * maxLines);
    return fitted;
}

ScreenLayout screenLayout(float w, float h) {
    ScreenLayout l;
    l.w = w;
    l.h = h;
    l.titleScale = w >= 1000 ? 8 : 7;
    l.titleWidth = textWidth("VEILSTONE", l.titleScale);
    l.titleBottom = 60 + 8 * l.titleScale;
    l.versionY = l.titleBottom + 30;
    l.menuY0 = l.titleBottom + 90;
    l.keyRowY = l.menuY0 + 132;
    l.selectorTop = l.keyRowY + 22;
    l.panelX = std::max(0.46f * w, l.titleWidth + 96);
    l.panelW = w - l.panelX - 40;
    l.panelH = h - 198;
    l.newsVisible = l.panelH - 66;
    l.versionWidth = l.panelX - 16 - l.menuX;
    l.bottomPanelY = h - 118;
    // In a short window the list would run past the bottom edge: it opens upward instead.
    l.listTop = l.selectorTop + 38;
    if (l.listTop + kListHeight > h - 8) l.listTop = l.selectorTop - 2 - kListHeight;
    // Under the selector it would sit under the bottom panel: it goes beside "BUILD" instead.
    l.keyRefusedX = l.menuX;
    l.keyRefusedY = l.selectorTop + 46;
    if (l.keyRefusedY + 16 > l.bottomPanelY - 4) {
        l.keyRefusedX = l.menuX + textWidth("BUILD", 2) + 16;
        l.keyRefusedY = l.keyRowY;
    }
    l.barY = h - 70;
    l.barW = w - 364;
    l.bigX = w - 280;
    l.bigY = h - 108;
    l.dialogX = (w - 560) / 2;
    l.dialogY = (h - 220) / 2;
    return l;
}

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

BigButton bigButtonFor(UpdaterState state, bool gameInstalled, bool idle) {
    switch (state) {
        case UpdaterState::Checking:
            return {"...", UiAction::None, false};
        case UpdaterState::UpToDate:
        case UpdaterState::Offline:
            return {"PLAY", UiAction::Play, idle};
        case UpdaterState::ReadyToInstall:
            return {"INSTALL", UiAction::Update, idle};
        case UpdaterState::ReadyToUpdate:
            return {"UPDATE", UiAction::Update, idle};
        case UpdaterState::Working:
            return {"WORKING", UiAction::None, false};
        case UpdaterState::Failed:
            if (gameInstalled) return {"PLAY", UiAction::Play, idle};
            return {"RETRY", UiAction::Check, idle};
        default:
            return {"...", UiAction::None, false};  // Restarting: the loop ends before drawing
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

void drawScreen(LauncherUi& ui, Renderer& r, const UpdaterStatus& s, const FrameInput& input,
                float w, float h, double now, float dt, UiActions& actions) {
    const float t = float(now);
    takeAutomaticActions(ui, s, actions);

    drawBackground(r, w, h, t);
    updateAndDrawEmbers(ui, r, w, h, t, dt);

    const ScreenLayout layout = screenLayout(w, h);

    // Title.
    const float titleScale = layout.titleScale;
    const float tw = layout.titleWidth;
    r.dot(48 + tw / 2, 92, 0.75f * tw, fade(pal::Glow, 0.16f));
    r.text("VEILSTONE", 48 + titleScale / 2, 60 + 0.75f * titleScale, titleScale, pal::Shadow);
    r.text("VEILSTONE", 48, 60, titleScale, pal::Gold);
    r.fillRect(48, 60 + 8 * titleScale + 16, tw, 1, fade(pal::GoldDim, 0.6f));
    drawVersionLine(r, s, layout);

    // Menu.
    const UiInput& menu = input.menu;
    const float y0 = layout.menuY0;
    // Once a request is made, the buttons that would start another job look disabled at once.
    auto idle = [&] { return !s.busy && actions.empty(); };
    if (uiButton(r, menu, "Verify game files",
                 idle() && s.gameInstalled && !isState(s, UpdaterState::Offline), false, kMenuX, y0,
                 kMenuLinkWidth, kMenuLinkHeight, 2))
        actions.push_back(UiAction::Verify);
    if (uiButton(r, menu, "Open game folder", true, false, kMenuX, y0 + 38, kMenuLinkWidth,
                 kMenuLinkHeight, 2))
        actions.push_back(UiAction::OpenFolder);
    if (uiButton(r, menu, "Check for updates", idle(), false, kMenuX, y0 + 76, kMenuLinkWidth,
                 kMenuLinkHeight, 2))
        actions.push_back(UiAction::Check);
    if (ui.settings.testerKey.empty()) {
        if (uiButton(r, menu, "Playtester key...", idle(), false, kMenuX, y0 + 132, kMenuLinkWidth,
                     kMenuLinkHeight, 2)) {
            ui.dialogOpen = true;
            ui.keyText.clear();
        }
    } else {
        drawChannelSelector(ui, r, s, menu, layout);
    }

    drawNewsPanel(ui, r, s, input, layout, dt);

    // Bottom panel, big button, status line and progress bar.
    r.chamferRect(40, layout.bottomPanelY, w - 80, 78, 10, pal::PanelDark, fade(pal::Bronze, 0.9f));
    const BigButton big = bigButtonFor(s.state, s.gameInstalled, idle());
    const bool pressed =
        uiButton(r, menu, big.label, big.enabled, true, layout.bigX, layout.bigY, 230, 58, 4);
    if (pressed || (big.enabled && menu.enter)) actions.push_back(big.action);
    drawStatusLine(r, s, layout);
    drawProgressBar(r, s, layout, t);

    if (ui.listOpen) drawChannelList(ui, r, s, input, actions);
    if (ui.dialogOpen) drawKeyDialog(ui, r, input, layout, now, actions);
}

}  // namespace kd
