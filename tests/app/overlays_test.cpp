// The playtester key dialog and the channel list in the real launcher, against nginx with a Live
// and a Testing release: editing the key, committing it, switching channels, the settings file
// each choice leaves, and the screen underneath ignoring input while either is open.
#include <cctype>
#include <filesystem>
#include <functional>

#include "tests/app/launcher_harness.h"

namespace kd::test {
namespace {

constexpr int kSettleMs = 300;  // long enough for a wrongly started check to reach the server
const std::string kKeyLine = "tester_key = " + std::string(kTesterKey) + "\n";

class Overlays : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(serveBoth("# Live notes\n", "# Testing notes\n"));
    }
    void paste(const std::string& text) {
        writeText(root_ / "clipboard", text);
        x11("xclip -selection clipboard -i '" + root_ / "clipboard" + "' >/dev/null");
        // xclip serves the text from a copy of itself in the background, which may not own the
        // clipboard yet when the command returns: a paste right away could still get the old text.
        waitFor([&] { return x11("xclip -selection clipboard -o") == text; }, 3000);
        key("ctrl+v");
    }
    void openKeyDialog() {
        click(150, int(kKeyRowY) + 15);
        ASSERT_TRUE(sees(dialog)) << "no key dialog";
    }
    // The field, once it shows exactly this text ("" for none; the caret is Accent, not
    // TextBright), and "USE KEY" enabled when it holds any.
    void expectField(const std::string& key) {
        float end = key.empty() ? kDialogX + 22 : kDialogX + 35 + textWidth(key, 3);
        auto field = [&](const Picture& p) {
            return (key.empty() ||
                    showsText(p, key, kDialogX + 34, kDialogY + 88, 3, pal::TextBright)) &&
                   p.count(int(end), int(kDialogY) + 78, int(kDialogX + 538 - end), 39,
                           pal::TextBright, 6) == 0;
        };
        EXPECT_TRUE(sees(dialog, field,
                         text("USE KEY", kDialogX + 358 + (180 - textWidth("USE KEY", 2)) / 2,
                              kDialogY + 168, 2, key.empty() ? pal::TextDisabled : pal::Text)))
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
    click(300, int(kKeyRowY) + 24);
    ASSERT_TRUE(sees(dialog));
    // Each step builds on the field the previous ones left, so an edit that shows late still
    // fails the next step. Clicks on the screen underneath and Enter on an empty field do nothing.
    const std::pair<std::function<void()>, std::string> steps[] = {
        {[&] { key("BackSpace"); }, ""},
        {[&] { key("ctrl+v"); }, ""},  // nothing on the clipboard
        {[&] { paste(""); }, ""},
        {[&] { clickMenu(2), clickBigButton(), key("Return"); }, ""},
        {[&] { paste(" ab-12 cd\n"); }, "AB-12CD"},  // blanks, lower case and a line feed
        {[&] { type("v x!"); }, "AB-12CDVX"},        // a plain v included
        {[&] { key("BackSpace"); }, "AB-12CDV"},
        {[&] { paste("z9"); }, "AB-12CDVZ9"},
    };
    for (const auto& [act, field] : steps) {
        act();
        expectField(field);
    }
    ASSERT_NO_FATAL_FAILURE(expectNothingStarted(checks, settings));

    // Escape closes; opening again starts empty; "Cancel" closes too.
    key("Escape");
    ASSERT_TRUE(sees(idle));
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());
    expectField("");
    type("abc");
    expectField("ABC");
    click(int(kDialogX) + 62, int(kDialogY) + 177);
    EXPECT_TRUE(sees(keyLink));
    ASSERT_NO_FATAL_FAILURE(expectNothingStarted(checks, settings));

    // Enter commits the first 64 characters; the server refuses them, so Live shows, and the
    // choice stays in the settings as the user made it.
    std::string typed;
    for (int i = 0; i < 70; ++i) typed += char('a' + i % 26);
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());
    type(typed);
    key("Return");
    EXPECT_TRUE(sees(no(dialog), selector("Live"), heading("Live notes"),
                     text("Key not accepted", 48, kSelectorTop + 46, 2, pal::Error),
                     status("Veilstone 1.0: Playtester key not accepted; showing", pal::Text, 1),
                     status("Live", pal::Text, 2), no(testingBuild("Latest 1.0"))))
        << log();
    EXPECT_GE(server_.countRequests("/testing/"), 1u);
    std::string kept = typed.substr(0, 64);
    for (char& c : kept) c = char(std::toupper(c));
    EXPECT_EQ(settingsFile(),
              kSettingsHeader + serverLine() + "tester_key = " + kept + "\nchannel = testing\n");

    // "Change key..." opens the dialog empty; the caret stands 4 units after the text and blinks.
    ASSERT_NO_FATAL_FAILURE(pickFromList(2));
    expectField("");
    type(kTesterKey);
    expectField(kTesterKey);
    const int caretX = int(kDialogX + 34 + textWidth(kTesterKey, 3)) + 4;
    auto caret = [caretX](const Picture& p) {
        return p.count(caretX, int(kDialogY) + 86, 3, 26, pal::Accent);
    };
    EXPECT_TRUE(sees([&](const Picture& p) { return caret(p) >= 3 * 26 - 6; }));
    EXPECT_TRUE(sees([&](const Picture& p) { return caret(p) == 0; }));
    click(int(kDialogX) + 448, int(kDialogY) + 176);  // "USE KEY"
    EXPECT_TRUE(sees(no(dialog), selector("Testing"), testingBuild("Latest 1.1"),
                     heading("Testing notes"), idle))
        << log();
    EXPECT_EQ(settingsFile(), kSettingsHeader + serverLine() + kKeyLine + "channel = testing\n");
    bool keySent = false;
    for (const std::string& line : server_.accessLog())
        keySent |= line.starts_with("200 GET /testing/manifest-linux64.txt ") &&
                   line.ends_with(std::string(" ") + kTesterKey);
    EXPECT_TRUE(keySent) << "the Testing manifest was fetched with the key";
}

