// Test helper: builds icon files entry by entry, each field open to corruption.
#pragma once

#include <cstdint>
#include <vector>

namespace kd::test {

struct IcoEntry {
    std::uint8_t side = 2;  // directory width and height; 0 means 256
    std::uint32_t bitmapWidth = 2;
    std::int32_t storedHeight = 4;   // colour rows plus mask rows
    std::uint32_t headerBytes = 40;  // only 40..1024 are really written
    std::uint16_t bitCount = 32;
    std::uint32_t compression = 0;
    bool png = false;                     // a PNG-compressed entry instead of a bitmap
    std::vector<std::uint8_t> pixels;     // B, G, R, A, bottom row first; zeros when short
    std::int64_t size = -1, offset = -1;  // directory overrides
};

inline void putLe(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
}

inline IcoEntry squareEntry(std::uint8_t side) {
    IcoEntry e;
    e.side = side;
    e.bitmapWidth = side ? side : 256;
    e.storedHeight = 2 * std::int32_t(e.bitmapWidth);
    return e;
}

// count: the directory's claim, by default the number of entries.
inline std::vector<std::uint8_t> buildIco(const std::vector<IcoEntry>& entries, int count = -1,
                                          std::uint16_t type = 1) {
    std::vector<std::uint8_t> file, images;
    putLe(file, 0, 2);
    putLe(file, type, 2);
    putLe(file, count < 0 ? std::uint32_t(entries.size()) : std::uint32_t(count), 2);
    for (const IcoEntry& e : entries) {
        std::vector<std::uint8_t> image;
        if (e.png) {
            image = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
            image.resize(200, 0xAB);
        } else {
            std::uint32_t side = e.side ? e.side : 256;
            putLe(image, e.headerBytes, 4);
            putLe(image, e.bitmapWidth, 4);
            putLe(image, std::uint32_t(e.storedHeight), 4);
            putLe(image, 1, 2);  // planes
            putLe(image, e.bitCount, 2);
            putLe(image, e.compression, 4);
            image.resize(e.headerBytes >= 40 && e.headerBytes <= 1024 ? e.headerBytes : 40, 0);
            std::vector<std::uint8_t> pixels = e.pixels;
            pixels.resize(std::size_t(side) * side * 4, 0);
            image.insert(image.end(), pixels.begin(), pixels.end());
            image.resize(image.size() + (side + 31) / 32 * 4 * side, 0);  // AND mask
        }
        std::uint32_t offset = std::uint32_t(6 + 16 * entries.size() + images.size());
        file.insert(file.end(), {e.side, e.side, 0, 0});
        putLe(file, 1, 2);
        putLe(file, e.bitCount, 2);
        putLe(file, e.size >= 0 ? std::uint32_t(e.size) : std::uint32_t(image.size()), 4);
        putLe(file, e.offset >= 0 ? std::uint32_t(e.offset) : offset, 4);
        images.insert(images.end(), image.begin(), image.end());
    }
    file.insert(file.end(), images.begin(), images.end());
    return file;
}

}  // namespace kd::test
