// Words, names and texts as the release tool reads them from its arguments and files.
#pragma once

#include <string>
#include <string_view>

namespace kd::tool {

// Only the digits 0-9 and a-f (objects are named in lower case); true for the empty text.
bool isLowerHex(std::string_view text);
// A version or platform word: not empty, no blanks, no control bytes.
bool isOneWord(std::string_view word);
// A name as `ls --quoting-style=shell-escape` shows it (in a UTF-8 locale): as it is when nothing
// in it means anything to a shell, else in single quotes (double quotes when that is enough for a
// name with a single quote), with control characters and bytes that are not UTF-8 as $'\ooo', so
// that a name can neither hide a blank nor send a terminal control sequence.
std::string quoteName(std::string_view name);
// A name as b2sum writes it in a digest line: backslash, line feed and carriage return escaped
// with a backslash; escaped tells whether any was, and then the line starts with a backslash.
std::string digestLineName(std::string_view name, bool& escaped);
// The whole file (a text to sign, check or publish); false when it cannot be read.
bool readText(const std::string& path, std::string& text);

}  // namespace kd::tool
