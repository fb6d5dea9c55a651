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

// The window's icon, every image of installDir/game/assets/veilstone.ico. The file comes with the
// game, so it is looked for again until it is there; it is read again only once it has changed,
// so that a damaged file is reported once, not at every look.
class WindowIcon {
public:
    // True once the window has the icon; the window's icon is left alone until then.
    bool update(const std::string& installDir, GLFWwindow* window);

private:
    struct Stamp {
        bool exists = false;
        std::int64_t size = 0, modifiedNs = 0, inode = 0;
        bool operator==(const Stamp&) const = default;
    };
    bool set_ = false;
    bool looked_ = false;
    Stamp last_;
};

}  // namespace kd
