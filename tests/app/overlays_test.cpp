// The playtester key dialog and the channel list in the real launcher under Xvfb, against nginx
// with a Live and a Testing release: editing the key, committing it, switching channels, the
// settings file each choice leaves, and the screen underneath ignoring input while either is open.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/app/screen_fixture.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLiveNews = "# Live notes\nStones and lanterns.\n";
constexpr const char* kTestingNews = "# Testing notes\nStill warm from the forge.\n";
constexpr int kSettleMs = 300;  // long enough for a wrongly started check to reach the server

const std::string kKeyLine = "tester_key = " + std::string(kTesterKey) + "\n";

bool newsHeadingShows(const Picture& p, std::string_view heading) {
    return showsText(p, heading, kNewsLeft, kNewsTop, 3, pal::Gold);
}

class KeyDialog : public ScreenTest {
protected:
    void SetUp() override {
        ScreenTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(serve(kLiveNews, kTestingNews));
    }

    void paste(const std::string& text) {
        h.setClipboard(text);
        h.key("ctrl+v");
    }
    void clickUseKey() { h.click(int(kDialogX) + 358 + 90, int(kDialogY) + 152 + 24); }
    void clickCancel() { h.click(int(kDialogX) + 22 + 40, int(kDialogY) + 162 + 15); }

    std::size_t objectsSeen() { return h.server().countRequests("/objects/"); }
};

using ChannelList = KeyDialog;

TEST_F(KeyDialog, EditingKeepsOnlyKeyCharactersAndClosingCommitsNothing) {
    ASSERT_NO_FATAL_FAILURE(startIdle());
    const std::string settings = settingsFile();
    const std::size_t checks = checksSeen();
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());

    // Each step builds on the field the previous ones left, so an edit that shows late still
    // fails the next step.
    struct Step {
        const char* name;
        std::function<void()> act;
        std::string field;
    };
    const Step steps[] = {
        {"backspace on an empty field", [&] { h.key("BackSpace"); }, ""},
        {"ctrl+v with nothing on the clipboard", [&] { h.key("ctrl+v"); }, ""},
        {"ctrl+v with an empty clipboard", [&] { paste(""); }, ""},
        {"enter with an empty field", [&] { h.key("Return"); }, ""},
        {"a paste with blanks, lower case and a line feed", [&] { paste(" ab-12 cd\n"); },
         "AB-12CD"},
        {"typing, a plain v included", [&] { h.type("v x!"); }, "AB-12CDVX"},
        {"backspace", [&] { h.key("BackSpace"); }, "AB-12CDV"},
        {"a second paste appends", [&] { paste("z9"); }, "AB-12CDVZ9"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        Picture p = h.captureUntil([&](const Picture& p) { return keyFieldShows(p, step.field); });
        EXPECT_TRUE(keyFieldShows(p, step.field));
        EXPECT_TRUE(useKeyShows(p, !step.field.empty()));
    }

    // Escape closes; opening again starts empty; "Cancel" closes too.
    h.key("Escape");
    ASSERT_TRUE(idleShown(h.captureUntil(idleShown)));
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());
    EXPECT_TRUE(keyFieldShows(h.capture(), ""));
    h.type("abc");
    ASSERT_TRUE(keyFieldShows(
        h.captureUntil([](const Picture& p) { return keyFieldShows(p, "ABC"); }), "ABC"));
    clickCancel();
    h.moveMouse(5, 5);
    EXPECT_TRUE(keyLinkShown(h.captureUntil(keyLinkShown)));

    sleepMs(kSettleMs);
    EXPECT_EQ(settingsFile(), settings);
    EXPECT_EQ(checksSeen(), checks);
}

