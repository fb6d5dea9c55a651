// The news panel: what drawNews lays out for each kind of line and for malformed text (read back
// from the vertex list of a renderer without GL), and the panel in the real launcher: markup on
// screen, wheel scrolling with easing, the scrollbar and its limits.
#include <cmath>

#include "gfx/renderer.h"
#include "tests/app/launcher_harness.h"

namespace kd::test {
namespace {

// "x,y scale colour glyphs" per run of glyphs on one row in one colour, "[x,y wxh colour]" per
// square, relative to where the news starts; colours G gold, A accent, T text, D dim gold.
std::string layoutOf(const Renderer& r, float x0, float y0) {
    auto letter = [](const Vertex& v) {
        for (auto [c, name] :
             {std::pair{pal::Gold, 'G'}, {pal::Accent, 'A'}, {pal::Text, 'T'}, {pal::GoldDim, 'D'}})
            if (v.r == c.r && v.g == c.g && v.b == c.b && v.a == c.a) return name;
        return '?';
    };
    std::string out, run;
    int glyphs = 0;
    auto endRun = [&] { out += glyphs ? " " + std::to_string(glyphs) + ";" : "", glyphs = 0; };
    for (std::size_t i = 0; i + 6 <= r.vertices.size(); i += 6) {
        const Vertex &a = r.vertices[i], &c = r.vertices[i + 2];
        auto at = std::to_string(int(a.x - x0)) + "," + std::to_string(int(a.y - y0));
        if (a.mode != kModeFont) {
            endRun();
            out += "[" + at + " " + std::to_string(int(c.x - a.x)) + "x" +
                   std::to_string(int(c.y - a.y)) + " " + letter(a) + "];";
            run.clear();
            continue;
        }
        // A run goes on while the row, the scale and the colour stay.
        std::string key =
            std::to_string(a.y) + " " + std::to_string(int((c.y - a.y) / 8)) + letter(a);
        if (key != run) endRun(), out += at + " " + key.substr(key.find(' ') + 1);
        run = key, ++glyphs;
    }
    endRun();
    return out;
}

TEST(DrawNews, LaysOutEachKindOfLine) {
    // Worked out by hand: 12 units per character at scale 2, 18 at scale 3; a heading takes 33
    // and 4 after it, an emphasis 30 and sits 6 lower, a body line 22 and 2 after, a gap 11.
    const struct {
        std::string text;
        float width, height;
        const char* layout;
    } cases[] = {
        {"# Patch 0.3", 400, 37, "0,0 3G 8;"},
        {"**Hotfix**", 400, 30, "0,6 2A 6;"},
        {"**ab", 400, 24, "0,0 2T 2;"},  // unclosed: a paragraph without its markers
        {"- Faster **loading**", 400, 24, "[3,6 5x5 D];16,0 2T 13;"},
        {"-no space", 400, 24, "0,0 2T 8;"},
        {"#no space", 400, 24, "0,0 2T 8;"},
        {"\n", 400, 22, ""},
        {"****", 400, 24, ""},  // not an emphasis line
        {"*****", 400, 30, "0,6 2A 1;"},
        {"# **Big** news", 400, 37, "0,0 3G 11;"},  // a heading keeps bold markers
        {"**a **b** c**", 400, 30, "0,6 2A 7;"},    // so does an emphasis line, inside
        {"Plain **bold** and ***three***", 400, 24, "0,0 2T 19;"},
        {"aaaa bbbb cccc", 100, 68, "0,0 2T 4;0,22 2T 4;0,44 2T 4;"},
        {"- aaaa bbb", 100, 46, "[3,6 5x5 D];16,0 2T 4;16,22 2T 3;"},  // one square, indented
        {"# Patch Notes", 100, 70, "0,0 3G 5;0,33 3G 5;"},
        {"**" + std::string(40, 'e') + "**", 100, 30, "0,6 2A 40;"},  // never wrapped
        // A final line feed is one more gap.
        {"# A\n\n- b\nc\n", 400, 37 + 11 + 24 + 24 + 11,
         "0,0 3G 1;[3,54 5x5 D];16,48 2T 1;0,72 2T 1;"},
    };
    for (const auto& c : cases) {
        Renderer r;
        EXPECT_EQ(drawNews(r, c.text, 10, 20, c.width), c.height) << c.text;
        EXPECT_EQ(layoutOf(r, 10, 20), c.layout) << c.text;
    }
    for (const std::string& text :
         {std::string("\xff\xfe# \xc3\n\0**\x80", 10), std::string(20000, '*'),
          "- \n# \n**\n" + std::string(5000, '\n'), "- " + std::string(3000, 'W')}) {
        Renderer r;
        float height = drawNews(r, text, 0, 0, 40);
        EXPECT_TRUE(std::isfinite(height) && height > 0) << text.size();
    }
}

// A long text of fixed layout: 6 opening lines (185 units with the closing line and the final
// gap) around kFixes bullets of 24 units each, none of them wrapped.
constexpr int kFixes = 180;
constexpr float kFirstFixAt = 37 + 30 + 11 + 24 + 11 + 37, kLongNewsHeight = 185 + 24 * kFixes;
constexpr float kMaxScroll = kLongNewsHeight - kNewsVisible;

std::string fixLine(int i) { return "Lantern " + std::to_string(1000 + i) + " no longer flickers"; }
// A line at this offset from the top of the news, scrolled by scrollPos, with this indent.
Check newsLine(std::string text, float offset, float scrollPos, float indent = 0) {
    return ::kd::test::text(text, kNewsLeft + indent, kNewsTop - scrollPos + offset, 2, pal::Text);
}
// The scrollbar's thumb: rows of its column in GoldDim within the content area.
std::pair<int, int> thumbOf(const Picture& p) {
    int top = -1, height = 0;
    for (int y = int(kNewsTop); y < int(kNewsTop + kNewsVisible); ++y)
        if (p.count(int(kPanelX + kPanelW) - 26, y, 2, 1, pal::GoldDim, 4) == 2)
            top = top < 0 ? y : top, ++height;
    return {top, height};
}

using NewsPanel = LauncherTest;

TEST_F(NewsPanel, LongNewsScrollsWithTheWheelInsideThePanelOnly) {
    std::string news =
        "# Ashen Roads\n**Update 1.4 is live**\n\nThe ashen road is open.\n\n# Fixes\n";
    for (int i = 0; i < kFixes; ++i) news += "- " + fixLine(i) + "\n";
    ASSERT_NO_FATAL_FAILURE(serveBoth(news + "Thank you for playing.\n",
                                      "# Testing notes\nOnly a few lines so far.\n"));
    ASSERT_NO_FATAL_FAILURE(
        startIdle("tester_key = " + std::string(kTesterKey) + "\nchannel = live\n"));
    ASSERT_TRUE(sees(heading("Ashen Roads")));
    // The content is more than 14 panels tall: the thumb keeps its 30-unit minimum.
    EXPECT_EQ(thumbOf(shot_).first, kNewsTop);
    EXPECT_NEAR(thumbOf(shot_).second, 30, 1);
    EXPECT_TRUE(text("Update 1.4 is live", kNewsLeft, kNewsTop + 37 + 6, 2, pal::Accent)(shot_));
    EXPECT_EQ(shot_.count(int(kNewsLeft) + 3, int(kNewsTop + kFirstFixAt) + 6, 5, 5, pal::GoldDim),
              25)
        << "a bullet's square";

    // The wheel over the menu does nothing; over the panel each notch moves 48 units. It counts
    // where the cursor is when a frame takes it: wait for a frame with the cursor on a link
    // outside the panel before moving in.
    scroll(200, 300, 5, 5);
    moveMouse(100, int(kMenuY0) + 91);
    ASSERT_TRUE(sees(text("Check for updates", 48, kMenuY0 + 83, 2, pal::TextBright)));
    scroll(700, 300, 5, 2);
    EXPECT_TRUE(sees(text("Fixes", kNewsLeft, kNewsTop - 96 + kFirstFixAt - 37, 3, pal::Gold)));

    // Nor does it while the key dialog is open.
    ASSERT_NO_FATAL_FAILURE(pickFromList(2));  // "Change key..."
    ASSERT_TRUE(sees(dialog));
    scroll(700, 300, 5, 5);
    key("Escape");
    scroll(700, 300, 5, 1);
    EXPECT_TRUE(sees(newsLine(fixLine(0), kFirstFixAt, 144, 16)));
    // Lines that stick out of the content area are cut at its edges: "Fixes" now starts above it
    // and a bullet runs over its bottom.
    const int contentW = int(kPanelW) - 56;
    EXPECT_EQ(shot_.count(int(kNewsLeft), 48, contentW, int(kNewsTop) - 48, pal::Gold), 0);
    EXPECT_EQ(shot_.count(int(kNewsLeft), int(kNewsTop + kNewsVisible), contentW, 14, pal::Text),
              0);
    EXPECT_TRUE(text("WHAT'S NEW", kPanelX + 22, 66, 2, pal::TextDim)(shot_));

    // Far past the end: the last line rests on the bottom edge, the thumb at the bottom.
    scroll(700, 300, 5, 90);
    EXPECT_TRUE(sees(newsLine("Thank you for playing.", kNewsVisible - 35, 0)));
    EXPECT_NEAR(thumbOf(shot_).first + thumbOf(shot_).second, kNewsTop + kNewsVisible, 1);
    // Two notches up from the end: the turn past the end was not kept.
    scroll(700, 300, 4, 2);
    EXPECT_TRUE(
        sees(newsLine(fixLine(kFixes - 4), kFirstFixAt + 24 * (kFixes - 4), kMaxScroll - 96, 16)));

    // Another channel's short news has no scrollbar and starts at the top.
    ASSERT_NO_FATAL_FAILURE(pickFromList(1));  // "Testing"
    EXPECT_TRUE(sees(heading("Testing notes"), newsLine("Only a few lines so far.", 37, 0),
                     [](const Picture& p) { return thumbOf(p).second == 0; }));
}

}  // namespace
}  // namespace kd::test
