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

inline DecodedPng decodePng(const Bytes& file) {
    auto big32 = [&](std::size_t at) {
        return std::uint32_t(file[at]) << 24 | file[at + 1] << 16 | file[at + 2] << 8 |
               file[at + 3];
    };
    DecodedPng png;
    Bytes idat;
    if (file.size() < 8 || std::memcmp(file.data(), "\x89PNG\r\n\x1A\n", 8) != 0)
        png.error = "no signature";
    for (std::size_t at = 8; png.error.empty() && at < file.size(); at += 12 + big32(at)) {
        if (file.size() - at < 12 || file.size() - at - 12 < big32(at)) {
            png.error = "a chunk runs past the end";
            break;
        }
        std::uint32_t length = big32(at);
        const std::uint8_t* type = &file[at + 4];
        if (crc32(0, type, 4 + length) != big32(at + 8 + length)) png.error = "bad CRC";
        if (std::memcmp(type, "IHDR", 4) == 0) {
            png.width = big32(at + 8);
            png.height = big32(at + 12);
            png.colourType = type[13];
        }
        if (std::memcmp(type, "IDAT", 4) == 0) idat.insert(idat.end(), type + 4, type + 4 + length);
    }
    const int channels = png.colourType == 2 ? 3 : png.colourType == 6 ? 4 : 1;
    const std::size_t rowBytes = std::size_t(png.width) * channels;
    Bytes raw((rowBytes + 1) * png.height);
    uLongf rawSize = raw.size();
    if (png.error.empty() && (uncompress(raw.data(), &rawSize, idat.data(), idat.size()) != Z_OK ||
                              rawSize != raw.size()))
        png.error = "the zlib stream does not hold the image";
    for (std::size_t y = 0; png.error.empty() && y < png.height; ++y) {
        const std::uint8_t* row = &raw[y * (rowBytes + 1)];
        if (row[0] != 0) png.error = "a row is filtered";
        png.pixels.insert(png.pixels.end(), row + 1, row + 1 + rowBytes);
    }
    return png;
}

}  // namespace kd::test
