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

}  // namespace kd::tool
