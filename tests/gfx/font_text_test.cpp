// The dashes' glyphs, UTF-8 decoding of malformed bytes, measuring and line breaking.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "gfx/font.h"
#include "gfx/text.h"

namespace kd {
namespace {

TEST(Font, DashesHaveGlyphsOfTheirOwn) {
    EXPECT_NE(std::memcmp(FontGlyphs[glyphIndex(0x2013)], FontGlyphs[glyphIndex(0x2014)], 8), 0);
    EXPECT_NE(std::memcmp(FontGlyphs[glyphIndex('-')], FontGlyphs[glyphIndex(0x2013)], 8), 0);
}

TEST(Utf8, DecodesSequencesAndReadsStrayBytesAsLatin1) {
    const struct {
        std::string text;
        std::vector<std::int32_t> codePoints;
    } cases[] = {
        {"A\xC3\xA9", {'A', 0xE9}},
        {"\xE2\x80\x94\xF0\x9F\x98\x80", {0x2014, 0x1F600}},
        {"\xE9", {0xE9}},                  // Latin-1 é
        {"\x80\x61", {0x80, 'a'}},         // stray continuation
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

TEST(WrapText, BreaksAtSpacesWithinTheWidth) {
    EXPECT_EQ(textWidth("Hi", 3), 33.0f);  // the last empty column does not count
    EXPECT_EQ(textWidth("\xC3\xA9", 2), 10.0f);
    auto fits = [](int n) { return float(6 * n - 1); };  // the width of n characters at scale 1
    const struct {
        std::string text;
        float scale, maxWidth;
        std::vector<std::string> lines;
    } cases[] = {
        {"one two six", 1, fits(7), {"one two", "six"}},
        {"one two six", 1, fits(2), {"on", "e", "tw", "o", "si", "x"}},
        {"abc ", 1, fits(10), {"abc "}},             // a trailing space stays when it fits
        {"a   b", 1, fits(10), {"a   b"}},           // runs of spaces stay inside a line
        {"abc   def", 1, fits(4), {"abc ", "def"}},  // but not at the start of a line
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
    for (const auto& c : cases)
        EXPECT_EQ(wrapText(c.text, c.scale, c.maxWidth), c.lines) << c.text << " " << c.maxWidth;
}

}  // namespace
}  // namespace kd
