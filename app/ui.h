// The launcher's one screen, drawn anew every frame in immediate mode into a DrawList: palette,
// layout, the widget helper, the state kept between frames, the pieces of the screen (main screen,
// channel selector and list, key dialog, news panel) and the requests they make. No window and no
// GL: the frame loop hands the input in and the finished list to the GL backend. UI thread only.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"
#include "gfx/draw_list.h"

namespace kd {

namespace launcher {
enum class UpdaterState : std::uint32_t;
struct UpdaterStatus;
}  // namespace launcher

namespace palette {
constexpr Color Shadow{0.010f, 0.009f, 0.012f, 1};
constexpr Color Line{0.300f, 0.286f, 0.300f, 1};
constexpr Color PanelDark{0.032f, 0.030f, 0.038f, 0.96f};
constexpr Color Panel{0.058f, 0.054f, 0.066f, 0.93f};
constexpr Color PanelHover{0.110f, 0.104f, 0.118f, 0.93f};
constexpr Color ButtonFill{0.205f, 0.190f, 0.182f, 1};
constexpr Color ButtonFillHover{0.330f, 0.250f, 0.150f, 1};
constexpr Color Error{0.760f, 0.220f, 0.160f, 1};
constexpr Color Glow{0.950f, 0.420f, 0.140f, 1};
constexpr Color Ember{0.520f, 0.200f, 0.060f, 1};
constexpr Color Accent{0.980f, 0.480f, 0.180f, 1};
constexpr Color Gold{0.960f, 0.800f, 0.480f, 1};
constexpr Color Bronze{0.420f, 0.310f, 0.150f, 1};
constexpr Color GoldDim{0.780f, 0.600f, 0.300f, 1};
constexpr Color TextDisabled{0.400f, 0.388f, 0.365f, 1};
constexpr Color TextDim{0.560f, 0.540f, 0.505f, 1};
constexpr Color TextBright{1.000f, 0.965f, 0.870f, 1};
constexpr Color Text{0.870f, 0.845f, 0.780f, 1};
}  // namespace palette

// A palette colour with its alpha multiplied, as in "Glow x 0.22".
constexpr Color fade(Color color, float factor) {
    return {color.r, color.g, color.b, color.a * factor};
}

struct UiInput {
    float x = 0, y = 0;    // cursor, window units
    bool clicked = false;  // left button went down this frame
    bool enter = false;    // Enter or keypad Enter pressed this frame
};

// What the window's callbacks gathered since the last frame, as frameInput makes it, plus the two
// input copies.
struct FrameInput {
    UiInput real;  // for the overlays
    UiInput menu;  // for everything under them; blanked while an overlay is open
    float wheel = 0;
    std::vector<std::uint32_t> keys;  // key code, | kKeyControlFlag with Control or Super held
    std::string typed;                // ASCII characters typed this frame
    bool escape = false;
};

// Key events are GLFW's key codes, with this flag added while Control or Super is held.
constexpr std::uint32_t kKeyControlFlag = 0x10000;
constexpr std::uint32_t kKeyEscape = 256, kKeyEnter = 257, kKeyBackspace = 259, kKeyV = 86,
                        kKeyKeypadEnter = 335;

struct EmberParticle {
    float x, y, vy, life, age, size, phase;
};

// The news laid out for one text and width: redone only when either changes, so long news costs
// nothing per frame but drawing the lines in view.
struct NewsLine {
    float y, x;   // from the top-left of the text
    float scale;  // 0 for a bullet's square
    Color color;
    std::string text;
};
struct NewsLayout {
    std::string text;
    float width = -1;
    std::vector<NewsLine> lines;  // in order of y
    float height = 0;
};

// Where the pieces of the screen stand in a window of w x h, worked out once per frame and read by
// the drawing, the hit-testing and the tests alike. Every place on the screen is here; the drawing
// adds only the small offsets inside a piece.
struct ScreenLayout {
    float w = 0, h = 0;
    float titleX = 48, titleY = 60, titleScale = 8, titleWidth = 0, titleBottom = 0;
    float versionY = 0, versionWidth = 0;  // the version line ends before the news panel
    float menuX = 48;
    Rect menuLinks[3];  // "Verify game files", "Open game folder", "Check for updates"
    Rect keyLink;       // "Playtester key..."; with a key, the selector's "BUILD" row
    Rect selector;
    Rect list;  // below the selector, or above it in a short window
    float listRowHeight = 34;
    float keyRefusedX = 0, keyRefusedY = 0;
    Rect newsPanel;
    Rect newsView;  // the part of the panel the news scrolls in
    Rect bottomPanel;
    float statusX = 60;
    Rect bar;  // the progress bar's track
    Rect bigButton;
    Rect dialog, keyField, useKey, cancel;
};
ScreenLayout screenLayout(float w, float h);

// What the screen asks for during a frame. The frame loop carries the requests out after the
// frame, in the order they were made, so no widget does file, process or engine work itself.
enum class UiAction {
    None,          // a disabled button's
    SaveSettings,  // write ui.settings and give the engine its channel and key
    Check,
    Update,
    Verify,
    Play,
    OpenFolder,
    Paste,  // append the clipboard to the key being typed
};
using UiActions = std::vector<UiAction>;

// The state the screen keeps from one frame to the next.
struct LauncherUi {
    LauncherSettings settings;  // as read at start; rewritten when the key or channel changes

