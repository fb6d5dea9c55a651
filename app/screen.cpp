// The main screen: background, embers, title, version line, menu, bottom panel with the status
// line, progress bar and the big button, and the automatic actions the status calls for.
#include <cmath>

#include "app/ui.h"
#include "gfx/text.h"
#include "log/log.h"
#include "update/updater.h"

namespace kd {

using launcher::UpdaterState;
using launcher::UpdaterStatus;
namespace pal = palette;

namespace {

constexpr std::size_t kMaxEmbers = 70;
constexpr float kListHeight = 144;
constexpr UiInput kNoInput{-1000000, -1000000, false, false};
constexpr float kEmbersPerSecond = 30;
bool isState(const UpdaterStatus& s, UpdaterState state) { return s.state == state; }

Color mix(Color a, Color b, float f) {
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f,
            a.a + (b.a - a.a) * f};
}

void drawBackground(DrawList& draw, float w, float h, float t) {
    draw.gradientRect(0, 0, w, h, {0.03f, 0.028f, 0.036f, 1}, {0.07f, 0.035f, 0.025f, 1});
    float breathing = 0.85f + 0.15f * std::sin(0.9f * t);
    draw.dot(0.3f * w, 1.05f * h, 0.95f * h, fade(pal::Ember, 0.55f * breathing));
    draw.dot(0.3f * w, 1.02f * h, 0.45f * h, fade(pal::Glow, 0.22f * breathing));
}

void updateAndDrawEmbers(LauncherUi& ui, DrawList& draw, float w, float h, float t, float dt) {
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
        draw.dot(e.x, e.y, 4 * e.size, fade(pal::Glow, 0.25f * a));
        draw.fillRect(e.x - e.size / 2, e.y - e.size / 2, e.size, e.size,
                      fade(mix(pal::Gold, pal::Accent, f), a));
        ++i;
    }
}

