// The playtester key dialog, the channel list and the news panel in the real launcher, against
// nginx with a Live and a Testing release: editing the key, committing it, switching channels,
// the settings file each choice leaves, the screen underneath ignoring input while either is
// open, and the news markup, wrapped and scrolled.
#include <functional>

#include "tests/app/launcher_harness.h"

namespace kd::test {
namespace {

constexpr int kSettleMs = 300;  // long enough for a wrongly started check to reach the server
constexpr const char* kSettingsHeader = "# Veilstone launcher settings. Written by the launcher.\n";
const std::string kKeyLine = "tester_key = " + std::string(kTesterKey) + "\n";
const Check testingBuild = text("TESTING BUILD", 2, pal::Accent, top);
constexpr int kFixes = 180;  // the Live news: more than 14 panels tall

std::string fixLine(int i) { return "Lantern " + std::to_string(1000 + i) + " no longer flickers"; }
// A line of news in view, starting at the text's left edge or, for a bullet's, 16 after it.
Check newsLine(std::string s, Color color = pal::Text, float indent = 0) {
    return text(s, 2, color, [=](const ScreenLayout& l) {
        return Area{l.panelX + 21 + indent, l.newsTop, 2, l.newsVisible - 16};
    });
}
bool hasThumb(const Picture& p) {
    ScreenLayout l = screenLayout(p.width, p.height);
    return p.count({l.panelX + l.panelW - 27, l.newsTop, 4, l.newsVisible}, pal::GoldDim, 4) > 0;
}

Area field(const ScreenLayout& l) { return {l.dialogX + 22, l.dialogY + 78, 516, 39}; }
// The key field shows exactly this text, and nothing of it shows outside the field.
Check fieldShows(std::string key, std::size_t tail = 0) {
    return [=](const Picture& p) {
        Area all = field(screenLayout(p.width, p.height));
        int bright = p.count(all, pal::TextBright, 6);
        if (p.count({0, all.y, float(p.width), all.h}, pal::TextBright, 6) != bright) return false;
        if (key.empty()) return bright == 0;
        auto at = findText(p, key.substr(tail), 3, pal::TextBright, all);
        return at && (tail > 0 || p.count({at->first - 1.0f, all.y, textWidth(key, 3) + 3, all.h},
                                          pal::TextBright, 6) == bright);
    };
}

class Overlays : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        std::string news =
            "# Live notes\n**Update 1.4 is live**\n\nThe ashen road is open again, "
            "and the lantern keepers are back.\n\n# Fixes\n";
        for (int i = 0; i < kFixes; ++i) news += "- " + fixLine(i) + "\n";
        ASSERT_NO_FATAL_FAILURE(serve(news + "Thank you for playing.\n",
                                      "# Testing notes\nOnly a few lines so far.\n"));
    }
    std::size_t checksSeen() {  // manifest requests on either channel: one per check
        return server_.countRequests("/manifest-") + server_.countRequests("/testing/manifest-");
    }
    void paste(const std::string& text) {
        writeText(root_ / "clipboard", text);
        x11("xclip -selection clipboard -i '" + root_ / "clipboard" + "' >/dev/null");
        // xclip serves the text from a copy of itself in the background, which may not own the
        // clipboard yet when the command returns: a paste right away could still get the old text.
        waitFor([&] { return x11("xclip -selection clipboard -o") == text; }, 3000);
        key("ctrl+v");
    }
    // The field shows exactly this text (the caret is Accent, not TextBright), and "USE KEY" is
    // enabled when it holds any.
    void expectField(const std::string& key) {
        EXPECT_TRUE(
            sees(dialog, fieldShows(key),
                 text("USE KEY", 2, key.empty() ? pal::TextDisabled : pal::Text, dialogArea)))
            << key;
    }
    // Nothing started: no check, no download, the settings file as it was.
    void expectNothingStarted(std::size_t checks, const std::string& settings) {
        sleepMs(kSettleMs);
        EXPECT_EQ(checksSeen(), checks);
        EXPECT_EQ(server_.countRequests("/objects/"), 0u);
        EXPECT_EQ(settingsFile(), settings);
    }
};

