// The font tables, code point to glyph mapping, UTF-8 stepping, measuring, line breaking and the
// quads Renderer::text appends.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "gfx/font.h"
#include "gfx/renderer.h"
#include "gfx/text.h"

namespace kd {
namespace {

using Lines = std::vector<std::string>;

TEST(FontTables, GlyphsKeepTheirFormAndTheFourFixedDesigns) {
    const std::vector<std::uint8_t> fixed[] = {
        {33, 0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00},  // A
        {16, 0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E, 0x00},  // 0
        {71, 0x00, 0x00, 0x0F, 0x11, 0x11, 0x0F, 0x01, 0x0E},  // g
        {31, 0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04, 0x00},  // ?
    };
    for (const auto& f : fixed) {
        EXPECT_EQ(std::vector<std::uint8_t>(FontGlyphs[f[0]], FontGlyphs[f[0]] + 8),
                  std::vector<std::uint8_t>(f.begin() + 1, f.end()));
    }
    const std::set<int> descenders = {glyphIndex('g'), glyphIndex('j'), glyphIndex('p'),
                                      glyphIndex('q'), glyphIndex('y'), glyphIndex(0xE7),
                                      glyphIndex(0xFD)};  // ç, ý
    for (int i = 0; i < kFontGlyphCount; ++i) {
        int pixels = 0;
        for (int r = 0; r < 8; ++r) {
            EXPECT_EQ(FontGlyphs[i][r] & 0xE0, 0) << "glyph " << i << " uses bits 5-7";
            pixels += __builtin_popcount(FontGlyphs[i][r]);
        }
        EXPECT_EQ(FontGlyphs[i][7] != 0, descenders.count(i) == 1) << "row 7 of glyph " << i;
        EXPECT_EQ(pixels == 0, i == 0 || i == 95) << "only the two spaces are empty: " << i;
    }
}

TEST(GlyphIndex, MapsAsciiThenTheExtrasAndAllElseToTheQuestionMark) {
    const struct {
        std::int32_t codePoint;
        int glyph;
    } cases[] = {
        {' ', 0},    {'0', 16},     {'A', 33},     {'~', 94},  {0xA0, 95},       {0xE9, 117},
        {0xFD, 136}, {0x2013, 137}, {0x2717, 152}, {0xC9, 31}, {'\n', 31},       {0, 31},
        {127, 31},   {0xA4, 31},    {0x2718, 31},  {-1, 31},   {0x7FFFFFFF, 31},
    };
    for (const auto& c : cases) EXPECT_EQ(glyphIndex(c.codePoint), c.glyph) << c.codePoint;
    for (int k = 1; k < kFontExtraCount; ++k)
        EXPECT_LT(FontExtraCodePoints[k - 1], FontExtraCodePoints[k]);
}

TEST(FontAtlas, PutsEachGlyphInItsCellWithEmptySeparators) {
    std::vector<std::uint8_t> atlas = buildFontAtlas();
    ASSERT_EQ(atlas.size(), 96u * 90u);
    for (int y = 0; y < 90; ++y) {
        for (int x = 0; x < 96; ++x) {
            int glyph = (y / 9) * 16 + x / 6, c = x % 6, r = y % 9;
            bool on =
                glyph < kFontGlyphCount && c < 5 && r < 8 && (FontGlyphs[glyph][r] >> (4 - c) & 1);
            ASSERT_EQ(atlas[std::size_t(y) * 96 + x], on ? 255 : 0) << x << "," << y;
        }
    }
}

TEST(Utf8Next, DecodesSequencesAndReadsStrayBytesAsLatin1) {
    const struct {
        std::string text;
        std::vector<std::int32_t> codePoints;
    } cases[] = {
        {"A\xC3\xA9", {'A', 0xE9}},
        {"\xE2\x80\x94\xF0\x9F\x98\x80", {0x2014, 0x1F600}},
        {"\xE9", {0xE9}},  // Latin-1 é
        {"\x80"
         "a",
         {0x80, 'a'}},                     // stray continuation
        {"a\xC3", {'a', 0xC3}},            // cut off at the end
        {"\xE2\x80x", {0xE2, 0x80, 'x'}},  // too few continuations
        {"\xF0\x9F\x98", {0xF0, 0x9F, 0x98}},
        {"\xF8\xFF", {0xF8, 0xFF}},
        {"\xC1\xA1\xED\xA0\x80", {0x61, 0xD800}},  // overlong and surrogate are not rejected
    };
    for (const auto& c : cases) {
        std::vector<std::int32_t> got;
        for (std::size_t pos = 0; pos < c.text.size();) got.push_back(utf8Next(c.text, pos));
        EXPECT_EQ(got, c.codePoints) << c.text;
        EXPECT_EQ(utf8Length(c.text), c.codePoints.size());
        std::size_t end = c.text.size();
        EXPECT_EQ(utf8Next(c.text, end), 0);
        EXPECT_EQ(end, c.text.size());
    }
}

TEST(Utf8Editing, StepsRemovesAndAppendsWholeCharacters) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC";  // a é €
    EXPECT_EQ(utf8NextIndex(text, 1), 3u);
    EXPECT_EQ(utf8NextIndex(text, 3), 6u);
    EXPECT_EQ(utf8NextIndex(text, 9), 6u);
    EXPECT_EQ(utf8Prev(text, 6), 3u);
    EXPECT_EQ(utf8Prev(text, 1), 0u);
    EXPECT_EQ(utf8Prev("\x80\x80", 2), 0u);
    std::string edited = text;
    utf8PopBack(edited);
    EXPECT_EQ(edited, "a\xC3\xA9");
    utf8PopBack(edited);
    utf8PopBack(edited);
    utf8PopBack(edited);
    EXPECT_EQ(edited, "");
    for (std::uint32_t cp : {0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x1F600u}) {
        std::string appended;
        utf8Append(appended, cp);
        EXPECT_EQ(appended.size(), cp < 0x80 ? 1u : cp < 0x800 ? 2u : cp < 0x10000 ? 3u : 4u);
        std::size_t pos = 0;
        EXPECT_EQ(std::uint32_t(utf8Next(appended, pos)), cp);
    }
}

TEST(TextWidth, CountsCharactersLessTheLastEmptyColumn) {
    EXPECT_EQ(textWidth("", 3), 0.0f);
    EXPECT_EQ(textWidth("Hi", 3), 33.0f);
    EXPECT_EQ(textWidth("\xC3\xA9", 2), 10.0f);
    EXPECT_EQ(textWidth("a b ", 1), 23.0f);
}

TEST(WrapText, BreaksAtSpacesWithinTheWidth) {
    auto fits = [](int n) { return float(6 * n - 1); };  // the width of n characters at scale 1
    const struct {
        std::string text;
        float scale, maxWidth;
        Lines lines;
    } cases[] = {
        {"", 1, fits(10), {""}},
        {"one two six", 1, fits(7), {"one two", "six"}},
        {"one two six", 1, fits(2), {"on", "e", "tw", "o", "si", "x"}},
        {"abc ", 1, fits(10), {"abc "}},             // a trailing space stays when it fits
        {"a   b", 1, fits(10), {"a   b"}},           // runs of spaces stay inside a line
        {"abc   def", 1, fits(4), {"abc ", "def"}},  // but not at the start of a line
        {"   ", 1, fits(10), {""}},
        {"ab cdefgh", 1, fits(4), {"ab", "cdef", "gh"}},
        {"hello world", 2, 2 * fits(5), {"hello", "world"}},
        {"hello", 2, 2 * fits(5) - 1, {"hell", "o"}},
        {"abc", 2, 3, {"a", "b", "c"}},  // narrower than one character
        {"ab", 1, -100, {"a", "b"}},
        {"a\nb c", 1, fits(3), {"a\nb", "c"}},  // a newline is part of a word
        {"\xC3\xA9\xC3\xA9\xC3\xA9", 1, fits(2), {"\xC3\xA9\xC3\xA9", "\xC3\xA9"}},
        // A cut steps over continuation bytes that are counted on their own; nothing is lost.
        {"\x80\x80\x80 \xE2\x80\x80\x80", 1, fits(1), {"\x80\x80\x80", "\xE2\x80\x80\x80"}},
        // Scales that would divide by zero or carry NaN into an integer conversion.
        {"ab cd", 0, 100, {"ab cd"}},
        {"ab", NAN, 100, {"a", "b"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wrapText(c.text, c.scale, c.maxWidth), c.lines) << c.text << " " << c.maxWidth;
    }
}

TEST(RendererText, AppendsASnappedFontQuadPerCharacterButSpaces) {
    Renderer r;
    r.text("a b\n", 10.5f, 19.5f, 3, Color{1, 1, 1, 1});
    ASSERT_EQ(r.vertices.size(), 18u);  // the space only advances the pen
    const Vertex& a = r.vertices[0];
    EXPECT_EQ(a.x, 11);  // positions round halves away from zero
    EXPECT_EQ(a.y, 20);
    EXPECT_EQ(r.vertices[2].x, 11 + 15);
    EXPECT_EQ(r.vertices[2].y, 20 + 24);
    EXPECT_EQ(r.vertices[6].x, std::round(10.5f + 12 * 3));
    // 'a' is glyph 65, atlas cell (1, 4); the newline is drawn as '?', glyph 31, cell (15, 1).
    EXPECT_FLOAT_EQ(a.u, 6.0f / 96);
    EXPECT_FLOAT_EQ(a.v, 36.0f / 90);
    EXPECT_FLOAT_EQ(r.vertices[2].u, 11.0f / 96);
    EXPECT_FLOAT_EQ(r.vertices[2].v, 44.0f / 90);
    EXPECT_FLOAT_EQ(r.vertices[12].u, 90.0f / 96);
    EXPECT_FLOAT_EQ(r.vertices[12].v, 9.0f / 90);
    for (const Vertex& v : r.vertices) EXPECT_EQ(v.mode, kModeFont);
}

}  // namespace
}  // namespace kd
