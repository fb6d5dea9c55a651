// The launcher's screen over its draw list, without a window: the key dialog, the channel list
// and the news panel driven frame by frame as the frame loop drives them, with the requests
// carried out for real (the settings file in a folder of its own, the engine on a server that is
// not there), the big button while a job starts, and the launcher's own failures on the status
// line. What only a window shows (typing, the clipboard, the wheel, pixels) is in launcher_test.
#include <gtest/gtest.h>

#include <functional>

#include "app/process_internal.h"
#include "app/requests.h"
#include "gfx/text.h"
#include "log/log.h"
#include "tests/support/temp_dir.h"
#include "update/updater.h"

namespace kd::test {
namespace {

namespace pal = palette;
using launcher::UpdaterState;
constexpr int kW = 1024, kH = 620;
const std::string kServer = "http://127.0.0.1:9/";
const std::string kHeader = "# Veilstone launcher settings. Written by the launcher.\n";
const std::string kServerLine = "server = " + kServer + "\n";
const std::string kKeyLine = "tester_key = TEST-KEY-42\n";
constexpr int kFixes = 180;  // the Live news: more than 14 panels tall

std::string fixLine(int i) { return "Lantern " + std::to_string(1000 + i) + " no longer flickers"; }
std::string liveNews() {
    std::string news =
        "# Live notes\n**Update 1.4 is live**\n\nThe ashen road is open again, and the lantern "
        "keepers are back.\n\n# Fixes\n";
    for (int i = 0; i < kFixes; ++i) news += "- " + fixLine(i) + "\n";
    return news + "Thank you for playing.\n";
}
bool within(const Rect& in, const Rect& out) {
    return out.x <= in.x && in.x + in.w <= out.x + out.w && out.y <= in.y &&
           in.y + in.h <= out.y + out.h;
}
float middle(const Rect& r) { return r.y + r.h / 2; }

struct Input {
    float x = 5, y = 5;
    bool clicked = false;
    std::vector<std::uint32_t> keys;
    std::string typed;
    float wheel = 0;
};

class Screen : public ::testing::Test {
protected:
    void SetUp() override { setFolderOpenerForTesting("/bin/true"), ui.settings.server = kServer; }
    // One frame as the loop runs it: input, drawing, then the requests carried out.
    void frame(const Input& in = {}) {
        list.beginFrame(w, h, w, h);
        actions.clear();
        drawScreen(ui, list, s, frameInput(ui, in.x, in.y, in.clicked, in.wheel, in.keys, in.typed),
                   now += 1.0 / 60, 1.0f / 60, actions);
        for (UiAction a : actions)
            if (a != UiAction::Paste) started.push_back(a);
        carryOut(actions, ui, updater, dir.path(), [&] { return clip ? clip->c_str() : nullptr; });
    }
    void frames(int n) {
        while (n-- > 0) frame();
    }
    void click(const Rect& r, float dx = -1, float dy = -1) {
        frame({.x = r.x + (dx < 0 ? r.w / 2 : dx),
               .y = dy < 0 ? middle(r) : r.y + dy,
               .clicked = true});
    }
    void key(std::uint32_t k) { frame({.keys = {k}}); }
    void paste(std::string text) { clip = text, key(kKeyControlFlag | kKeyV); }
    void wheel(float x, float notches) { frame({.x = x, .y = 300, .wheel = notches}), frames(60); }
    Rect listRow(int i) { return {l().list.x, l().list.y + 4 + 34.0f * i, 260, 34}; }
    ScreenLayout l() const { return screenLayout(float(w), float(h)); }
    std::string settingsFile() { return readText(dir / "launcher.cfg"); }