TEST_F(Overlays, KeyDialogEditsClosesAndCommitsARefusedKeyThenOneThatIsUsed) {
    ASSERT_NO_FATAL_FAILURE(startIdle());
    const std::string settings = settingsFile();
    const std::size_t checks = checksSeen();
    // The right end of the link lies where the dialog puts "Cancel": the opening click must not
    // also close it.
    click(300, layout().keyRowY + 24);
    // Each step builds on the field the previous ones left, so an edit that shows late still
    // fails the next step. Clicks on the screen underneath and Enter on an empty field do nothing;
    // Escape and "Cancel" close, and the dialog opens again empty.
    const std::pair<std::function<void()>, std::string> steps[] = {
        {[] {}, ""},
        {[&] { key("BackSpace"); }, ""},
        {[&] { key("ctrl+v"); }, ""},  // nothing on the clipboard
        {[&] { paste(""); }, ""},
        {[&] { clickMenu(2), clickBigButton(), key("Return"); }, ""},
        {[&] { paste(" ab-12 cd\n"); }, "AB-12CD"},  // blanks, lower case and a line feed
        {[&] { type("v x!"); }, "AB-12CDVX"},        // a plain v included
        {[&] { key("BackSpace"); }, "AB-12CDV"},
        {[&] { paste("z9"); }, "AB-12CDVZ9"},
        {[&] { key("Escape"), sees(idle), click(150, layout().keyRowY + 15); }, ""},
        {[&] { type("abc"); }, "ABC"},
        {[&] {
             click(layout().dialogX + 62, layout().dialogY + 177);  // "Cancel"
             sees(keyLink), click(150, layout().keyRowY + 15);
         },
         ""},
    };
    for (const auto& [act, field] : steps) {
        act();
        expectField(field);
    }
    ASSERT_NO_FATAL_FAILURE(expectNothingStarted(checks, settings));

    // Enter commits the first 64 characters, the field scrolling to keep their end in view; the
    // server refuses them, so Live shows, and the choice stays in the settings as the user made it.
    std::string kept;
    for (int i = 0; i < 64; ++i) kept += char('A' + i % 26);
    type(kept + "xyz");
    EXPECT_TRUE(sees(fieldShows(kept, 44)));
    key("Return");
    // In the smallest window the refusal stays clear of the bottom panel, the status sentence
    // keeps its end on a second line and the channel list opens upward, every row in the window.
    resize(820, 520);
    EXPECT_TRUE(sees(no(dialog), selector("Live"), heading("Live notes"),
                     text("VEILSTONE", 7, pal::Gold, top),
                     text("Key not accepted", 2, pal::Error, aboveBottomPanel),
                     status("Veilstone 1.0: Playtester key not"), status("accepted; showing Live"),
                     no(testingBuild)))
        << log();
    EXPECT_EQ(settingsFile(),
              kSettingsHeader + serverLine() + "tester_key = " + kept + "\nchannel = testing\n");

    // "Change key..." opens the dialog empty; the key the server knows is used.
    ASSERT_NO_FATAL_FAILURE(pickFromList(2));
    expectField("");
    type(kTesterKey);
    expectField(kTesterKey);
    click(layout().dialogX + 448, layout().dialogY + 176);  // "USE KEY"
    // A version line too long to share its row puts "TESTING BUILD" under it.
    EXPECT_TRUE(sees(no(dialog), selector("Testing"), version("Latest " + kLongVersion),
                     text("TESTING BUILD", 2, pal::Accent,
                          [](const ScreenLayout& l) {
                              return Area{l.menuX - 1, l.versionY + 10, 2, 30};
                          }),
                     heading("Testing notes"), idle))
        << log();
    EXPECT_EQ(settingsFile(), kSettingsHeader + serverLine() + kKeyLine + "channel = testing\n");
}

