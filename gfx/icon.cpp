#include "gfx/icon.h"

#include <GLFW/glfw3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/base.h"
#include "log/log.h"

namespace kd {
namespace {

constexpr std::uint64_t kMaxIconFileBytes =
    16777215;  // a real icon file is a few hundred kilobytes
constexpr std::size_t kIconHeaderBytes = 6;
constexpr std::size_t kDirEntryBytes = 16;
constexpr std::uint32_t kMinBitmapHeaderBytes = 40;  // BITMAPINFOHEADER
constexpr std::uint16_t kIconType = 1;
constexpr std::uint16_t kBitsPerPixel = 32;
constexpr int kBytesPerPixel = 4;
const std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

std::uint16_t read16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }
std::uint32_t read32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// One directory entry's bitmap, or false when it is not an uncompressed 32-bit bitmap of exactly
// the size the directory announces.
bool decodeEntry(const std::uint8_t* data, std::size_t size, const std::uint8_t* entry,
                 IconImage& image) {
    const std::uint32_t w = entry[0] == 0 ? 256 : entry[0];
    const std::uint32_t h = entry[1] == 0 ? 256 : entry[1];
    const std::uint64_t bytes = read32(entry + 8);
    const std::uint64_t offset = read32(entry + 12);
    if (offset + bytes > size || bytes < kMinBitmapHeaderBytes) return false;
    const std::uint8_t* bitmap = data + offset;
    if (std::memcmp(bitmap, kPngSignature, sizeof kPngSignature) == 0) return false;  // PNG entry

    const std::uint32_t headerBytes = read32(bitmap);
    // The stored height counts the colour rows and the AND mask rows below them.
    const std::int32_t storedHeight = std::int32_t(read32(bitmap + 8));
    if (headerBytes < kMinBitmapHeaderBytes || read32(bitmap + 4) != w ||
        storedHeight / 2 != std::int32_t(h) || read16(bitmap + 14) != kBitsPerPixel ||
        read32(bitmap + 16) != 0) {
        return false;
    }
    const std::uint64_t rowBytes = std::uint64_t(w) * kBytesPerPixel;
    if (bytes < rowBytes * h + headerBytes) return false;

    image.width = std::int32_t(w);
    image.height = std::int32_t(h);
    image.pixels.resize(std::size_t(rowBytes * h));
    const std::uint8_t* rows = bitmap + headerBytes;
    for (std::uint32_t r = 0; r < h; ++r) {
        const std::uint8_t* in = rows + (h - 1 - r) * rowBytes;  // stored bottom row first
        std::uint8_t* out = image.pixels.data() + r * rowBytes;
        for (std::uint32_t x = 0; x < w; ++x, in += 4, out += 4) {
            out[0] = in[2];  // B, G, R, A on disk
            out[1] = in[1];
            out[2] = in[0];
            out[3] = in[3];
        }
    }
    return true;
}

}  // namespace

std::vector<IconImage> decodeIconFile(const std::uint8_t* data, std::size_t size,
                                      const std::string& path) {
    std::vector<IconImage> images;
    if (size < kIconHeaderBytes || read16(data + 2) != kIconType) {
        logWarn("%s is not an icon file", path.c_str());
        return images;
    }
    const std::size_t count = read16(data + 4);
    // The count is only a claim: entries stop where the data does.
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entryEnd = kIconHeaderBytes + kDirEntryBytes * (i + 1);
        if (entryEnd > size) break;
        IconImage image;
        if (decodeEntry(data, size, data + entryEnd - kDirEntryBytes, image)) {
            images.push_back(std::move(image));
        }
    }
    return images;
}

std::vector<IconImage> readIconFile(const std::string& path) {
    std::string data;
    // Too large for an icon is damage like any other: the decoder then sees no bytes.
    const FileError error = readWholeFile(path, data, kMaxIconFileBytes);
    if (error != 0 && error != EFBIG) {
        logDebug("No window icon at %s", path.c_str());
        return {};
    }
    return decodeIconFile(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), path);
}

bool WindowIcon::update(const std::string& installDir, GLFWwindow* window) {
    if (set_) return true;
    const std::string path = installDir + "/game/assets/veilstone.ico";
    struct stat info {};
    Stamp now;
    if (::stat(path.c_str(), &info) == 0)
        now = {true, info.st_size, info.st_mtim.tv_sec * 1000000000 + info.st_mtim.tv_nsec,
               std::int64_t(info.st_ino)};
    if (looked_ && now == last_) return false;
    looked_ = true;
    last_ = now;
    std::vector<IconImage> images = readIconFile(path);
    if (images.empty()) return false;
    std::vector<GLFWimage> glfwImages;
    for (IconImage& image : images) {
        glfwImages.push_back(GLFWimage{image.width, image.height, image.pixels.data()});
    }
    // GLFW copies the pixels, so they may go when this returns.
    glfwSetWindowIcon(window, int(glfwImages.size()), glfwImages.data());
    set_ = true;
    return true;
}

}  // namespace kd
