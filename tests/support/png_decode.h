// Test helper: decodes our PNG files with zlib, an implementation independent of ours: signature,
// every chunk's CRC, the zlib stream (inflate and Adler-32) and the filter byte of each row.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kd::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct DecodedPng {
    std::string error;  // empty when the file decoded
    std::uint32_t width = 0, height = 0;
    int colourType = -1;
    Bytes pixels;  // rows without their filter byte
};

inline std::uint32_t big32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

inline DecodedPng decodePng(const Bytes& file) {
    DecodedPng png;
    Bytes idat;
    if (file.size() < 8 || std::memcmp(file.data(), "\x89PNG\r\n\x1A\n", 8) != 0) {
        png.error = "no signature";
    }
    for (std::size_t at = 8; png.error.empty() && at < file.size();) {
        if (file.size() - at < 12 || file.size() - at - 12 < big32(&file[at])) {
            png.error = "a chunk runs past the end";
            break;
        }
        std::uint32_t length = big32(&file[at]);
        const std::uint8_t* type = &file[at + 4];
        if (crc32(0, type, 4 + length) != big32(type + 4 + length)) png.error = "bad CRC";
        if (std::memcmp(type, "IHDR", 4) == 0) {
            png.width = big32(type + 4);
            png.height = big32(type + 8);
            png.colourType = type[13];
        }
        if (std::memcmp(type, "IDAT", 4) == 0) idat.insert(idat.end(), type + 4, type + 4 + length);
        at += 12 + length;
    }
    int channels = png.colourType == 0 ? 1 : png.colourType == 2 ? 3 : 4;
    std::size_t rowBytes = std::size_t(png.width) * channels;
    Bytes raw((rowBytes + 1) * png.height);
    uLongf rawSize = raw.size();
    if (png.error.empty() && (uncompress(raw.data(), &rawSize, idat.data(), idat.size()) != Z_OK ||
                              rawSize != raw.size())) {
        png.error = "the zlib stream does not hold the image";
    }
    for (std::size_t y = 0; png.error.empty() && y < png.height; ++y) {
        const std::uint8_t* row = &raw[y * (rowBytes + 1)];
        if (row[0] != 0) png.error = "a row is filtered";
        png.pixels.insert(png.pixels.end(), row + 1, row + 1 + rowBytes);
    }
    return png;
}

}  // namespace kd::test