TEST_F(Overlays, ChannelListPicksClosesWithoutActingChangesOrForgetsTheKeyAndNewsScrolls) {
    ASSERT_NO_FATAL_FAILURE(startIdle(kKeyLine + "channel = testing\n"));
    EXPECT_TRUE(sees(heading("Testing notes"), no(hasThumb)));
    const std::string settings = settingsFile();
    const std::size_t checks = checksSeen();
    // The click that opens the list picks no row, Enter is not for the big button underneath,
    // and a click elsewhere or Escape closes the list without acting.
    const std::function<void()> closes[] = {[&] { clickBigButton(); }, [&] { clickMenu(2); },
                                            [&] { key("Escape"); }};
    for (const auto& close : closes) {
        ASSERT_NO_FATAL_FAILURE(pickFromList(-1));
        key("Return");
        sleepMs(kSettleMs);
        EXPECT_TRUE(list(capture()));
        close();
        EXPECT_TRUE(sees(no(list), selector("Testing")));
    }
    ASSERT_NO_FATAL_FAILURE(expectNothingStarted(checks, settings));

    // The first picks the channel already shown: still written and checked.
    const struct {
        int row;
        std::string line, shown;
    } choices[] = {{1, "testing", "Testing"}, {0, "live", "Live"}};
    for (const auto& choice : choices) {
        std::filesystem::remove(settingsPath());
        std::size_t before = checksSeen();
        ASSERT_NO_FATAL_FAILURE(pickFromList(choice.row));
        EXPECT_TRUE(sees(no(list), selector(choice.shown), heading(choice.shown + " notes"), idle))
            << choice.shown;
        EXPECT_EQ(settingsFile(),
                  kSettingsHeader + serverLine() + kKeyLine + "channel = " + choice.line + "\n");
        EXPECT_EQ(checksSeen(), before + 1);
    }

    // The news: markup, a paragraph wrapped, bullets indented, a scrollbar.
    EXPECT_TRUE(sees(newsLine("Update 1.4 is live", pal::Accent),
                     newsLine("The ashen road is open again, and"),
                     newsLine("the lantern keepers are back."), heading("Fixes"),
                     newsLine(fixLine(0), pal::Text, 16), hasThumb));
    // The wheel does nothing over the menu, nor while the key dialog is open; over the panel
    // one notch hides the heading and cuts the emphasis line at the top edge.
    scroll(200, 300, 5, 5);
    ASSERT_NO_FATAL_FAILURE(pickFromList(2));  // "Change key..."
    ASSERT_TRUE(sees(dialog));
    scroll(700, 300, 5, 5);
    key("Escape");
    scroll(700, 300, 5, 1);
    const Check oneNotch = [](const Picture& p) {
        ScreenLayout l = screenLayout(p.width, p.height);
        return !heading("Live notes")(p) && newsLine("The ashen road is open again, and")(p) &&
               p.count({l.panelX + 22, l.newsTop - 8, l.panelW - 44, 8}, pal::Accent) == 0;
    };
    ASSERT_TRUE(sees(oneNotch));
    sleepMs(700);
    EXPECT_TRUE(oneNotch(capture())) << "scrolled on by more than one notch";
    // Far past the end the last line is in view; two notches up it is out of view again, so the
    // turn past the end was not kept.
    const Check nearTheEnd = newsLine(fixLine(kFixes - 10), pal::Text, 16);
    scroll(700, 300, 5, 90);
    EXPECT_TRUE(sees(newsLine("Thank you for playing."), nearTheEnd));
    scroll(700, 300, 4, 2);
    EXPECT_TRUE(sees(no(newsLine("Thank you for playing.")), nearTheEnd));
    // Another channel's news starts at the top.
    ASSERT_NO_FATAL_FAILURE(pickFromList(1));
    EXPECT_TRUE(sees(heading("Testing notes"), newsLine("Only a few lines so far.")));

    // 800 tall puts the dialog's "Cancel" over the top of the "Change key..." row: the click
    // must not also press it. Opened again, the dialog has dropped the earlier text.
    const std::string testing = settingsFile();
    resize(kW, 800);
    ASSERT_TRUE(sees([](const Picture& p) { return p.height == 800; }, selector("Testing")));
    ASSERT_NO_FATAL_FAILURE(pickFromList(-1));
    click(300, layout().listTop + 4 + 34 * 2 + 2);
    sees(dialog);
    sleepMs(kSettleMs);
    EXPECT_TRUE(dialog(capture())) << "the click also pressed \"Cancel\"";
    type("abc");
    expectField("ABC");
    key("Escape");
    ASSERT_TRUE(sees(idle));
    ASSERT_NO_FATAL_FAILURE(pickFromList(2));
    expectField("");
    key("Escape");
    ASSERT_TRUE(sees(idle));
    EXPECT_EQ(settingsFile(), testing);

    ASSERT_NO_FATAL_FAILURE(pickFromList(3));  // "Forget key"
    EXPECT_TRUE(sees(keyLink, no(list), heading("Live notes"), no(testingBuild)));
    EXPECT_EQ(settingsFile(), kSettingsHeader + serverLine());
}

}  // namespace
}  // namespace kd::test
