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
        setClipboard(text);
        key("ctrl+v");
    }
    void clickCancel() { click(int(kDialogX) + 62, int(kDialogY) + 177); }
    void clickBigButton() { click(kBigX + 115, kBigY + 29); }
    void clickCheck() { click(100, int(kMenuY0) + 91); }
    // The field, once it shows this text; with the state of "USE KEY".
    void expectField(const std::string& field) {
        Picture p = captureUntil([&](const Picture& p) { return keyFieldShows(p, field); });
        EXPECT_TRUE(keyFieldShows(p, field)) << field;
        EXPECT_TRUE(useKeyShows(p, !field.empty()));
    }
    // Nothing started: no check, no download, the settings file as it was.
    void expectNothingStarted(std::size_t checks, std::size_t objects,
                              const std::string& settings) {
        sleepMs(kSettleMs);
        EXPECT_EQ(checksSeen(), checks);
        EXPECT_EQ(server_.countRequests("/objects/"), objects);
        EXPECT_EQ(settingsFile(), settings);
    }
};

TEST_F(Overlays, KeyEditingKeepsOnlyKeyCharactersClosingCommitsNothingAndEnterCommits64) {
    ASSERT_NO_FATAL_FAILURE(startIdle());
    const std::string settings = settingsFile();
    const std::size_t checks = checksSeen(), objects = server_.countRequests("/objects/");
    // The right end of the link lies where the dialog puts "Cancel": the opening click must not
    // also close it.
    ASSERT_NO_FATAL_FAILURE(openKeyDialog(300, int(kKeyRowY) + 24));
    // Each step builds on the field the previous ones left, so an edit that shows late still
    // fails the next step. Clicks on the screen underneath and Enter on an empty field do nothing.
    const std::pair<std::function<void()>, std::string> steps[] = {
        {[&] { key("BackSpace"); }, ""},
        {[&] { key("ctrl+v"); }, ""},  // nothing on the clipboard
        {[&] { paste(""); }, ""},
        {[&] { clickCheck(), clickBigButton(), key("Return"); }, ""},
        {[&] { paste(" ab-12 cd\n"); }, "AB-12CD"},  // blanks, lower case and a line feed
        {[&] { type("v x!"); }, "AB-12CDVX"},        // a plain v included
        {[&] { key("BackSpace"); }, "AB-12CDV"},
        {[&] { paste("z9"); }, "AB-12CDVZ9"},
    };
    for (const auto& [act, field] : steps) {
        act();
        expectField(field);
    }
    ASSERT_NO_FATAL_FAILURE(expectNothingStarted(checks, objects, settings));

    // Escape closes; opening again starts empty; "Cancel" closes too.
    key("Escape");
    ASSERT_TRUE(idleShown(captureUntil(idleShown)));
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());
    EXPECT_TRUE(keyFieldShows(capture(), ""));
    type("abc");
    expectField("ABC");
    clickCancel();
    moveMouse(5, 5);
    EXPECT_TRUE(keyLinkShown(captureUntil(keyLinkShown)));
    ASSERT_NO_FATAL_FAILURE(expectNothingStarted(checks, objects, settings));

    std::string typed;
    for (int i = 0; i < 70; ++i) typed += char('a' + i % 26);
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());
    type(typed);
    key("Return");
    moveMouse(5, 5);
    auto committed = [](const Picture& p) { return !dialogShown(p) && selectorShows(p, "Live"); };
    EXPECT_TRUE(committed(captureUntil(committed)));  // the key is refused, so Live shows
    std::string kept = typed.substr(0, 64);
    for (char& c : kept) c = char(std::toupper(c));
    EXPECT_EQ(settingsFile(),
              kSettingsHeader + serverLine() + "tester_key = " + kept + "\nchannel = testing\n");
}

