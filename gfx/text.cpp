#include "gfx/text.h"

#include <cmath>

#include "gfx/font.h"

namespace kd {
namespace {

bool isContinuation(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

// True when the count bytes after pos exist and are all continuation bytes.
bool continuationsFollow(std::string_view text, std::size_t pos, std::size_t count) {
    if (text.size() - pos <= count) return false;
    for (std::size_t k = 1; k <= count; ++k) {
        if (!isContinuation(static_cast<unsigned char>(text[pos + k]))) return false;
    }
    return true;
}

}  // namespace

std::int32_t utf8Next(std::string_view text, std::size_t& pos) {
    if (pos >= text.size()) return 0;
    auto at = [&](std::size_t k) {
        return std::int32_t(static_cast<unsigned char>(text[pos + k]));
    };
    std::int32_t b = at(0);
    if (b < 0x80) {
        pos += 1;
        return b;
    }
    if ((b & 0xE0) == 0xC0 && continuationsFollow(text, pos, 1)) {
        std::int32_t cp = ((b & 0x1F) << 6) | (at(1) & 0x3F);
        pos += 2;
        return cp;
    }
    if ((b & 0xF0) == 0xE0 && continuationsFollow(text, pos, 2)) {
        std::int32_t cp = ((b & 0x0F) << 12) | ((at(1) & 0x3F) << 6) | (at(2) & 0x3F);
        pos += 3;
        return cp;
    }
    if ((b & 0xF8) == 0xF0 && continuationsFollow(text, pos, 3)) {
        std::int32_t cp =
            ((b & 0x07) << 18) | ((at(1) & 0x3F) << 12) | ((at(2) & 0x3F) << 6) | (at(3) & 0x3F);
        pos += 4;
        return cp;
    }
    // Text that is not UTF-8 at all is most likely Latin-1, so a lone byte stands for itself.
    pos += 1;
    return b;
}

std::size_t utf8Length(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size(); ++count) utf8Next(text, pos);
    return count;
}

std::size_t utf8NextIndex(std::string_view text, std::size_t i) {
    if (i >= text.size()) return text.size();
    std::size_t j = i + 1;
    while (j < text.size() && isContinuation(static_cast<unsigned char>(text[j]))) ++j;
    return j;
}

std::size_t utf8Prev(std::string_view text, std::size_t i) {
    if (i > text.size()) i = text.size();
    while (i > 0) {
        --i;
        if (!isContinuation(static_cast<unsigned char>(text[i]))) return i;
    }
    return 0;
}

void utf8PopBack(std::string& text) {
    while (!text.empty()) {
        unsigned char last = static_cast<unsigned char>(text.back());
        text.pop_back();
        if (!isContinuation(last)) return;
    }
}

void utf8Append(std::string& text, std::uint32_t cp) {
    auto put = [&](std::uint32_t byte) { text.push_back(static_cast<char>(byte)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | ((cp >> 18) & 0x07));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

float textWidth(std::string_view text, float scale) {
    std::size_t n = utf8Length(text);
    if (n == 0) return 0.0f;
    return float(kGlyphAdvancePx * n - 1) * scale;
}

namespace {

// The largest n with (6n - 1) x scale <= maxWidth, but at least 1. Also guards the float-to-int
// conversion against a scale of 0, infinities and NaN, which would otherwise be undefined.
std::size_t charsPerLine(float scale, float maxWidth) {
    constexpr float kMaxCharsPerLine = 1.0e9f;
    float chars = (maxWidth + scale) / (float(kGlyphAdvancePx) * scale);
    if (!(chars >= 1.0f)) return 1;
    if (chars > kMaxCharsPerLine) return std::size_t(kMaxCharsPerLine);
    return std::size_t(chars);
}

}  // namespace

std::vector<std::string> wrapText(std::string_view text, float scale, float maxWidth) {
    const std::size_t maxChars = charsPerLine(scale, maxWidth);
    std::vector<std::string> lines;
    std::string line;
    std::size_t lineChars = 0;

    // Only the space separates words, so a text ending in a space has a final empty word and a run
    // of spaces has empty words between them: that is how spaces inside a line survive.
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(' ', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view word = text.substr(pos, end - pos);
        pos = end + 1;

        std::size_t wordChars = utf8Length(word);
        if (lineChars > 0) {
            if (lineChars + 1 + wordChars <= maxChars) {
                line += ' ';
                line += word;
                lineChars += 1 + wordChars;
                continue;
            }
            lines.push_back(std::move(line));
            line.clear();
            lineChars = 0;
        }
        while (wordChars > maxChars) {
            std::size_t cut = 0;
            for (std::size_t k = 0; k < maxChars; ++k) cut = utf8NextIndex(word, cut);
            lines.emplace_back(word.substr(0, cut));
            word.remove_prefix(cut);
            wordChars = utf8Length(word);
        }
        line.assign(word);
        lineChars = wordChars;
    }
    if (!line.empty()) lines.push_back(std::move(line));
    if (lines.empty()) lines.emplace_back();
    return lines;
}

}  // namespace kd
