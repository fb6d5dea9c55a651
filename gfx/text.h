// Text as the screens need it: UTF-8 stepping, measuring and line breaking for the built-in
// monospaced font (every character advances 6 units at scale 1). Pure functions, no GL; drawing is
// DrawList::text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kd {

// The code point starting at byte pos, advancing pos past it; 0 at or after the end. A byte that
// does not start a complete sequence is read on its own as the Latin-1 character of its value.
std::int32_t utf8Next(std::string_view text, std::size_t& pos);
std::size_t utf8Length(std::string_view text);
// Start of the next character after byte index i, skipping continuation bytes; text.size() at the
// end.
std::size_t utf8NextIndex(std::string_view text, std::size_t i);
// Start of the character before byte index i; 0 when there is none.
std::size_t utf8Prev(std::string_view text, std::size_t i);
// Removes the last character (one lead byte and its continuation bytes).
void utf8PopBack(std::string& text);
void utf8Append(std::string& text, std::uint32_t codePoint);

// Width in window units: (6n - 1) x scale for n characters, 0 for none. The empty column after
// the last glyph is not counted.
float textWidth(std::string_view text, float scale);

// Breaks text at spaces into lines no wider than maxWidth; a word longer than a line is cut at
// character boundaries. At least one character goes on each line, and an empty text gives one
// empty line. Spaces inside a line are kept, spaces that would start a new line are dropped.
std::vector<std::string> wrapText(std::string_view text, float scale, float maxWidth);

}  // namespace kd