    // A text drawn at this scale in this colour with its top-left in the area, whole inside the
    // clip it was drawn under.
    bool shows(std::string_view text, float scale, Color color,
               Rect area = {0, 0, 1e4, 1e4}) const {
        for (const DrawText& t : list.texts) {
            const DrawStretch& stretch = list.stretches[t.stretch];
            if (list.textOf(t) == text && t.scale == scale && t.color == color &&
                area.contains(t.x, t.y) &&
                (!stretch.clipped ||
                 within({t.x, t.y, textWidth(text, scale), 8 * scale}, stretch.clip)))
                return true;
        }
        return false;
    }
    // The status line's text in this colour, its lines joined by blanks.
    std::string statusLine(Color color) const {
        std::string line;
        for (const DrawText& t : list.texts)
            if (t.x == l().statusX && t.y > l().bottomPanel.y && t.color == color)
                line += (line.empty() ? "" : " ") + std::string(list.textOf(t));
        return line;
    }
    bool dialog() const { return shows("PLAYTESTER KEY", 2, pal::TextDim); }
    bool listOpen() const { return shows("Forget key", 2, pal::TextDim); }
    bool selector(const char* channel) const { return shows(channel, 2, pal::Text); }
    bool heading(const std::string& text) const { return shows(text, 3, pal::Gold, l().newsView); }
    bool testingBuild() const { return shows("TESTING BUILD", 2, pal::Accent); }
    bool newsLine(const std::string& text, Color color = pal::Text, float indent = 0) const {
        return shows(text, 2, color, {l().newsView.x + indent, -1e4, 1, 2e4});
    }
    bool thumb() const {
        for (std::size_t i = 0; i < list.vertices.size(); i += 6) {
            const Vertex& v = list.vertices[i];
            if (Color{v.r, v.g, v.b, v.a} == pal::GoldDim &&
                v.x == l().newsView.x + l().newsView.w - 5)
                return true;
        }
        return false;
    }
    // The field holds exactly this key, its end in view in the field, and "USE KEY" is enabled
    // when it holds any.
    void expectField(const std::string& key) {
        EXPECT_TRUE(dialog() && shows("USE KEY", 2, key.empty() ? pal::TextDisabled : pal::Text));
        const Rect field = l().keyField;
        const float width = textWidth(key, 3);
        int found = 0;
        for (const DrawText& t : list.texts)
            if (t.color == pal::TextBright && t.scale == 3 && ++found)
                EXPECT_TRUE(list.textOf(t) == key && list.stretches[t.stretch].clip == field &&
                            t.x + width <= field.x + field.w - 12 &&
                            (t.x == field.x + 12 || width > field.w - 31))
                    << key;
        EXPECT_EQ(found, 1) << key;
    }
    std::string settingsWith(const std::string& lines) { return kHeader + kServerLine + lines; }

    TempDir dir;
    launcher::Updater updater{dir.path(), kServer, {}};
    LauncherUi ui;
    launcher::UpdaterStatus s{.state = UpdaterState::ReadyToInstall,
                              .message = "2 KB to download",
                              .latestVersion = "1.0"};
    DrawList list;
    UiActions actions, started;
    std::optional<std::string> clip;
    double now = 0;
    int w = kW, h = kH;
};

TEST_F(Screen, KeyDialogEditsClosesAndCommitsARefusedKeyThenOneThatIsUsed) {
    frame();
    // The right end of the link lies where the dialog puts "Cancel": the opening click must not
    // also close it.
    click(l().keyLink, 252, 24);
    // Each step builds on the field the previous ones left. Clicks on the screen underneath and
    // Enter on an empty field do nothing; Escape and "Cancel" close, and it opens again empty.
    const std::pair<std::function<void()>, std::string> steps[] = {
        {[] {}, ""},
        {[&] { key(kKeyBackspace); }, ""},
        {[&] { key(kKeyControlFlag | kKeyV); }, ""},  // nothing on the clipboard
        {[&] { paste(""); }, ""},
        {[&] { click(l().menuLinks[2]), click(l().bigButton), key(kKeyEnter); }, ""},
        {[&] { paste(" ab-12 cd\n"); }, "AB-12CD"},  // blanks, lower case and a line feed
        {[&] { frame({.typed = "v x!"}); }, "AB-12CDVX"},
        {[&] { key(kKeyBackspace); }, "AB-12CDV"},
        {[&] { paste("z9"); }, "AB-12CDVZ9"},
        {[&] { key(kKeyEscape), click(l().keyLink); }, ""},
        {[&] { frame({.typed = "abc"}); }, "ABC"},
        {[&] { click(l().cancel), click(l().keyLink); }, ""},
    };
    for (const auto& [act, field] : steps) {
        act();
        frame();
        expectField(field);
    }
    EXPECT_TRUE(started.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "launcher.cfg"));

