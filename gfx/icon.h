// The window icon, borrowed from the game: "assets/veilstone.ico" in the game folder, a Windows
// icon file of which only uncompressed 32-bit entries are used. The reader takes any bytes
// without crashing; what it cannot use it skips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct GLFWwindow;

namespace kd {

struct IconImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> pixels;  // width x height x 4 bytes, RGBA, top row first
};

// The usable images in directory order; empty when the file is missing, not an icon or holds
// nothing usable. Logs a missing file at debug level and a non-icon file as a warning.
std::vector<IconImage> readIconFile(const std::string& path);
// The same on bytes in memory; path only names the file in the warning.
std::vector<IconImage> decodeIconFile(const std::uint8_t* data, std::size_t size,
                                      const std::string& path);

// Hands every image of installDir/game/assets/veilstone.ico to the window. False, with the
// window's icon left alone, when there is none.
bool loadWindowIcon(const std::string& installDir, GLFWwindow* window);

}  // namespace kd