TEST_F(KeyDialog, UseKeyStoresTheKeyAndShowsTheTestingChannel) {
    ASSERT_NO_FATAL_FAILURE(startIdle());
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());
    h.type(kTesterKey);
    Picture typed = h.captureUntil(
        [](const Picture& p) { return keyFieldShows(p, kTesterKey) && useKeyShows(p, true); });
    ASSERT_TRUE(keyFieldShows(typed, kTesterKey));
    keepForReviewers(typed, "key-dialog.png");

    // The caret stands 4 units after the text and blinks.
    const int caretX = int(kDialogX + 34 + textWidth(kTesterKey, 3)) + 4;
    auto caretPixels = [caretX](const Picture& p) {
        return p.count(caretX, int(kDialogY) + 86, 3, 26, pal::Accent);
    };
    EXPECT_GE(caretPixels(h.captureUntil([&](const Picture& p) { return caretPixels(p) > 0; })),
              3 * 26 - 6);
    EXPECT_EQ(caretPixels(h.captureUntil([&](const Picture& p) { return caretPixels(p) == 0; })),
              0);

    clickUseKey();
    h.moveMouse(5, 5);
    auto onTesting = [](const Picture& p) {
        return selectorShows(p, "Testing") && testingBuildShown(p, "Latest 1.1") &&
               newsHeadingShows(p, "Testing notes") && idleShown(p);
    };
    EXPECT_TRUE(onTesting(h.captureUntil(onTesting))) << h.log();
    EXPECT_FALSE(dialogShown(h.capture()));
    EXPECT_EQ(settingsFile(), kSettingsHeader + serverLine() + kKeyLine + "channel = testing\n");

    bool keySent = false;
    for (const std::string& line : h.server().accessLog())
        keySent |= line.starts_with("200 GET /testing/manifest-linux64.txt ") &&
                   line.ends_with(std::string(" ") + kTesterKey);
    EXPECT_TRUE(keySent) << "the Testing manifest was fetched with the key";
}

TEST_F(KeyDialog, EnterCommitsATypedKeyCutTo64Characters) {
    ASSERT_NO_FATAL_FAILURE(startIdle());
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());
    std::string typed;
    for (int i = 0; i < 70; ++i) typed += char('a' + i % 26);
    h.type(typed);
    h.key("Return");
    h.moveMouse(5, 5);
    Picture p = h.captureUntil([](const Picture& p) { return !dialogShown(p) && idleShown(p); });
    EXPECT_FALSE(dialogShown(p));

    std::string kept = typed.substr(0, 64);
    for (char& c : kept) c = char(std::toupper(c));
    EXPECT_EQ(settingsFile(),
              kSettingsHeader + serverLine() + "tester_key = " + kept + "\nchannel = testing\n");
}

TEST_F(KeyDialog, StaysOpenOverTheScreenWhichIgnoresClicksAndEnter) {
    ASSERT_NO_FATAL_FAILURE(startIdle());
    const std::size_t checks = checksSeen();
    const std::size_t objects = objectsSeen();
    // The right end of the link lies where the dialog puts "Cancel": the click that opens the
    // dialog must not also close it.
    ASSERT_NO_FATAL_FAILURE(openKeyDialog(300, int(kKeyRowY) + 24));
    sleepMs(kSettleMs);
    EXPECT_TRUE(dialogShown(h.capture())) << "the opening click also pressed \"Cancel\"";

    h.click(100, int(kMenuY0) + 76 + 15);  // "Check for updates"
    h.click(kBigX + 115, kBigY + 29);      // "INSTALL"
    h.key("Return");                       // empty field: neither the dialog nor the big button
    sleepMs(kSettleMs);
    EXPECT_TRUE(keyFieldShows(h.capture(), ""));
    EXPECT_EQ(checksSeen(), checks);
    EXPECT_EQ(objectsSeen(), objects);

    clickCancel();
    h.moveMouse(5, 5);
    EXPECT_TRUE(idleShown(h.captureUntil(idleShown)));
    EXPECT_EQ(settingsFile(), serverLine());
}