    // Enter commits the first 64 characters, the field scrolling to keep their end in view, and
    // the choice goes into the settings as the user made it.
    std::string kept;
    for (int i = 0; i < 64; ++i) kept += char('A' + i % 26);
    frame({.typed = kept + "xyz"});
    expectField(kept);
    key(kKeyEnter);
    EXPECT_EQ(started, (UiActions{UiAction::SaveSettings, UiAction::Check}));
    EXPECT_EQ(settingsFile(), settingsWith("tester_key = " + kept + "\nchannel = testing\n"));
    // The server refuses it. In the smallest window the refusal stays clear of the bottom panel,
    // the status sentence keeps its end on a second line and the channel list opens upward.
    s.keyState = launcher::KeyState::Refused;
    s.message = "Playtester key not accepted; showing Live";
    s.news = "# Live notes\n";
    w = 820, h = 520;
    frame();
    EXPECT_TRUE(!dialog() && selector("Live") && heading("Live notes") &&
                shows("VEILSTONE", 7, pal::Gold) && !testingBuild());
    EXPECT_TRUE(
        shows("Key not accepted", 2, pal::Error, {0, 0, l().newsPanel.x, l().bottomPanel.y - 16}));
    EXPECT_EQ(statusLine(pal::Text), "Veilstone 1.0: Playtester key not accepted; showing Live");
    EXPECT_TRUE(shows("accepted; showing Live", 2, pal::Text, {60, 0, 1, l().bar.y - 16}));

