// The playtester key's controls: the channel selector in the menu, its drop-down list and the key
// dialog. Every commit asks for the settings to be written and handed to the engine, then for a
// fresh check.
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
// The key starts 12 into its field and leaves room for the caret and 12 at the end.
constexpr float kKeyTextInset = 12;
constexpr float kCaretRoom = 7;

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

void drawChannelSelector(LauncherUi& ui, DrawList& draw, const UpdaterStatus& s,
                         const UiInput& menu, const ScreenLayout& layout) {
    draw.text("BUILD", layout.keyLink.x, layout.keyLink.y, 2, pal::TextDisabled);
    const Rect& box = layout.selector;
    const bool idle = !s.busy;
    const bool hovered = idle && box.contains(menu.x, menu.y);
    if (hovered)
        draw.chamferRect(box.x, box.y, box.w, box.h, 6, pal::PanelHover, pal::Gold);
    else
        draw.chamferRect(box.x, box.y, box.w, box.h, 6, pal::Panel, fade(pal::Bronze, 0.9f));
    draw.text(s.shownChannel == launcher::Channel::Testing ? "Testing" : "Live", box.x + 14,
              box.y + 11, 2, idle ? pal::Text : pal::TextDisabled);
    // The chevron: a small downward triangle at the right end.
    for (int i = 0; i < 5; ++i)
        draw.fillRect(box.x + box.w - 28 + i, box.y + 15 + i, 11 - 2 * i, 1, pal::GoldDim);
    if (s.keyState == launcher::KeyState::Refused)
        draw.text("Key not accepted", layout.keyRefusedX, layout.keyRefusedY, 2, pal::Error);
    if (hovered && menu.clicked) {
        ui.listOpen = true;
        ui.listOpenedThisFrame = true;
    }
}

void drawChannelList(LauncherUi& ui, DrawList& draw, const UpdaterStatus& s,
                     const FrameInput& input, const ScreenLayout& layout, UiActions& actions) {
    const UiInput& in = input.real;
    const Rect& list = layout.list;
    draw.chamferRect(list.x, list.y, list.w, list.h, 6, pal::PanelDark, pal::GoldDim);
    static const char* const kRows[] = {"Live", "Testing", "Change key...", "Forget key"};
    int chosen = -1;
    for (int i = 0; i < 4; ++i) {
        const Rect row{list.x, list.y + 4 + layout.listRowHeight * i, list.w, layout.listRowHeight};
        const bool hovered = row.contains(in.x, in.y);
        if (hovered) draw.fillRect(row.x + 2, row.y, row.w - 4, row.h, fade(pal::Ember, 0.6f));
        Color color = pal::TextDim;
        if (i < 2) {
            const auto channel = i == 1 ? launcher::Channel::Testing : launcher::Channel::Live;
            const bool shown = s.shownChannel == channel;
            color = shown ? pal::Gold : hovered ? pal::TextBright : pal::Text;
        }
        draw.text(kRows[i], row.x + 14, row.y + 10, 2, color);
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

void drawKeyDialog(LauncherUi& ui, DrawList& draw, const FrameInput& input,
                   const ScreenLayout& layout, double now, UiActions& actions) {
    // The click that opened the dialog (the menu link or the list row) can lie where "Cancel" or
    // "USE KEY" now stands, depending on the window size; it must not press them too.
    UiInput in = input.real;
    if (!ui.dialogShown) in.clicked = false;
    ui.dialogShown = true;
    draw.fillRect(0, 0, layout.w, layout.h, {0, 0, 0, 0.6f});
    const Rect& box = layout.dialog;
    draw.chamferRect(box.x, box.y, box.w, box.h, 10, pal::Panel, pal::GoldDim);
    draw.text("PLAYTESTER KEY", box.x + 22, box.y + 20, 2, pal::TextDim);
    draw.text("Paste the key you were given (Ctrl+V).", box.x + 22, box.y + 48, 2,
              pal::TextDisabled);

    for (std::uint32_t key : input.keys) {
        if ((key & 0xffff) == kKeyBackspace && !ui.keyText.empty()) ui.keyText.pop_back();
        if ((key & 0x1ffff) == (kKeyControlFlag | kKeyV)) actions.push_back(UiAction::Paste);
    }
    ui.keyText += input.typed;
    ui.keyText = filterKeyText(ui.keyText);

    const Rect& field = layout.keyField;
    draw.fillRect(field.x, field.y, field.w, field.h, pal::Shadow);
    draw.fillRect(field.x, field.y + field.h - 1, field.w, 1, pal::GoldDim);
    // A key longer than the field scrolls inside it, so its end and the caret stay in view.
    const float keyWidth = textWidth(ui.keyText, 3);
    const float room = field.w - 2 * kKeyTextInset - kCaretRoom;
    const float keyX = field.x + kKeyTextInset - std::max(0.0f, keyWidth - room);
    draw.beginClip(field.x, field.y, field.w, field.h);
    draw.text(ui.keyText, keyX, field.y + 10, 3, pal::TextBright);
    if (std::fmod(now, 1.0) < 0.55)
        draw.fillRect(keyX + keyWidth + 4, field.y + 8, 3, 26, pal::Accent);
    draw.endClip();

    const bool hasText = !ui.keyText.empty();
    bool use = uiButton(draw, in, "USE KEY", hasText, true, layout.useKey, 2);
    if (!use) use = in.enter && hasText;
    bool cancel = uiButton(draw, in, "Cancel", true, false, layout.cancel, 2);
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