TEST_F(KeyDialog, RefusedKeyShowsKeyNotAcceptedUnderTheLiveSelector) {
    ASSERT_NO_FATAL_FAILURE(startIdle("tester_key = WRONG-KEY\nchannel = testing\n"));
    auto refused = [](const Picture& p) {
        return showsText(p, "Key not accepted", 48, kSelectorTop + 46, 2, pal::Error) &&
               selectorShows(p, "Live") && newsHeadingShows(p, "Live notes");
    };
    Picture p = h.captureUntil(refused);
    EXPECT_TRUE(refused(p)) << h.log();
    EXPECT_TRUE(
        showsText(p, "Veilstone 1.0: Playtester key not accepted;", 60, kH - 98, 2, pal::Text));
    EXPECT_FALSE(testingBuildShown(p, "Latest 1.0"));
    EXPECT_GE(h.server().countRequests("/testing/"), 1u);
    // The choice stays as the user made it.
    EXPECT_EQ(settingsFile(), serverLine() + "tester_key = WRONG-KEY\nchannel = testing\n");
}

TEST_F(ChannelList, EachChannelChoiceRewritesTheSettingsAndChecksAgain) {
    ASSERT_NO_FATAL_FAILURE(startIdle(kKeyLine + "channel = testing\n"));
    ASSERT_TRUE(selectorShows(
        h.captureUntil([](const Picture& p) { return selectorShows(p, "Testing"); }), "Testing"));

    // The click that opens the list picks no row and leaves the list open.
    const std::string settings = settingsFile();
    std::size_t checks = checksSeen();
    ASSERT_NO_FATAL_FAILURE(openList());
    sleepMs(kSettleMs);
    Picture open = h.capture();
    EXPECT_TRUE(listShown(open));
    EXPECT_TRUE(showsText(open, "Testing", 62, listRowTop(1) + 10, 2, pal::Gold))
        << "shown channel";
    EXPECT_TRUE(showsText(open, "Live", 62, listRowTop(0) + 10, 2, pal::Text));
    EXPECT_EQ(settingsFile(), settings);
    EXPECT_EQ(checksSeen(), checks);

    struct Choice {
        int row;
        const char* channelLine;
        const char* shown;
        const char* news;
    };
    // The second "Live" picks the channel already shown: still written and checked.
    const Choice choices[] = {{0, "channel = live\n", "Live", "Live notes"},
                              {0, "channel = live\n", "Live", "Live notes"},
                              {1, "channel = testing\n", "Testing", "Testing notes"}};
    for (const Choice& choice : choices) {
        SCOPED_TRACE(choice.shown);
        const bool first = &choice == &choices[0];
        if (!first) ASSERT_NO_FATAL_FAILURE(openList());
        fs::remove(settingsPath());
        checks = checksSeen();
        const int rowY = int(listRowTop(choice.row)) + 17;
        h.moveMouse(150, rowY);
        if (first) {
            // A hovered row that is not the shown channel lights up.
            Picture hovered = h.captureUntil([](const Picture& p) {
                return showsText(p, "Live", 62, listRowTop(0) + 10, 2, pal::TextBright);
            });
            EXPECT_TRUE(showsText(hovered, "Live", 62, listRowTop(0) + 10, 2, pal::TextBright));
            keepForReviewers(hovered, "channel-list.png");
        }
        h.click(150, rowY);
        h.moveMouse(5, 5);
        auto settled = [&](const Picture& p) {
            return !listShown(p) && selectorShows(p, choice.shown) &&
                   newsHeadingShows(p, choice.news) && idleShown(p);
        };
        EXPECT_TRUE(settled(h.captureUntil(settled)));
        EXPECT_EQ(settingsFile(), kSettingsHeader + serverLine() + kKeyLine + choice.channelLine);
        EXPECT_EQ(checksSeen(), checks + 1);
    }
}