// The fill stands one unit below the track's top edge, which stays visible above it.
void drawProgressBar(DrawList& draw, const UpdaterStatus& s, const Rect& bar, float t) {
    draw.fillRect(bar.x, bar.y, bar.w, bar.h, pal::Shadow);
    draw.fillRect(bar.x, bar.y, bar.w, 1, fade(pal::Line, 0.4f));
    const float fillY = bar.y + 1, fillH = bar.h - 1;
    constexpr float kBlockWidth = 80;  // the block sliding while the fraction is not known
    bool active = isState(s, UpdaterState::Checking) || isState(s, UpdaterState::Working);
    if (active && s.progress < 0) {
        float x = bar.x + (0.5f + 0.5f * std::sin(2.5f * t)) * (bar.w - kBlockWidth);
        draw.gradientRect(x, fillY, kBlockWidth, fillH, pal::Accent, pal::Ember);
    } else if (active) {
        float fill = float(std::min(s.progress, 1.0)) * bar.w;
        draw.gradientRect(bar.x, fillY, fill, fillH, pal::Accent, pal::Ember);
        draw.dot(bar.x + fill, bar.y + 5, 26, fade(pal::Glow, 0.5f));
    } else if (s.gameInstalled && !isState(s, UpdaterState::Failed)) {
        draw.gradientRect(bar.x, fillY, bar.w, fillH, fade(pal::GoldDim, 0.5f),
                          fade(pal::Bronze, 0.5f));
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
void drawVersionLine(DrawList& draw, const UpdaterStatus& s, const ScreenLayout& layout) {
    const bool testing = s.shownChannel == launcher::Channel::Testing;
    const std::string version = versionLineText(s);
    const char* mark = "TESTING BUILD";
    const bool oneLine =
        textWidth(version, 2) + (testing ? 16 + textWidth(mark, 2) : 0) <= layout.versionWidth;
    FittedText fitted =
        oneLine ? FittedText{{version}, 2} : fitText(version, layout.versionWidth, testing ? 1 : 2);
    const float scale = fitted.scale;
    float y = layout.versionY;
    for (const std::string& line : fitted.lines) {
        draw.text(line, layout.menuX, y, scale, pal::TextDim);
        y += 11 * scale;
    }
    if (!testing) return;
    float x = layout.menuX + textWidth(fitted.lines.back(), scale) + 8 * scale;
    if (x + textWidth(mark, scale) <= layout.menuX + layout.versionWidth) {
        y -= 11 * scale;
    } else {
        x = layout.menuX;
    }
    draw.text(mark, x, y, scale, pal::Accent);
}

// The whole sentence: one line where it fits, else two, else four at the smaller scale, all of
// them above the progress bar. A failure of the launcher's own stands in for the engine's.
void drawStatusLine(DrawList& draw, const LauncherUi& ui, const UpdaterStatus& s,
                    const ScreenLayout& layout) {
    const bool failed = !ui.failure.empty() || isState(s, UpdaterState::Failed);
    FittedText fitted =
        fitText(ui.failure.empty() ? statusLineText(s) : ui.failure, layout.bar.w, 2);
    const float top = layout.bottomPanel.y;
    float y = fitted.scale == 1 ? top + 6 : fitted.lines.size() > 1 ? top + 8 : top + 20;
    for (const std::string& line : fitted.lines) {
        draw.text(line, layout.statusX, y, fitted.scale, failed ? pal::Error : pal::Text);
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
    l.titleBottom = l.titleY + 8 * l.titleScale;
    l.versionY = l.titleBottom + 30;
    const float menuY0 = l.titleBottom + 90;
    for (int i = 0; i < 3; ++i) l.menuLinks[i] = {l.menuX, menuY0 + 38 * i, 260, 30};
    l.keyLink = {l.menuX, menuY0 + 132, 260, 30};
    l.selector = {l.menuX, l.keyLink.y + 22, 260, 36};
    const float panelX = std::max(0.46f * w, l.titleWidth + 96);
    l.newsPanel = {panelX, 48, w - panelX - 40, h - 198};
    l.newsView = {panelX + 22, 100, l.newsPanel.w - 44, l.newsPanel.h - 66};
    l.versionWidth = panelX - 16 - l.menuX;
    l.bottomPanel = {40, h - 118, w - 80, 78};
    // In a short window the list would run past the bottom edge: it opens upward instead.
    l.list = {l.menuX, l.selector.y + 38, 260, kListHeight};
    if (l.list.y + kListHeight > h - 8) l.list.y = l.selector.y - 2 - kListHeight;
    // Under the selector it would sit under the bottom panel: it goes beside "BUILD" instead.
    l.keyRefusedX = l.menuX;
    l.keyRefusedY = l.selector.y + 46;
    if (l.keyRefusedY + 16 > l.bottomPanel.y - 4) {
        l.keyRefusedX = l.menuX + textWidth("BUILD", 2) + 16;
        l.keyRefusedY = l.keyLink.y;
    }
    l.bar = {l.statusX, h - 70, w - 364, 10};
    l.bigButton = {w - 280, h - 108, 230, 58};
    l.dialog = {(w - 560) / 2, (h - 220) / 2, 560, 220};
    l.keyField = {l.dialog.x + 22, l.dialog.y + 78, 516, 40};
    l.useKey = {l.dialog.x + 358, l.dialog.y + 152, 180, 48};
    l.cancel = {l.dialog.x + 22, l.dialog.y + 162, 120, 30};
    return l;
}

void reportFailure(LauncherUi& ui, const std::string& sentence) {
    launcherLog.error("%s", sentence.c_str());
    ui.failure = sentence;
}

FrameInput frameInput(const LauncherUi& ui, float x, float y, bool clicked, float wheel,
                      std::vector<std::uint32_t> keys, std::string typed) {
    FrameInput input;
    input.real = {x, y, clicked, false};
    input.wheel = wheel;
    for (std::uint32_t event : keys) {
        const std::uint32_t key = event & 0xffff;
        if (key == kKeyEnter || key == kKeyKeypadEnter) input.real.enter = true;
        if (key == kKeyEscape) input.escape = true;
    }
    input.keys = std::move(keys);
    input.typed = std::move(typed);
    input.menu = ui.dialogOpen || ui.listOpen ? kNoInput : input.real;
    return input;
}

float LauncherUi::nextUniform() {
    return std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
}

bool uiButton(DrawList& draw, const UiInput& input, std::string_view label, bool enabled,
              bool boxed, const Rect& box, float scale) {
    const float x = box.x, y = box.y, width = box.w, height = box.h;
    const bool hovered = box.contains(input.x, input.y);
    float labelWidth = textWidth(label, scale);
    float ly = y + (height - 8 * scale) / 2;
    float lx = x;
    Color labelColor;
    if (boxed) {
        lx = x + (width - labelWidth) / 2;
        if (!enabled) {
            draw.chamferRect(x, y, width, height, 10, pal::PanelDark, pal::Line);
            labelColor = pal::TextDisabled;
        } else if (hovered) {
            draw.chamferRect(x, y, width, height, 10, pal::ButtonFillHover, pal::Gold);
            draw.dot(x + width / 2, y + height / 2, 0.6f * width, fade(pal::Glow, 0.22f));
            labelColor = pal::TextBright;
        } else {
            draw.chamferRect(x, y, width, height, 10, pal::ButtonFill, pal::GoldDim);
            draw.dot(x + width / 2, y + height / 2, 0.6f * width, fade(pal::Glow, 0.1f));
            labelColor = pal::Text;
        }
    } else {
        labelColor = !enabled ? pal::TextDisabled : hovered ? pal::TextBright : pal::TextDim;
    }
    draw.text(label, lx + scale, ly + scale, scale, fade(pal::Shadow, 0.8f));
    draw.text(label, lx, ly, scale, labelColor);
    if (!boxed && enabled && hovered)
        draw.fillRect(lx, ly + 8 * scale + 3, labelWidth, 1, pal::Accent);
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

void drawScreen(LauncherUi& ui, DrawList& draw, const UpdaterStatus& s, const FrameInput& input,
                double now, float dt, UiActions& actions) {
    const float t = float(now);
    const float w = float(draw.windowWidth), h = float(draw.windowHeight);
    takeAutomaticActions(ui, s, actions);

    drawBackground(draw, w, h, t);
    updateAndDrawEmbers(ui, draw, w, h, t, dt);

    const ScreenLayout layout = screenLayout(w, h);

    // Title.
    const float titleScale = layout.titleScale, tw = layout.titleWidth;
    const float tx = layout.titleX, ty = layout.titleY;
    draw.dot(tx + tw / 2, ty + 32, 0.75f * tw, fade(pal::Glow, 0.16f));
    draw.text("VEILSTONE", tx + titleScale / 2, ty + 0.75f * titleScale, titleScale, pal::Shadow);
    draw.text("VEILSTONE", tx, ty, titleScale, pal::Gold);
    draw.fillRect(tx, layout.titleBottom + 16, tw, 1, fade(pal::GoldDim, 0.6f));
    drawVersionLine(draw, s, layout);

    // Menu. Once a request is made, the buttons that would start another job look disabled at
    // once: the snapshot says idle until the engine has taken the job.
    const UiInput& menu = input.menu;
    auto idle = [&] { return !s.busy && actions.empty(); };
    const struct {
        const char* label;
        bool enabled;
        UiAction action;
    } links[] = {
        {"Verify game files", s.gameInstalled && !isState(s, UpdaterState::Offline),
         UiAction::Verify},
        {"Open game folder", true, UiAction::OpenFolder},
        {"Check for updates", true, UiAction::Check},
    };
    for (int i = 0; i < 3; ++i) {
        const bool enabled =
            links[i].enabled && (links[i].action == UiAction::OpenFolder || idle());
        if (uiButton(draw, menu, links[i].label, enabled, false, layout.menuLinks[i], 2))
            actions.push_back(links[i].action);
    }
    if (ui.settings.testerKey.empty()) {
        if (uiButton(draw, menu, "Playtester key...", idle(), false, layout.keyLink, 2)) {
            ui.dialogOpen = true;
            ui.keyText.clear();
        }
    } else {
        drawChannelSelector(ui, draw, s, menu, layout);
    }

    drawNewsPanel(ui, draw, s, input, layout, dt);

    // Bottom panel, big button, status line and progress bar.
    const Rect& panel = layout.bottomPanel;
    draw.chamferRect(panel.x, panel.y, panel.w, panel.h, 10, pal::PanelDark,
                     fade(pal::Bronze, 0.9f));
    const BigButton big = bigButtonFor(s.state, s.gameInstalled, idle());
    const bool pressed = uiButton(draw, menu, big.label, big.enabled, true, layout.bigButton, 4);
    if (pressed || (big.enabled && menu.enter)) actions.push_back(big.action);
    drawStatusLine(draw, ui, s, layout);
    drawProgressBar(draw, s, layout.bar, t);

    if (ui.listOpen) drawChannelList(ui, draw, s, input, layout, actions);
    if (ui.dialogOpen) drawKeyDialog(ui, draw, input, layout, now, actions);
}

}  // namespace kd