    // "Change key..." opens the dialog empty; the key the server knows is used.
    click(l().selector);
    EXPECT_TRUE(listOpen() && within(l().list, {0, 0, float(w), float(h)}));
    click(listRow(2));
    frame();
    expectField("");
    frame({.typed = "TEST-KEY-42"});
    click(l().useKey);
    EXPECT_EQ(settingsFile(), settingsWith(kKeyLine + "channel = testing\n"));
    // A version line too long to share its row puts "TESTING BUILD" under it.
    s = {.state = UpdaterState::ReadyToInstall,
         .shownChannel = launcher::Channel::Testing,
         .keyState = launcher::KeyState::Accepted,
         .latestVersion = "1.1-preview-2026-12-07",
         .news = "# Testing notes\n"};
    frame();
    EXPECT_TRUE(!dialog() && selector("Testing") && heading("Testing notes") &&
                shows("Latest 1.1-preview-2026-12-07", 2, pal::TextDim));
    EXPECT_TRUE(shows("TESTING BUILD", 2, pal::Accent, {48, l().versionY + 10, 1, 30}));
}

TEST_F(Screen, ChannelListPicksClosesWithoutActingChangesOrForgetsTheKeyAndNewsScrolls) {
    ui.settings.testerKey = "TEST-KEY-42";
    ui.settings.testingChannel = true;
    s = {.state = UpdaterState::UpToDate,
         .shownChannel = launcher::Channel::Testing,
         .news = "# Testing notes\nOnly a few lines so far.\n",
         .gameInstalled = true};
    frame();
    EXPECT_TRUE(heading("Testing notes") && !thumb());
    // The click that opens the list picks no row, Enter is not for the big button underneath,
    // and a click elsewhere or Escape closes the list without acting.
    const std::function<void()> closes[] = {
        [&] { click(l().bigButton); }, [&] { click(l().menuLinks[2]); }, [&] { key(kKeyEscape); }};
    for (const auto& close : closes) {
        click(l().selector);
        key(kKeyEnter);
        EXPECT_TRUE(listOpen());
        close();
        frame();
        EXPECT_TRUE(!listOpen() && selector("Testing"));
    }
    EXPECT_TRUE(started.empty());

    // The first picks the channel already shown: still written and checked.
    for (int row : {1, 0}) {
        started.clear();
        click(l().selector);
        click(listRow(row));
        EXPECT_EQ(started, (UiActions{UiAction::SaveSettings, UiAction::Check}));
        EXPECT_EQ(settingsFile(),
                  settingsWith(kKeyLine + "channel = " + (row ? "testing" : "live") + "\n"));
        s.shownChannel = launcher::Channel(row);
        frame();
        EXPECT_TRUE(!listOpen() && selector(row ? "Testing" : "Live")) << row;
    }

    // The news: markup, a paragraph wrapped, bullets indented, a scrollbar.
    s.news = liveNews();
    frame();
    EXPECT_TRUE(newsLine("Update 1.4 is live", pal::Accent) &&
                newsLine("The ashen road is open again, and") &&
                newsLine("the lantern keepers are back.") && heading("Fixes") &&
                newsLine(fixLine(0), pal::Text, 16) && thumb());
    // The wheel does nothing over the menu, nor while the key dialog is open; over the panel one
    // notch hides the heading, and the emphasis line is cut at the top edge.
    const float overPanel = l().newsPanel.x + 100;
    wheel(200, -5);
    click(l().selector);
    click(listRow(2));
    wheel(overPanel, -5);
    key(kKeyEscape);
    wheel(overPanel, -1);
    EXPECT_TRUE(!heading("Live notes") && newsLine("The ashen road is open again, and"));
    EXPECT_FALSE(newsLine("Update 1.4 is live", pal::Accent));
    EXPECT_NEAR(ui.scrollPos, 48, 0.01) << "scrolled by other than one notch";
    // Far past the end the last line is in view; two notches up it is out of view again, so the
    // turn past the end was not kept.
    wheel(overPanel, -90);
    EXPECT_TRUE(newsLine("Thank you for playing.") &&
                newsLine(fixLine(kFixes - 10), pal::Text, 16));
    wheel(overPanel, 2);
    EXPECT_TRUE(!newsLine("Thank you for playing.") &&
                newsLine(fixLine(kFixes - 10), pal::Text, 16));
    // Another channel's news starts at the top.
    s.news = "# Testing notes\nOnly a few lines so far.\n";
    frames(60);
    EXPECT_TRUE(heading("Testing notes") && newsLine("Only a few lines so far."));

    // 800 tall puts the dialog's "Cancel" over the top of the "Change key..." row: the click
    // must not also press it. Opened again, the dialog has dropped the earlier text.
    const std::string settings = settingsFile();
    h = 800;
    click(l().selector);
    click({300, listRow(2).y + 2, 0, 0});
    frames(2);
    ASSERT_TRUE(dialog()) << "the click also pressed \"Cancel\"";
    frame({.typed = "abc"});
    expectField("ABC");
    key(kKeyEscape);
    click(l().selector);
    click(listRow(2));
    frame();
    expectField("");
    key(kKeyEscape);
    EXPECT_EQ(settingsFile(), settings);

    click(l().selector);
    click(listRow(3));  // "Forget key"
    s.shownChannel = launcher::Channel::Live;
    frame();
    EXPECT_TRUE(shows("Playtester key...", 2, pal::TextDim) && !listOpen() && !testingBuild());
    EXPECT_EQ(settingsFile(), settingsWith(""));
}

// The snapshot may still say idle in the frame that asks for a job, and the state keeps its
// button until the job's first status: PLAY (or the other actions) must not be pressable then.
TEST_F(Screen, TheBigButtonWaitsWhileAJobStarts) {
    s = {.state = UpdaterState::UpToDate, .gameInstalled = true};
    // "Verify game files", with Enter in the same frame.
    frame({.x = 53, .y = middle(l().menuLinks[0]), .clicked = true, .keys = {kKeyEnter}});
    EXPECT_EQ(actions, UiActions{UiAction::Verify});
    EXPECT_TRUE(shows("PLAY", 4, pal::TextDisabled));
    for (UpdaterState state : {UpdaterState::UpToDate, UpdaterState::Offline, UpdaterState::Failed,
                               UpdaterState::ReadyToUpdate, UpdaterState::ReadyToInstall}) {
        s = {.state = state, .gameInstalled = state != UpdaterState::ReadyToInstall, .busy = true};
        ui.autoStarted = true;
        frame({.x = 760, .y = middle(l().bigButton), .clicked = true, .keys = {kKeyEnter}});
        EXPECT_TRUE(actions.empty()) << int(state);
        s.busy = false;
        frame({.keys = {kKeyEnter}});
        EXPECT_EQ(actions.size(), 1u) << int(state) << ": enabled again once the job is over";
    }
}

// What the launcher itself cannot do is shown on the status line, in the failure's colour, and
// logged once; the next request takes it away.
TEST_F(Screen, OwnFailuresAreShownAndLoggedOnce) {
    ASSERT_TRUE(logOpen((dir / "logs").c_str(), 1));
    writeText(dir / "launcher.cfg/keep", "a folder in the settings file's place\n");
    setFolderOpenerForTesting(dir / "no-opener");
    const struct {
        std::function<void()> act;
        std::string shown;
    } cases[] = {
        {[&] { click(l().menuLinks[1]); },
         "cannot open the game folder: " + dir / "no-opener" + " cannot be run"},
        {[&] {
             click(l().keyLink);
             frame({.keys = {kKeyEnter}, .typed = "KEY"});
         },
         "cannot save the settings in " + dir / "launcher.cfg"},
    };
    for (const auto& c : cases) {
        c.act();
        frames(3);
        EXPECT_EQ(statusLine(pal::Error), c.shown);
        const std::string log = readText(dir / "logs/latest.log");
        EXPECT_TRUE(log.find("error launcher: " + c.shown + "\n") != log.npos &&
                    log.find(c.shown) == log.rfind(c.shown))
            << log;
    }
    s.state = UpdaterState::Offline;
    click(l().menuLinks[2]);
    frame();
    EXPECT_EQ(statusLine(pal::Text), s.message);
    logClose();
}

}  // namespace
}  // namespace kd::test