    std::vector<EmberParticle> embers;
    std::mt19937 random{1234};
    bool autoInstall = false;
    bool autoVerify = false;
    bool autoStarted = false;

    bool listOpen = false;
    bool listOpenedThisFrame = false;
    bool dialogOpen = false;
    bool dialogShown = false;  // the dialog was drawn in an earlier frame, so clicks may reach it
    std::string keyText;

    float scrollPos = 0;
    float scrollTarget = 0;
    NewsLayout news;

    std::string failure;  // the last request that failed, shown until the next request

    float nextUniform();
};

// The one way a failure of the launcher's own reaches the player: shown on the status line
// instead of the engine's sentence until the next request, and logged once.
void reportFailure(LauncherUi& ui, const std::string& sentence);

// The frame's input as the widgets read it: Enter and Escape picked out of the key events, and
// the menu copy blanked while an overlay is open, so that nothing under it reacts.
FrameInput frameInput(const LauncherUi& ui, float x, float y, bool clicked, float wheel,
                      std::vector<std::uint32_t> keys, std::string typed);

// Draws a boxed or link button and returns true when it was clicked while enabled.
bool uiButton(DrawList& draw, const UiInput& input, std::string_view label, bool enabled,
              bool boxed, const Rect& box, float scale);

struct BigButton {
    const char* label;
    UiAction action;
    bool enabled;
};
BigButton bigButtonFor(launcher::UpdaterState state, bool gameInstalled, bool idle);
std::string versionLineText(const launcher::UpdaterStatus& s);
std::string statusLineText(const launcher::UpdaterStatus& s);

// One whole frame's drawing, in screen order, into a list that beginFrame has emptied; what it
// asks for is appended to actions.
void drawScreen(LauncherUi& ui, DrawList& draw, const launcher::UpdaterStatus& s,
                const FrameInput& input, double now, float dt, UiActions& actions);

// Overlays and the news panel.
void drawChannelSelector(LauncherUi& ui, DrawList& draw, const launcher::UpdaterStatus& s,
                         const UiInput& menu, const ScreenLayout& layout);
void drawChannelList(LauncherUi& ui, DrawList& draw, const launcher::UpdaterStatus& s,
                     const FrameInput& input, const ScreenLayout& layout, UiActions& actions);
void drawKeyDialog(LauncherUi& ui, DrawList& draw, const FrameInput& input,
                   const ScreenLayout& layout, double now, UiActions& actions);
void drawNewsPanel(LauncherUi& ui, DrawList& draw, const launcher::UpdaterStatus& s,
                   const FrameInput& input, const ScreenLayout& layout, float dt);
// The lines of text, each at most width wide, and the scale that lets all of them fit into
// maxLines lines: scale 2, or scale 1 when that needs more lines.
struct FittedText {
    std::vector<std::string> lines;
    float scale = 2;
};
FittedText fitText(std::string_view text, float width, std::size_t maxLines);
// Draws the news markup with its top-left at (x, y); returns the height used.
float drawNews(DrawList& draw, std::string_view text, float x, float y, float width);
// Lays the text out into layout unless it already holds this text at this width.
void layoutNews(NewsLayout& layout, std::string_view text, float width);
// Draws the laid-out lines with the text's top-left at (x, y), only those between fromY and toY.
void drawNewsLines(DrawList& draw, const NewsLayout& layout, float x, float y, float fromY,
                   float toY);

// Keeps A-Z (a-z raised), 0-9 and '-' in order, at most 64 of them.
std::string filterKeyText(std::string_view text);

}  // namespace kd
