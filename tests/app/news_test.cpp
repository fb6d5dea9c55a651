// The news panel in the real launcher: markup and wrapping on screen, wheel scrolling inside the
// panel only and within the news, and news text that could break the layout.
#include <cmath>

#include "gfx/renderer.h"
#include "tests/app/launcher_harness.h"

namespace kd::test {
namespace {

TEST(DrawNews, MalformedNewsTakesAFiniteHeight) {
    for (const std::string& text :
         {std::string("\xff\xfe# \xc3\n\0**\x80", 10), std::string(20000, '*'),
          "- \n# \n**\n" + std::string(5000, '\n'), "- " + std::string(3000, 'W')}) {
        Renderer r;
        float height = drawNews(r, text, 0, 0, 40);
        EXPECT_TRUE(std::isfinite(height) && height > 0) << text.size();
    }
}

constexpr int kFixes = 180;
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

using NewsPanel = LauncherTest;

TEST_F(NewsPanel, ShowsTheMarkupAndScrollsWithTheWheelInsideThePanelOnly) {
    std::string news = "# Ashen Roads\n**Update 1.4 is live**\n\nThe ashen road is open again, and "
                       "the lantern keepers are back.\n\n# Fixes\n";
    for (int i = 0; i < kFixes; ++i) news += "- " + fixLine(i) + "\n";
    ASSERT_NO_FATAL_FAILURE(
        serve(news + "Thank you for playing.\n", "# Testing notes\nOnly a few lines so far.\n"));
    ASSERT_NO_FATAL_FAILURE(
        startIdle("tester_key = " + std::string(kTesterKey) + "\nchannel = live\n"));
    EXPECT_TRUE(sees(heading("Ashen Roads"), newsLine("Update 1.4 is live", pal::Accent),
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
        return !heading("Ashen Roads")(p) && newsLine("The ashen road is open again, and")(p) &&
               p.count({l.panelX + 22, l.newsTop - 8, l.panelW - 44, 8}, pal::Accent) == 0;
    };
    ASSERT_TRUE(sees(oneNotch));
    sleepMs(700);
    EXPECT_TRUE(oneNotch(capture())) << "scrolled on by more than one notch";

    // Far past the end the last line is in view; two notches up it is out of view again, so the
    // turn past the end was not kept.
    scroll(700, 300, 5, 90);
    EXPECT_TRUE(sees(newsLine("Thank you for playing."), newsLine(fixLine(kFixes - 10), pal::Text,
                                                                   16)));
    scroll(700, 300, 4, 2);
    EXPECT_TRUE(sees(no(newsLine("Thank you for playing.")),
                     newsLine(fixLine(kFixes - 10), pal::Text, 16)));

    // Another channel's short news starts at the top, without a scrollbar.
    ASSERT_NO_FATAL_FAILURE(pickFromList(1));  // "Testing"
    EXPECT_TRUE(sees(heading("Testing notes"), newsLine("Only a few lines so far."), no(hasThumb)));
}

}  // namespace
}  // namespace kd::test
