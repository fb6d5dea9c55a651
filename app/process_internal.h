// Test seam: the folder opener's fixed path, so tests can put a recording script in its place.
#pragma once

#include <string>

namespace kd {

void setFolderOpenerForTesting(const std::string& path);

}  // namespace kd
