// The launcher's built-in bitmap font: 153 glyphs of 5 x 8 pixels (printable ASCII, then 58 further
// characters listed in FontExtraCodePoints), the mapping from code points to glyphs and the atlas
// image the renderer uploads as its one texture.
#pragma once

#include <cstdint>
#include <vector>

namespace kd {

constexpr int kFontGlyphCount = 153;
constexpr int kFontExtraCount = 58;  // glyphs 95..152
constexpr int kFirstExtraGlyph = 95;
constexpr int kQuestionMarkGlyph = 31;  // stands in for every character without a glyph
constexpr int kGlyphWidthPx = 5;
constexpr int kGlyphHeightPx = 8;
constexpr int kGlyphAdvancePx = 6;  // one empty column between neighbours

// Atlas: glyph i in the 6 x 9 cell at column i % 16, row i / 16; the cell's last column and row
// stay empty so nearest filtering never picks up a neighbour.
constexpr int kAtlasColumns = 16;
constexpr int kAtlasCellWidthPx = 6;
constexpr int kAtlasCellHeightPx = 9;
constexpr int kAtlasWidthPx = kAtlasColumns * kAtlasCellWidthPx;  // 96
constexpr int kAtlasHeightPx = 10 * kAtlasCellHeightPx;           // 90

// Byte r is pixel row r from the top; bit 4 is the leftmost column, bit 0 the rightmost. Capitals
// and digits stand on row 6; row 7 holds only the descenders of g, j, p, q, y, ç and ý.
extern const std::uint8_t FontGlyphs[kFontGlyphCount][kGlyphHeightPx];
// Code points of glyphs 95..152, ascending.
extern const std::uint32_t FontExtraCodePoints[kFontExtraCount];

// Glyph 0..152 for a code point; the question mark for anything the font lacks (control
// characters included).
int glyphIndex(std::int32_t codePoint);

// kAtlasWidthPx x kAtlasHeightPx bytes, row 0 at the top: 255 on glyph pixels, 0 elsewhere.
std::vector<std::uint8_t> buildFontAtlas();

}  // namespace kd
