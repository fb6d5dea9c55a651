#include "tools/text.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/base.h"

namespace kd::tool {

namespace {

// Far above any manifest or news text; only a bound against reading a disk image by mistake.
constexpr std::uint64_t kMaxTextBytes = std::uint64_t(1) << 30;

}  // namespace

bool isLowerHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isOneWord(std::string_view word) {
    if (word.empty()) return false;
    for (unsigned char c : word)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

bool readText(const std::string& path, std::string& text) {
    const FileError error = readWholeFile(path, text, kMaxTextBytes);
    if (error != EINVAL) return error == 0;
    // Not a regular file: a pipe (a process substitution, /dev/stdin) is read to its end.
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return false;
    std::string read;
    char piece[65536];
    for (long got; (got = readSome(file.get(), piece, sizeof piece)) != 0;) {
        if (got < 0 || read.size() + std::size_t(got) > kMaxTextBytes) return false;
        read.append(piece, std::size_t(got));
    }
    text = std::move(read);
    return true;
}

namespace {

enum class Kind { Plain, Special, SpecialButQuotable, Hidden, Quote };

// The length of the UTF-8 sequence at name[at] when it is a printable character, 0 otherwise.
std::size_t printableSequence(std::string_view name, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(name[i]); };
    const unsigned char lead = byte(at);
    if (lead >= 0x20 && lead < 0x7f) return 1;
    std::size_t length = lead >= 0xf0 && lead <= 0xf4 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
    if (lead >= 0xf5 || length == 0 || at + length > name.size()) return 0;
    std::uint32_t code = lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
        code = code << 6 | (byte(at + i) & 0x3f);
    }
    const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < shortest[length] || code > 0x10ffff || (code >= 0xd800 && code < 0xe000)) return 0;
    return code < 0xa0 ? 0 : length;  // C1 control characters are not shown either
}

// How ls treats one printable ASCII character at position at of a name of the given size: plain
// needs no quotes; special needs them; a quotable one also leaves double quotes possible.
Kind kindOf(char c, std::size_t at, std::size_t size) {
    if (c == '\'') return Kind::Quote;
    if (c == ' ') return Kind::SpecialButQuotable;
    if (std::string_view("!\"$&()*;<=>?[\\^`|").find(c) != std::string_view::npos)
        return Kind::Special;
    // '#' and '~' mean something only at the start, '{' and '}' only alone.
    if ((c == '#' || c == '~') && at == 0) return Kind::SpecialButQuotable;
    if ((c == '{' || c == '}') && size == 1) return Kind::SpecialButQuotable;
    if (c == '#' || c == '~' || c == '{' || c == '}') return Kind::Hidden;  // plain, but not in ""
    return Kind::Plain;
}

void appendEscape(std::string& out, unsigned char byte) {
    static const char letters[] = "abtnvfr";  // for the bytes 7 to 13
    out += '\\';
    if (byte >= 7 && byte <= 13) {
        out += letters[byte - 7];
        return;
    }
    out += char('0' + (byte >> 6));
    out += char('0' + ((byte >> 3) & 7));
    out += char('0' + (byte & 7));
}

}  // namespace

std::string quoteName(std::string_view name) {
    if (name.empty()) return "''";
    bool quote = false, doubleQuotes = true, singleQuote = false;
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = printableSequence(name, at);
        if (length == 0) {
            quote = true;
            doubleQuotes = false;
            ++at;
            continue;
        }
        if (length == 1) {
            const Kind kind = kindOf(name[at], at, name.size());
            quote |=
                kind == Kind::Special || kind == Kind::SpecialButQuotable || kind == Kind::Quote;
            doubleQuotes &= kind != Kind::Special && kind != Kind::Hidden;
            singleQuote |= kind == Kind::Quote;
        }
        at += length;
    }
    if (!quote) return std::string(name);
    if (singleQuote && doubleQuotes) return "\"" + std::string(name) + "\"";
    std::string out = "'";
    bool escaping = false;  // inside $'...'
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = printableSequence(name, at);
        if (length == 0) {
            if (!escaping) out += "'$'";
            escaping = true;
            appendEscape(out, static_cast<unsigned char>(name[at++]));
            continue;
        }
        if (name[at] == '\'') {
            out += "'\\''";
        } else {
            if (escaping) out += "''";
            out.append(name.substr(at, length));
        }
        escaping = false;
        at += length;
    }
    return out + "'";
}

std::string digestLineName(std::string_view name, bool& escaped) {
    std::string out;
    escaped = false;
    for (char c : name) {
        const char* escape = c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
        escaped |= escape != nullptr;
        if (escape)
            out += escape;
        else
            out += c;
    }
    return out;
}

}  // namespace kd::tool
