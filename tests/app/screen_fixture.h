// Shared by the end-to-end tests of the overlays and the news panel: where things sit on the
// launcher's screen at its default window size, what they look like in a capture, and a fixture
// that serves a Live and a Testing release and starts the launcher against them.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "app/ui.h"
#include "gfx/text.h"
#include "tests/app/launcher_harness.h"

namespace kd::test {

namespace pal = palette;

constexpr int kW = 1024, kH = 620;
constexpr float kTitleBottom = 60 + 8 * 8;
constexpr float kMenuY0 = kTitleBottom + 90;
constexpr float kKeyRowY = kMenuY0 + 132;  // "Playtester key..." or the channel selector
constexpr float kSelectorTop = kKeyRowY + 22;
constexpr float kListTop = kSelectorTop + 38;
constexpr float kDialogX = (kW - 560) / 2.0f, kDialogY = (kH - 220) / 2.0f;
constexpr int kBigX = kW - 280, kBigY = kH - 108;

// The news panel: panelX = max(0.46 w, title width + 96), the title being 53 font columns at 8.
constexpr float kPanelX = 53 * 8 + 96;
constexpr float kPanelW = kW - kPanelX - 40;
constexpr float kNewsLeft = kPanelX + 22, kNewsTop = 100;
constexpr float kNewsVisible = (kH - 198) - 66;
constexpr int kThumbX = int(kPanelX + kPanelW) - 27;

constexpr const char* kSettingsHeader = "# Veilstone launcher settings. Written by the launcher.\n";

inline float listRowTop(int row) { return kListTop + 4 + 34 * row; }

// dialogY: the dialog's top, (h - 220) / 2 for a window h units tall.
inline bool dialogShown(const Picture& p, float dialogY = kDialogY) {
    return showsText(p, "PLAYTESTER KEY", kDialogX + 22, dialogY + 20, 2, pal::TextDim) &&
           showsText(p, "Paste the key you were given (Ctrl+V).", kDialogX + 22, dialogY + 48, 2,
                     pal::TextDisabled);
}

// The key field holds exactly this text (no typed text at all for "").
inline bool keyFieldShows(const Picture& p, std::string_view key) {
    if (!dialogShown(p)) return false;
    if (key.empty())
        return p.count(int(kDialogX) + 22, int(kDialogY) + 78, 516, 39, pal::TextBright, 6) == 0;
    // Nothing drawn in the field beyond the text (the caret is Accent, not TextBright).
    float end = kDialogX + 34 + textWidth(key, 3);
    return showsText(p, key, kDialogX + 34, kDialogY + 88, 3, pal::TextBright) &&
           p.count(int(end) + 1, int(kDialogY) + 78, int(kDialogX + 538 - end) - 1, 39,
                   pal::TextBright, 6) == 0;
}

inline bool useKeyShows(const Picture& p, bool enabled) {
    return showsText(p, "USE KEY", kDialogX + 358 + (180 - textWidth("USE KEY", 2)) / 2,
                     kDialogY + 152 + 16, 2, enabled ? pal::Text : pal::TextDisabled);
}

// The channel list's rows, with "Change key..." and "Forget key" always in TextDim.
inline bool listShown(const Picture& p) {
    return showsText(p, "Change key...", 62, listRowTop(2) + 10, 2, pal::TextDim) &&
           showsText(p, "Forget key", 62, listRowTop(3) + 10, 2, pal::TextDim);
}

// The selector with this channel's name, drawn while the engine is idle.
inline bool selectorShows(const Picture& p, std::string_view channel) {
    return showsText(p, "BUILD", 48, kKeyRowY, 2, pal::TextDisabled) &&
           showsText(p, channel, 62, kSelectorTop + 11, 2, pal::Text);
}

inline bool keyLinkShown(const Picture& p) {
    return showsText(p, "Playtester key...", 48, kKeyRowY + 7, 2, pal::TextDim);
}

inline bool testingBuildShown(const Picture& p, std::string_view versionLine) {
    return showsText(p, "TESTING BUILD", 48 + textWidth(versionLine, 2) + 16, kTitleBottom + 30, 2,
                     pal::Accent);
}

// "Check for updates" is enabled exactly while the engine is idle (cursor away from it).
inline bool idleShown(const Picture& p) {
    return showsText(p, "Check for updates", 48, kMenuY0 + 76 + 7, 2, pal::TextDim);
}

// When VEILSTONE_SCREENSHOT_DIR is set, keeps the picture there for reviewers under this name.
inline void keepForReviewers(const Picture& p, const std::string& name) {
    if (const char* dir = std::getenv("VEILSTONE_SCREENSHOT_DIR"))
        EXPECT_TRUE(writePicture(p, std::string(dir) + "/" + name)) << name;
}

class ScreenTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(h.display().empty()) << "Xvfb did not start"; }

    // Publishes the demo game as Live 1.0 and Testing 1.1 with their news, and serves both.
    void serve(const std::string& liveNews, const std::string& testingNews = "# Testing notes\n") {
        h.makeGame();
        ASSERT_TRUE(h.publish("1.0", "live", liveNews));
        ASSERT_TRUE(h.publish("1.1", "testing", testingNews));
        ASSERT_TRUE(h.startServer()) << h.server().errorLog();
    }

    std::string settingsPath() const { return h.launcherDir() + "/launcher.cfg"; }
    std::string settingsFile() const { return readText(settingsPath()); }
    std::string serverLine() { return "server = " + h.server().url() + "\n"; }

    // Starts the launcher with a settings file of the server line and these lines, and waits
    // until its first check has ended.
    void startIdle(const std::string& settings = "") {
        writeText(settingsPath(), serverLine() + settings);
        h.start({});
        ASSERT_FALSE(h.waitForWindow().empty()) << h.output();
        h.moveMouse(5, 5);
        ASSERT_TRUE(idleShown(h.captureUntil(idleShown))) << h.log();
    }

    // Manifest requests on either channel: one per check.
    std::size_t checksSeen() {
        return h.server().countRequests("/manifest-") +
               h.server().countRequests("/testing/manifest-");
    }

    // Clicks the link (anywhere in its 260 x 30 area) and waits for the dialog.
    void openKeyDialog(int x = 150, int y = int(kKeyRowY) + 15) {
        h.click(x, y);
        auto shown = [](const Picture& p) { return dialogShown(p); };
        ASSERT_TRUE(shown(h.captureUntil(shown))) << "the key dialog did not open";
    }

    void openList() {
        h.click(150, int(kSelectorTop) + 18);
        ASSERT_TRUE(listShown(h.captureUntil(listShown))) << "the channel list did not open";
    }

    LauncherHarness h;
};

}  // namespace kd::test
