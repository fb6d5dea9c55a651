// The playtester key's controls: the channel selector in the menu, its drop-down list and the key
// dialog. Every commit asks for the settings to be written and handed to the engine, then for a
// fresh check.
#include <GLFW/glfw3.h>

#include <algorithm>
#include <cmath>

#include "app/ui.h"
#include "gfx/text.h"
#include "update/updater.h"

namespace kd {

using launcher::UpdaterStatus;
namespace pal = palette;

namespace {

constexpr std::size_t kMaxKeyLength = 64;
constexpr float kListX = 48;
constexpr float kListWidth = 260;
constexpr float kRowHeight = 34;
// The field is 516 wide; the text starts 12 in and leaves room for the caret and 12 at the end.
constexpr float kKeyTextRoom = 516 - 12 - 7 - 12;

// The order matters: the settings first, then a new check; the automatic update may run once
// more for the new setting.
void commitChoice(LauncherUi& ui, UiActions& actions, const std::string& testerKey, bool testing) {
    ui.settings.testerKey = testerKey;
    ui.settings.testingChannel = testing;
    actions.push_back(UiAction::SaveSettings);
    actions.push_back(UiAction::Check);
    ui.autoStarted = false;
}

}  // namespace

std::string filterKeyText(std::string_view text) {
    std::string kept;
    for (char c : text) {
        if (kept.size() == kMaxKeyLength) break;
        if (c >= 'a' && c <= 'z')
            kept += char(c - 'a' + 'A');
        else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')
            kept += c;
    }
    return kept;
}

void drawChannelSelector(LauncherUi& ui, Renderer& r, const UpdaterStatus& s, const UiInput& menu,
                         const ScreenLayout& layout) {
    r.text("BUILD", 48, layout.keyRowY, 2, pal::TextDisabled);
    const float y2 = layout.selectorTop;
    const bool idle = !s.busy;
    const bool hovered = idle && 48 <= menu.x && menu.x < 308 && y2 <= menu.y && menu.y < y2 + 36;
    if (hovered)
        r.chamferRect(48, y2, 260, 36, 6, pal::PanelHover, pal::Gold);
    else
        r.chamferRect(48, y2, 260, 36, 6, pal::Panel, fade(pal::Bronze, 0.9f));
    r.text(s.shownChannel == launcher::Channel::Testing ? "Testing" : "Live", 62, y2 + 11, 2,
           idle ? pal::Text : pal::TextDisabled);
    for (int i = 0; i < 5; ++i) r.fillRect(280 + i, y2 + 15 + i, 11 - 2 * i, 1, pal::GoldDim);
    if (s.keyState == launcher::KeyState::Refused)
        r.text("Key not accepted", layout.keyRefusedX, layout.keyRefusedY, 2, pal::Error);
    if (hovered && menu.clicked) {
        ui.listOpen = true;
        ui.listOpenedThisFrame = true;
    }
    ui.listTop = layout.listTop;
}

void drawChannelList(LauncherUi& ui, Renderer& r, const UpdaterStatus& s, const FrameInput& input,
                     UiActions& actions) {
    const UiInput& in = input.real;
    r.chamferRect(kListX, ui.listTop, kListWidth, kListHeight, 6, pal::PanelDark, pal::GoldDim);
    static const char* const kRows[] = {"Live", "Testing", "Change key...", "Forget key"};
    int chosen = -1;
    for (int i = 0; i < 4; ++i) {
        float yi = ui.listTop + 4 + kRowHeight * i;
        bool hovered =
            kListX <= in.x && in.x < kListX + kListWidth && yi <= in.y && in.y < yi + kRowHeight;
        if (hovered) r.fillRect(50, yi, 256, kRowHeight, fade(pal::Ember, 0.6f));
        Color color = pal::TextDim;
        if (i < 2) {
            const auto row = i == 1 ? launcher::Channel::Testing : launcher::Channel::Live;
            const bool shown = s.shownChannel == row;
            color = shown ? pal::Gold : hovered ? pal::TextBright : pal::Text;
        }
        r.text(kRows[i], 62, yi + 10, 2, color);
        if (hovered && in.clicked) chosen = i;
    }
    // The click that opened the list must not also pick a row.
    if (ui.listOpenedThisFrame) {
        ui.listOpenedThisFrame = false;
        ui.listOpen = !input.escape;
        return;
    }
    switch (chosen) {
        case 0:
        case 1:
            commitChoice(ui, actions, ui.settings.testerKey, chosen == 1);
            ui.listOpen = false;
            break;
        case 2:
            ui.listOpen = false;
            ui.keyText.clear();
            ui.dialogOpen = true;
            break;
        case 3:
            commitChoice(ui, actions, "", false);
            ui.listOpen = false;
            break;
        default:
            if (in.clicked || input.escape) ui.listOpen = false;
    }
}

void drawKeyDialog(LauncherUi& ui, Renderer& r, const FrameInput& input, const ScreenLayout& layout,
                   double now, UiActions& actions) {
    // The click that opened the dialog (the menu link or the list row) can lie where "Cancel" or
    // "USE KEY" now stands, depending on the window size; it must not press them too.
    UiInput in = input.real;
    if (!ui.dialogShown) in.clicked = false;
    ui.dialogShown = true;
    r.fillRect(0, 0, layout.w, layout.h, {0, 0, 0, 0.6f});
    const float dx = layout.dialogX, dy = layout.dialogY;
    r.chamferRect(dx, dy, 560, 220, 10, pal::Panel, pal::GoldDim);
    r.text("PLAYTESTER KEY", dx + 22, dy + 20, 2, pal::TextDim);
    r.text("Paste the key you were given (Ctrl+V).", dx + 22, dy + 48, 2, pal::TextDisabled);

    for (std::uint32_t key : input.keys) {
        if ((key & 0xffff) == GLFW_KEY_BACKSPACE && !ui.keyText.empty()) ui.keyText.pop_back();
        if ((key & 0x1ffff) == (kKeyControlFlag | GLFW_KEY_V)) actions.push_back(UiAction::Paste);
    }
    ui.keyText += input.typed;
    ui.keyText = filterKeyText(ui.keyText);

    r.fillRect(dx + 22, dy + 78, 516, 40, pal::Shadow);
    r.fillRect(dx + 22, dy + 117, 516, 1, pal::GoldDim);
    // A key longer than the field scrolls inside it, so its end and the caret stay in view.
    const float keyWidth = textWidth(ui.keyText, 3);
    const float keyX = dx + 34 - std::max(0.0f, keyWidth - kKeyTextRoom);
    r.beginClip(dx + 22, dy + 78, 516, 40);
    r.text(ui.keyText, keyX, dy + 88, 3, pal::TextBright);
    if (std::fmod(now, 1.0) < 0.55) r.fillRect(keyX + keyWidth + 4, dy + 86, 3, 26, pal::Accent);
    r.endClip();

    const bool hasText = !ui.keyText.empty();
    bool use = uiButton(r, in, "USE KEY", hasText, true, dx + 358, dy + 152, 180, 48, 2);
    if (!use) use = in.enter && hasText;
    bool cancel = uiButton(r, in, "Cancel", true, false, dx + 22, dy + 162, 120, 30, 2);
    if (use) {
        commitChoice(ui, actions, ui.keyText, true);
        ui.dialogOpen = false;
    } else if (cancel) {
        ui.dialogOpen = false;
    } else {
        ui.dialogOpen = !input.escape;
    }
    ui.dialogShown = ui.dialogOpen;
}

}  // namespace kd
