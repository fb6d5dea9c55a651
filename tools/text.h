// Words, names and texts as the release tool reads them from its arguments and files.
#pragma once

#include <string>
#include <string_view>

namespace kd::tool {

// Only the digits 0-9 and a-f (objects are named in lower case); true for the empty text.
bool isLowerHex(std::string_view text);
// A version or platform word: not empty, no blanks, no control bytes.
bool isOneWord(std::string_view word);
// The whole file (a text to sign, check or publish); false when it cannot be read.
bool readText(const std::string& path, std::string& text);

}  // namespace kd::tool
