// The news panel: what drawNews lays out for each kind of line (recorded from the vertex list of a
// renderer without GL), and the panel in the real launcher: markup on screen, placeholders,
// wheel scrolling with easing, the scrollbar and its limits.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/ui.h"
#include "gfx/renderer.h"
#include "tests/app/screen_fixture.h"

namespace kd::test {
namespace {

// ---------------------------------------------------------------------------------------------
// drawNews without a window

// One run of glyphs drawn with one colour on one row (each glyph is a quad of six vertices).
struct TextRun {
    float x, y, scale;
    Color color;
    int glyphs;
};

struct Square {
    float x, y, w, h;
    Color color;
};

struct Drawing {
    std::vector<TextRun> runs;
    std::vector<Square> squares;
};

bool sameColor(Color a, Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

Drawing drawnBy(const Renderer& r) {
    Drawing d;
    for (std::size_t i = 0; i + 6 <= r.vertices.size(); i += 6) {
        const Vertex& a = r.vertices[i];
        const Vertex& c = r.vertices[i + 2];
        Color color{a.r, a.g, a.b, a.a};
        if (a.mode != kModeFont) {
            d.squares.push_back({a.x, a.y, c.x - a.x, c.y - a.y, color});
            continue;
        }
        float scale = (c.y - a.y) / 8;
        TextRun* last = d.runs.empty() ? nullptr : &d.runs.back();
        if (last && last->y == a.y && last->scale == scale && sameColor(last->color, color))
            ++last->glyphs;
        else
            d.runs.push_back({a.x, a.y, scale, color, 1});
    }
    return d;
}

struct NewsCase {
    const char* name;
    std::string text;
    float width;
    float height;
    std::vector<TextRun> runs;
    std::vector<Square> squares;
};

constexpr float kX = 10, kY = 20;

// Expected values worked out by hand: 12 units per character at scale 2, 18 at scale 3.
const NewsCase kNewsCases[] = {
    {"heading: gold at scale 3, 33 per line and 4 after",
     "# Patch 0.3",
     400,
     37,
     {{kX, kY, 3, pal::Gold, 8}},
     {}},
    {"emphasis: accent, 6 lower, 30 in all",
     "**Hotfix**",
     400,
     30,
     {{kX, kY + 6, 2, pal::Accent, 6}},
     {}},
    {"an unclosed emphasis is a paragraph without its markers",
     "**ab",
     400,
     24,
     {{kX, kY, 2, pal::Text, 2}},
     {}},
    {"bullet: square, text indented by 16, bold markers stripped",
     "- Faster **loading**",
     400,
     24,
     {{kX + 16, kY, 2, pal::Text, 13}},
     {{kX + 3, kY + 6, 5, 5, pal::GoldDim}}},
    {"'-' without a space is a paragraph", "-no space", 400, 24, {{kX, kY, 2, pal::Text, 8}}, {}},
    {"'#' without a space is a paragraph", "#no space", 400, 24, {{kX, kY, 2, pal::Text, 8}}, {}},
    {"empty lines are gaps of 11", "\n", 400, 22, {}, {}},
    {"four stars are not an emphasis line", "****", 400, 24, {}, {}},
    {"five stars are an emphasis of one star",
     "*****",
     400,
     30,
     {{kX, kY + 6, 2, pal::Accent, 1}},
     {}},
    {"a heading keeps bold markers", "# **Big** news", 400, 37, {{kX, kY, 3, pal::Gold, 11}}, {}},
    {"an emphasis line keeps inner markers",
     "**a **b** c**",
     400,
     30,
     {{kX, kY + 6, 2, pal::Accent, 7}},
     {}},
    {"every pair of stars is stripped from body text",
     "Plain **bold** and ***three***",
     400,
     24,
     {{kX, kY, 2, pal::Text, 19}},
     {}},
    {"a paragraph wraps at the width",
     "aaaa bbbb cccc",
     100,
     3 * 22 + 2,
     {{kX, kY, 2, pal::Text, 4}, {kX, kY + 22, 2, pal::Text, 4}, {kX, kY + 44, 2, pal::Text, 4}},
     {}},
    {"a bullet wraps at the width less its indent, with one square",
     "- aaaa bbb",
     100,
     46,
     {{kX + 16, kY, 2, pal::Text, 4}, {kX + 16, kY + 22, 2, pal::Text, 3}},
     {{kX + 3, kY + 6, 5, 5, pal::GoldDim}}},
    {"a heading wraps at the full width",
     "# Patch Notes",
     100,
     70,
     {{kX, kY, 3, pal::Gold, 5}, {kX, kY + 33, 3, pal::Gold, 5}},
     {}},
    {"an emphasis line is never wrapped",
     "**" + std::string(40, 'e') + "**",
     100,
     30,
     {{kX, kY + 6, 2, pal::Accent, 40}},
     {}},
    {"a document adds up, a final line feed being one more gap",
     "# A\n\n- b\nc\n",
     400,
     37 + 11 + 24 + 24 + 11,
     {{kX, kY, 3, pal::Gold, 1},
      {kX + 16, kY + 48, 2, pal::Text, 1},
      {kX, kY + 72, 2, pal::Text, 1}},
     {{kX + 3, kY + 54, 5, 5, pal::GoldDim}}},
};

TEST(DrawNews, LaysOutEachKindOfLine) {
    for (const NewsCase& c : kNewsCases) {
        SCOPED_TRACE(c.name);
        Renderer r;
        EXPECT_EQ(drawNews(r, c.text, kX, kY, c.width), c.height);
        Drawing got = drawnBy(r);
        ASSERT_EQ(got.runs.size(), c.runs.size());
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            SCOPED_TRACE("run " + std::to_string(i));
            EXPECT_EQ(got.runs[i].x, c.runs[i].x);
            EXPECT_EQ(got.runs[i].y, c.runs[i].y);
            EXPECT_EQ(got.runs[i].scale, c.runs[i].scale);
            EXPECT_TRUE(sameColor(got.runs[i].color, c.runs[i].color));
            EXPECT_EQ(got.runs[i].glyphs, c.runs[i].glyphs);
        }
        ASSERT_EQ(got.squares.size(), c.squares.size());
        for (std::size_t i = 0; i < c.squares.size(); ++i) {
            EXPECT_EQ(got.squares[i].x, c.squares[i].x);
            EXPECT_EQ(got.squares[i].y, c.squares[i].y);
            EXPECT_EQ(got.squares[i].w, c.squares[i].w);
            EXPECT_EQ(got.squares[i].h, c.squares[i].h);
            EXPECT_TRUE(sameColor(got.squares[i].color, c.squares[i].color));
        }
    }
}

TEST(DrawNews, MalformedTextStillGivesAFiniteHeight) {
    const std::string texts[] = {
        std::string("\xff\xfe# \xc3\n\0**\x80", 10), std::string(20000, '*'),
        "- \n# \n**\n" + std::string(5000, '\n'),
        "- " + std::string(3000, 'W'),  // one word far wider than the panel
    };
    for (const std::string& text : texts) {
        Renderer r;
        float height = drawNews(r, text, 0, 0, 40);
        EXPECT_TRUE(std::isfinite(height));
        EXPECT_GT(height, 0);
    }
}

// ---------------------------------------------------------------------------------------------
// The panel in the real launcher

using NewsPanel = ScreenTest;

bool newsShows(const Picture& p, std::string_view text, float y, float indent = 0) {
    return showsText(p, text, kNewsLeft + indent, y, 2, pal::Text);
}

// Rows of the scrollbar's thumb column in GoldDim within the content area: the thumb's top and
// height.
struct Thumb {
    int top = -1, height = 0;
};

Thumb thumbOf(const Picture& p) {
    Thumb t;
    for (int y = int(kNewsTop); y < int(kNewsTop + kNewsVisible); ++y) {
        if (p.count(kThumbX + 1, y, 2, 1, pal::GoldDim, 4) == 2) {
            if (t.top < 0) t.top = y;
            ++t.height;
        }
    }
    return t;
}

TEST_F(NewsPanel, DrawsEachLineKindWhereAndInTheColourItBelongs) {
    ASSERT_NO_FATAL_FAILURE(
        serve("# Patch 0.3\n**Hotfix**\n- Faster **loading**\nPlain words\n-no space\n\n**ab\n"));
    ASSERT_NO_FATAL_FAILURE(startIdle());
    Picture p = h.captureUntil([](const Picture& p) { return newsShows(p, "ab", 250); });
    EXPECT_TRUE(showsText(p, "WHAT'S NEW", kPanelX + 22, 66, 2, pal::TextDim));
    EXPECT_TRUE(showsText(p, "Patch 0.3", kNewsLeft, 100, 3, pal::Gold));
    EXPECT_TRUE(showsText(p, "Hotfix", kNewsLeft, 137 + 6, 2, pal::Accent));
    EXPECT_TRUE(newsShows(p, "Faster loading", 167, 16));
    EXPECT_EQ(p.count(int(kNewsLeft) + 3, 167 + 6, 5, 5, pal::GoldDim), 25) << "bullet square";
    EXPECT_TRUE(newsShows(p, "Plain words", 191));
    EXPECT_TRUE(newsShows(p, "-no space", 215));
    EXPECT_TRUE(newsShows(p, "ab", 250));
    EXPECT_EQ(thumbOf(p).height, 0) << "a short text has no scrollbar";
}

TEST(NewsPanelPlaceholder, ShowsDotsWhileCheckingAndATextWhenThereIsNoNews) {
    struct Case {
        const char* name;
        bool silentServer;
        const char* shown;
    };
    for (Case c : {Case{"checking", true, "..."}, Case{"checked", false, "No news to show."}}) {
        SCOPED_TRACE(c.name);
        LauncherHarness run;
        SilentServer silent;
        std::string url = silent.url();
        if (!c.silentServer) {
            run.makeGame();
            ASSERT_TRUE(run.publish("1.0"));  // no news text
            ASSERT_TRUE(run.startServer());
            url = run.server().url();
        }
        run.start({"--server", url});
        ASSERT_FALSE(run.waitForWindow().empty()) << run.output();
        run.moveMouse(5, 5);
        Picture p = run.captureUntil([&](const Picture& p) {
            return showsText(p, c.shown, kNewsLeft, 104, 2, pal::TextDisabled);
        });
        EXPECT_TRUE(showsText(p, c.shown, kNewsLeft, 104, 2, pal::TextDisabled));
    }
}

// A long text of fixed layout: 6 opening lines (185 units with the closing line and the final
// gap) around kFixes bullets of 24 units each, none of them wrapped.
constexpr int kFixes = 180;
constexpr float kFirstFixAt = 37 + 30 + 11 + 24 + 11 + 37;
constexpr float kLongNewsHeight = 185 + 24 * kFixes;
constexpr float kMaxScroll = kLongNewsHeight - kNewsVisible;

std::string fixLine(int i) {
    static const char* const kTemplates[] = {
        "Fixed: stone gate %03d stays shut", "Lantern %03d no longer flickers",
        "Cave %03d has its echo back",       "Ember drift tuned in hall %03d",
        "Bridge %03d no longer sways",       "Moss on wall %03d grows again",
    };
    char line[64];
    std::snprintf(line, sizeof line, kTemplates[i % 6], i + 1);
    return line;
}

std::string longNews() {
    std::string news =
        "# Ashen Roads\n**Update 1.4 is live**\n\nThe ashen road is open at last.\n\n"
        "# Fixes\n";
    for (int i = 0; i < kFixes; ++i) news += "- " + fixLine(i) + "\n";
    return news + "Thank you for playing.\n";
}

// Where the news puts a line at this offset from its top when scrolled by scrollPos.
float shownAt(float offset, float scrollPos) { return kNewsTop - scrollPos + offset; }

TEST_F(NewsPanel, LongNewsScrollsWithTheWheelInsideThePanelOnly) {
    ASSERT_NO_FATAL_FAILURE(serve(longNews()));
    ASSERT_NO_FATAL_FAILURE(startIdle());
    Picture top = h.captureUntil(
        [](const Picture& p) { return showsText(p, "Ashen Roads", kNewsLeft, 100, 3, pal::Gold); });
    ASSERT_TRUE(showsText(top, "Ashen Roads", kNewsLeft, 100, 3, pal::Gold));
    // The content is more than 14 panels tall: the thumb keeps its 30-unit minimum.
    Thumb thumb = thumbOf(top);
    EXPECT_EQ(thumb.top, kNewsTop);
    EXPECT_NEAR(thumb.height, 30, 1);

    // The wheel over the menu does nothing; over the panel each notch moves 48 units.
    h.scroll(200, 300, 5, 5);
    // The wheel counts where the cursor is when a frame takes it: wait for a frame that has the
    // cursor on a link outside the panel before moving in.
    h.moveMouse(100, int(kMenuY0) + 76 + 15);
    auto linkHovered = [](const Picture& p) {
        return showsText(p, "Check for updates", 48, kMenuY0 + 76 + 7, 2, pal::TextBright);
    };
    ASSERT_TRUE(linkHovered(h.captureUntil(linkHovered)));
    h.scroll(700, 300, 5, 2);
    auto fixesAt = [](float y) {
        return [y](const Picture& p) { return showsText(p, "Fixes", kNewsLeft, y, 3, pal::Gold); };
    };
    Picture two = h.captureUntil(fixesAt(shownAt(kFirstFixAt - 37, 96)));
    EXPECT_TRUE(fixesAt(shownAt(kFirstFixAt - 37, 96))(two));

    // Nor does it while the key dialog is open.
    ASSERT_NO_FATAL_FAILURE(openKeyDialog());
    h.scroll(700, 300, 5, 5);
    h.key("Escape");
    ASSERT_TRUE(idleShown(h.captureUntil(idleShown)));
    h.scroll(700, 300, 5, 1);
    auto firstFixAt = [](float y) {
        return [y](const Picture& p) { return newsShows(p, fixLine(0), y, 16); };
    };
    Picture three = h.captureUntil(firstFixAt(shownAt(kFirstFixAt, 144)));
    EXPECT_TRUE(firstFixAt(shownAt(kFirstFixAt, 144))(three));
    // Lines that stick out of the content area are cut at its edges: "Fixes" now starts above it
    // and a bullet runs over its bottom.
    const int contentW = int(kPanelW) - 56;
    EXPECT_EQ(three.count(int(kNewsLeft), 48, contentW, int(kNewsTop) - 48, pal::Gold), 0);
    EXPECT_EQ(three.count(int(kNewsLeft), int(kNewsTop + kNewsVisible), contentW, 14, pal::Text),
              0);
    EXPECT_TRUE(showsText(three, "WHAT'S NEW", kPanelX + 22, 66, 2, pal::TextDim));

    // Far past the end: the last line rests on the bottom edge, the thumb at the bottom.
    h.scroll(700, 300, 5, 90);
    auto closingAt = [](float y) {
        return [y](const Picture& p) { return newsShows(p, "Thank you for playing.", y); };
    };
    Picture bottom = h.captureUntil(closingAt(shownAt(kLongNewsHeight - 35, kMaxScroll)));
    EXPECT_TRUE(closingAt(kNewsTop + kNewsVisible - 35)(bottom));
    thumb = thumbOf(bottom);
    EXPECT_NEAR(thumb.top + thumb.height, kNewsTop + kNewsVisible, 1);
    EXPECT_NEAR(thumb.height, 30, 1);

    // Two notches up from the end: the turn past the end was not kept.
    h.scroll(700, 300, 4, 2);
    float lastFixAt = kFirstFixAt + 24 * (kFixes - 4);
    Picture up = h.captureUntil([&](const Picture& p) {
        return newsShows(p, fixLine(kFixes - 4), shownAt(lastFixAt, kMaxScroll - 96), 16);
    });
    EXPECT_TRUE(newsShows(up, fixLine(kFixes - 4), shownAt(lastFixAt, kMaxScroll - 96), 16));
    keepForReviewers(up, "news-scrolled.png");
}

TEST_F(NewsPanel, ShortNewsHasNoScrollbarAndEasesBackToTheTop) {
    ASSERT_NO_FATAL_FAILURE(serve(longNews(), "# Testing notes\nOnly a few lines so far.\n"));
    ASSERT_NO_FATAL_FAILURE(startIdle("tester_key = " + std::string(kTesterKey) +
                                      "\n"
                                      "channel = live\n"));
    h.scroll(700, 300, 5, 20);
    Picture scrolled = h.captureUntil([](const Picture& p) { return thumbOf(p).top > 100 + 20; });
    ASSERT_GT(thumbOf(scrolled).top, 100 + 20);

    openList();
    h.click(150, int(listRowTop(1)) + 17);  // "Testing"
    h.moveMouse(5, 5);
    auto atTop = [](const Picture& p) {
        return showsText(p, "Testing notes", kNewsLeft, 100, 3, pal::Gold) &&
               newsShows(p, "Only a few lines so far.", 137);
    };
    Picture p = h.captureUntil(atTop);
    EXPECT_TRUE(atTop(p));
    EXPECT_EQ(thumbOf(p).height, 0);
}

}  // namespace
}  // namespace kd::test