TEST_F(Overlays, UseKeyStoresTheKeyAndShowsTheTestingChannel) {
    ASSERT_NO_FATAL_FAILURE(startIdle());
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());
    type(kTesterKey);
    expectField(kTesterKey);
    // The caret stands 4 units after the text and blinks.
    const int caretX = int(kDialogX + 34 + textWidth(kTesterKey, 3)) + 4;
    auto caret = [caretX](const Picture& p) {
        return p.count(caretX, int(kDialogY) + 86, 3, 26, pal::Accent);
    };
    EXPECT_GE(caret(captureUntil([&](const Picture& p) { return caret(p) > 0; })), 3 * 26 - 6);
    EXPECT_EQ(caret(captureUntil([&](const Picture& p) { return caret(p) == 0; })), 0);

    click(int(kDialogX) + 448, int(kDialogY) + 176);  // "USE KEY"
    moveMouse(5, 5);
    auto onTesting = [](const Picture& p) {
        return !dialogShown(p) && selectorShows(p, "Testing") &&
               testingBuildShown(p, "Latest 1.1") && newsHeadingShows(p, "Testing notes") &&
               idleShown(p);
    };
    EXPECT_TRUE(onTesting(captureUntil(onTesting))) << log();
    EXPECT_EQ(settingsFile(), kSettingsHeader + serverLine() + kKeyLine + "channel = testing\n");
    bool keySent = false;
    for (const std::string& line : server_.accessLog())
        keySent |= line.starts_with("200 GET /testing/manifest-linux64.txt ") &&
                   line.ends_with(std::string(" ") + kTesterKey);
    EXPECT_TRUE(keySent) << "the Testing manifest was fetched with the key";
}

TEST_F(Overlays, RefusedKeyShowsKeyNotAcceptedUnderTheLiveSelector) {
    ASSERT_NO_FATAL_FAILURE(startIdle("tester_key = WRONG-KEY\nchannel = testing\n"));
    auto refused = [](const Picture& p) {
        return showsText(p, "Key not accepted", 48, kSelectorTop + 46, 2, pal::Error) &&
               selectorShows(p, "Live") && newsHeadingShows(p, "Live notes") &&
               statusShows(p, "Veilstone 1.0: Playtester key not accepted; showing", pal::Text,
                           1) &&
               statusShows(p, "Live", pal::Text, 2) && !testingBuildShown(p, "Latest 1.0");
    };
    EXPECT_TRUE(refused(captureUntil(refused))) << log();
    EXPECT_GE(server_.countRequests("/testing/"), 1u);
    // The choice stays as the user made it.
    EXPECT_EQ(settingsFile(), serverLine() + "tester_key = WRONG-KEY\nchannel = testing\n");
}

TEST_F(Overlays, EachChannelChoiceRewritesTheSettingsAndChecksAgain) {
    ASSERT_NO_FATAL_FAILURE(startIdle(kKeyLine + "channel = testing\n"));
    const std::string settings = settingsFile();
    const std::size_t checks = checksSeen();
    ASSERT_NO_FATAL_FAILURE(openList());
    // The click that opens the list picks no row and leaves the list open.
    ASSERT_NO_FATAL_FAILURE(expectNothingStarted(checks, 0, settings));
    Picture open = capture();
    EXPECT_TRUE(listShown(open));
    EXPECT_TRUE(showsText(open, "Testing", 62, listRowTop(1) + 10, 2, pal::Gold))
        << "shown channel";
    EXPECT_TRUE(showsText(open, "Live", 62, listRowTop(0) + 10, 2, pal::Text));
    moveMouse(150, int(listRowTop(0)) + 17);
    auto hovered = [](const Picture& p) {
        return showsText(p, "Live", 62, listRowTop(0) + 10, 2, pal::TextBright);
    };
    EXPECT_TRUE(hovered(captureUntil(hovered))) << "a hovered row that is not shown lights up";

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
        moveMouse(5, 5);
        auto settled = [&](const Picture& p) {
            return !listShown(p) && selectorShows(p, choice.shown) &&
                   newsHeadingShows(p, choice.shown + " notes") && idleShown(p);
        };
        EXPECT_TRUE(settled(captureUntil(settled))) << choice.shown;
        EXPECT_EQ(settingsFile(),
                  kSettingsHeader + serverLine() + kKeyLine + "channel = " + choice.line + "\n");
        EXPECT_EQ(checksSeen(), before + 1);
    }
}