TEST_F(ChannelList, ClosesOnAClickElsewhereOrEscapeWhileTheScreenIgnoresInput) {
    ASSERT_NO_FATAL_FAILURE(startIdle(kKeyLine + "channel = testing\n"));
    const std::string settings = settingsFile();
    const std::size_t checks = checksSeen();
    const std::size_t objects = objectsSeen();
    auto closed = [](const Picture& p) { return !listShown(p) && selectorShows(p, "Testing"); };

    ASSERT_NO_FATAL_FAILURE(openList());
    h.click(kBigX + 115, kBigY + 29);  // "INSTALL"
    h.moveMouse(5, 5);
    EXPECT_TRUE(closed(h.captureUntil(closed)));

    ASSERT_NO_FATAL_FAILURE(openList());
    h.key("Return");  // not for the big button underneath, and the list stays
    sleepMs(kSettleMs);
    EXPECT_TRUE(listShown(h.capture()));
    h.click(100, int(kMenuY0) + 76 + 15);  // "Check for updates"
    h.moveMouse(5, 5);
    EXPECT_TRUE(closed(h.captureUntil(closed)));

    ASSERT_NO_FATAL_FAILURE(openList());
    h.key("Escape");
    EXPECT_TRUE(closed(h.captureUntil(closed)));

    sleepMs(kSettleMs);
    EXPECT_EQ(checksSeen(), checks);
    EXPECT_EQ(objectsSeen(), objects);
    EXPECT_EQ(settingsFile(), settings);
}

TEST_F(ChannelList, TheClickOnChangeKeyDoesNotAlsoPressCancelInATallWindow) {
    ASSERT_NO_FATAL_FAILURE(startIdle(kKeyLine + "channel = testing\n"));
    // 800 tall puts the dialog's "Cancel" (y 452 to 482) over the top of the "Change key..." row.
    constexpr int kTallH = 800;
    constexpr float kTallDialogY = (kTallH - 220) / 2.0f;
    h.resize(kW, kTallH);
    ASSERT_TRUE(selectorShows(h.captureUntil([](const Picture& p) {
        return p.height == kTallH && selectorShows(p, "Testing");
    }),
                              "Testing"));
    ASSERT_NO_FATAL_FAILURE(openList());
    h.click(300, int(listRowTop(2)) + 2);
    h.captureUntil([&](const Picture& p) { return dialogShown(p, kTallDialogY); });
    sleepMs(kSettleMs);
    EXPECT_TRUE(dialogShown(h.capture(), kTallDialogY)) << "the click also pressed \"Cancel\"";
}

TEST_F(ChannelList, ChangeKeyOpensAnEmptyDialogAndForgetKeyDropsTheKey) {
    ASSERT_NO_FATAL_FAILURE(startIdle(kKeyLine + "channel = testing\n"));
    const std::string settings = settingsFile();

    // Twice, so that the second time there is an earlier text to clear.
    auto emptyDialog = [](const Picture& p) { return keyFieldShows(p, "") && !listShown(p); };
    for (int round = 0; round < 2; ++round) {
        ASSERT_NO_FATAL_FAILURE(openList());
        h.click(150, int(listRowTop(2)) + 17);
        Picture dialog = h.captureUntil(emptyDialog);
        EXPECT_TRUE(emptyDialog(dialog));
        EXPECT_TRUE(useKeyShows(dialog, false));
        h.type("abc");
        EXPECT_TRUE(keyFieldShows(
            h.captureUntil([](const Picture& p) { return keyFieldShows(p, "ABC"); }), "ABC"));
        h.key("Escape");
        ASSERT_TRUE(selectorShows(
            h.captureUntil([](const Picture& p) { return selectorShows(p, "Testing"); }),
            "Testing"));
    }
    h.moveMouse(5, 5);
    ASSERT_TRUE(selectorShows(h.captureUntil([](const Picture& p) {
        return selectorShows(p, "Testing") && idleShown(p);
    }),
                              "Testing"));
    EXPECT_EQ(settingsFile(), settings);

    ASSERT_NO_FATAL_FAILURE(openList());
    h.click(150, int(listRowTop(3)) + 17);
    h.moveMouse(5, 5);
    auto forgotten = [](const Picture& p) {
        return keyLinkShown(p) && !listShown(p) && newsHeadingShows(p, "Live notes") &&
               !testingBuildShown(p, "Latest 1.0");
    };
    EXPECT_TRUE(forgotten(h.captureUntil(forgotten)));
    EXPECT_EQ(settingsFile(), kSettingsHeader + serverLine());
}

}  // namespace
}  // namespace kd::test