TEST_F(Overlays, ChannelListPicksClosesWithoutActingAndChangesOrForgetsTheKey) {
    ASSERT_NO_FATAL_FAILURE(startIdle(kKeyLine + "channel = testing\n"));
    const std::string settings = settingsFile();
    const std::size_t checks = checksSeen();
    // The click that opens the list picks no row, Enter is not for the big button underneath,
    // and a click elsewhere or Escape closes the list without acting.
    const std::function<void()> closes[] = {[&] { clickBigButton(); }, [&] { clickMenu(2); },
                                            [&] { key("Escape"); }};
    for (const auto& close : closes) {
        ASSERT_NO_FATAL_FAILURE(openList());
        key("Return");
        sleepMs(kSettleMs);
        EXPECT_TRUE(list(capture()));
        close();
        EXPECT_TRUE(sees(no(list), selector("Testing")));
    }
    ASSERT_NO_FATAL_FAILURE(expectNothingStarted(checks, settings));

    ASSERT_NO_FATAL_FAILURE(openList());
    EXPECT_TRUE(text("Testing", 62, listRowTop(1) + 10, 2, pal::Gold)(shot_)) << "shown channel";
    EXPECT_TRUE(text("Live", 62, listRowTop(0) + 10, 2, pal::Text)(shot_));
    moveMouse(150, int(listRowTop(0)) + 17);
    EXPECT_TRUE(sees(text("Live", 62, listRowTop(0) + 10, 2, pal::TextBright)))
        << "a hovered row that is not shown lights up";
    // The second "Live" picks the channel already shown: still written and checked.
    const struct {
        int row;
        std::string line, shown;
    } choices[] = {{0, "live", "Live"}, {0, "live", "Live"}, {1, "testing", "Testing"}};
    for (const auto& choice : choices) {
        if (&choice != &choices[0]) ASSERT_NO_FATAL_FAILURE(openList());
        std::filesystem::remove(settingsPath());
        std::size_t before = checksSeen();
        click(150, int(listRowTop(choice.row)) + 17);
        EXPECT_TRUE(sees(no(list), selector(choice.shown), heading(choice.shown + " notes"), idle))
            << choice.shown;
        EXPECT_EQ(settingsFile(),
                  kSettingsHeader + serverLine() + kKeyLine + "channel = " + choice.line + "\n");
        EXPECT_EQ(checksSeen(), before + 1);
    }

    // 800 tall puts the dialog's "Cancel" over the top of the "Change key..." row: the click
    // must not also press it.
    constexpr int kTallH = 800;
    constexpr float kTallDialogY = (kTallH - 220) / 2.0f;
    const std::string testing = settingsFile();
    resize(kW, kTallH);
    ASSERT_TRUE(sees([](const Picture& p) { return p.height == kTallH; }, selector("Testing")));
    ASSERT_NO_FATAL_FAILURE(openList());
    click(300, int(listRowTop(2)) + 2);
    auto tallDialog = [](const Picture& p) { return dialogShown(p, kTallDialogY); };
    sees(tallDialog);
    sleepMs(kSettleMs);
    EXPECT_TRUE(tallDialog(capture())) << "the click also pressed \"Cancel\"";
    type("abc");
    ASSERT_TRUE(sees([](const Picture& p) {
        return p.count(int(kDialogX) + 22, int(kTallDialogY) + 78, 516, 39, pal::TextBright, 6) > 0;
    }));
    key("Escape");
    resize(kW, kH);
    ASSERT_TRUE(sees(idle));
    ASSERT_NO_FATAL_FAILURE(pickFromList(2));  // the dialog has dropped the earlier text
    expectField("");
    key("Escape");
    ASSERT_TRUE(sees(idle));
    EXPECT_EQ(settingsFile(), testing);

    ASSERT_NO_FATAL_FAILURE(pickFromList(3));  // "Forget key"
    EXPECT_TRUE(sees(keyLink, no(list), heading("Live notes"), no(testingBuild("Latest 1.0"))));
    EXPECT_EQ(settingsFile(), kSettingsHeader + serverLine());
}

}  // namespace
}  // namespace kd::test