TEST_F(Overlays, ChannelListClosesOnAClickElsewhereOrEscapeWhileTheScreenIgnoresInput) {
    ASSERT_NO_FATAL_FAILURE(startIdle(kKeyLine + "channel = testing\n"));
    const std::string settings = settingsFile();
    const std::size_t checks = checksSeen(), objects = server_.countRequests("/objects/");
    auto closed = [](const Picture& p) { return !listShown(p) && selectorShows(p, "Testing"); };
    const std::function<void()> closes[] = {[&] { clickBigButton(); }, [&] { clickCheck(); },
                                            [&] { key("Escape"); }};
    for (const auto& close : closes) {
        ASSERT_NO_FATAL_FAILURE(openList());
        key("Return");  // not for the big button underneath, and the list stays
        sleepMs(kSettleMs);
        EXPECT_TRUE(listShown(capture()));
        close();
        moveMouse(5, 5);
        EXPECT_TRUE(closed(captureUntil(closed)));
    }
    ASSERT_NO_FATAL_FAILURE(expectNothingStarted(checks, objects, settings));
}

TEST_F(Overlays, ChangeKeyOpensAnEmptyDialogAndForgetKeyDropsTheKey) {
    ASSERT_NO_FATAL_FAILURE(startIdle(kKeyLine + "channel = testing\n"));
    const std::string settings = settingsFile();
    // 800 tall puts the dialog's "Cancel" over the top of the "Change key..." row: the click
    // must not also press it.
    constexpr int kTallH = 800;
    resize(kW, kTallH);
    auto tall = [](const Picture& p) { return p.height == kTallH && selectorShows(p, "Testing"); };
    ASSERT_TRUE(tall(captureUntil(tall)));
    constexpr float kTallDialogY = (kTallH - 220) / 2.0f;
    ASSERT_NO_FATAL_FAILURE(openList());
    click(300, int(listRowTop(2)) + 2);
    captureUntil([](const Picture& p) { return dialogShown(p, kTallDialogY); });
    sleepMs(kSettleMs);
    EXPECT_TRUE(dialogShown(capture(), kTallDialogY)) << "the click also pressed \"Cancel\"";
    type("abc");
    auto typed = [](const Picture& p) {
        return p.count(int(kDialogX) + 22, int(kTallDialogY) + 78, 516, 39, pal::TextBright, 6) > 0;
    };
    ASSERT_TRUE(typed(captureUntil(typed)));
    key("Escape");
    resize(kW, kH);
    ASSERT_TRUE(idleShown(captureUntil(idleShown)));
    // Opened again, the dialog has dropped the earlier text.
    ASSERT_NO_FATAL_FAILURE(openList());
    click(150, int(listRowTop(2)) + 17);
    expectField("");
    key("Escape");
    ASSERT_TRUE(idleShown(captureUntil(idleShown)));
    EXPECT_EQ(settingsFile(), settings);

    ASSERT_NO_FATAL_FAILURE(openList());
    click(150, int(listRowTop(3)) + 17);
    moveMouse(5, 5);
    auto forgotten = [](const Picture& p) {
        return keyLinkShown(p) && !listShown(p) && newsHeadingShows(p, "Live notes") &&
               !testingBuildShown(p, "Latest 1.0");
    };
    EXPECT_TRUE(forgotten(captureUntil(forgotten)));
    EXPECT_EQ(settingsFile(), kSettingsHeader + serverLine());
}

}  // namespace
}  // namespace kd::test
