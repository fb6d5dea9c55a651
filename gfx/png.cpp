#include "gfx/png.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

namespace kd {
namespace {

constexpr std::size_t kMaxStoredBlockBytes = 65535;
constexpr std::size_t kStoredBlockHeaderBytes = 5;  // BFINAL/BTYPE byte, LEN, NLEN
// A chunk's length field is 31 bits; one IDAT must hold the whole zlib stream.
constexpr std::uint64_t kMaxChunkDataBytes = 0x7FFFFFFF;
constexpr std::uint32_t kAdlerModulus = 65521;

const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// The CRC-32 of the PNG format: reflected polynomial 0xEDB88320.
const std::array<std::uint32_t, 256>& crcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    const auto& table = crcTable();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::uint32_t adler32(const std::uint8_t* data, std::size_t size) {
    // 5552 bytes is the longest run whose sums cannot overflow 32 bits before the reduction.
    constexpr std::size_t kRunBytes = 5552;
    std::uint32_t a = 1, b = 0;
    while (size > 0) {
        std::size_t run = size < kRunBytes ? size : kRunBytes;
        size -= run;
        for (std::size_t i = 0; i < run; ++i) {
            a += *data++;
            b += a;
        }
        a %= kAdlerModulus;
        b %= kAdlerModulus;
    }
    return (b << 16) | a;
}

void putBig32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.insert(out.end(), {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                           std::uint8_t(v)});
}

void putChunk(std::vector<std::uint8_t>& out, const char type[4],
              const std::vector<std::uint8_t>& data) {
    putBig32(out, std::uint32_t(data.size()));
    std::size_t typeStart = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    putBig32(out, crc32(out.data() + typeStart, out.size() - typeStart));
}

std::vector<std::uint8_t> zlibStored(const std::vector<std::uint8_t>& raw) {
    std::vector<std::uint8_t> z;
    std::size_t blocks = (raw.size() + kMaxStoredBlockBytes - 1) / kMaxStoredBlockBytes;
    z.reserve(2 + raw.size() + kStoredBlockHeaderBytes * blocks + 4);
    z.push_back(0x78);  // deflate, 32 KiB window
    z.push_back(0x01);  // no preset dictionary, fastest; 0x7801 is a multiple of 31
    for (std::size_t start = 0; start < raw.size(); start += kMaxStoredBlockBytes) {
        std::size_t len =
            raw.size() - start < kMaxStoredBlockBytes ? raw.size() - start : kMaxStoredBlockBytes;
        bool last = start + len == raw.size();
        z.push_back(last ? 0x01 : 0x00);  // BFINAL, BTYPE 00 (stored)
        z.push_back(std::uint8_t(len));
        z.push_back(std::uint8_t(len >> 8));
        z.push_back(std::uint8_t(~len));
        z.push_back(std::uint8_t(~len >> 8));
        z.insert(z.end(), raw.begin() + std::ptrdiff_t(start),
                 raw.begin() + std::ptrdiff_t(start + len));
    }
    putBig32(z, adler32(raw.data(), raw.size()));
    return z;
}

}  // namespace

bool writePng(const char* path, const std::uint8_t* pixels, int width, int height, int channels,
              std::string& error) {
    // Grey, RGB and RGBA are colour types 0, 2 and 6.
    const int colourType = channels == 1 ? 0 : channels == 3 ? 2 : channels == 4 ? 6 : -1;
    if (width < 1 || height < 1 || colourType < 0) {
        error = "no image to write to " + std::string(path);
        return false;
    }
    const std::size_t rowBytes = std::size_t(width) * std::size_t(channels);
    const std::uint64_t rawBytes = std::uint64_t(rowBytes + 1) * std::uint64_t(height);
    const std::uint64_t blocks = (rawBytes + kMaxStoredBlockBytes - 1) / kMaxStoredBlockBytes;
    if (2 + rawBytes + kStoredBlockHeaderBytes * blocks + 4 > kMaxChunkDataBytes) {
        error = std::string(path) + " would be too large for one image";
        return false;
    }

    std::vector<std::uint8_t> raw;
    raw.reserve(std::size_t(rawBytes));
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = pixels + std::size_t(y) * rowBytes;
        raw.push_back(0);  // filter type None
        raw.insert(raw.end(), row, row + rowBytes);
    }

    std::vector<std::uint8_t> header;
    putBig32(header, std::uint32_t(width));
    putBig32(header, std::uint32_t(height));
    // Bit depth 8, colour type, deflate, adaptive filtering (all rows use None), no interlace.
    header.insert(header.end(), {8, std::uint8_t(colourType), 0, 0, 0});

    std::vector<std::uint8_t> file(kSignature, kSignature + sizeof kSignature);
    putChunk(file, "IHDR", header);
    putChunk(file, "IDAT", zlibStored(raw));
    putChunk(file, "IEND", {});

    FILE* f = std::fopen(path, "wb");
    if (!f) {
        error = "cannot open " + std::string(path);
        return false;
    }
    bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    // fclose flushes, so a full disk may only show here.
    written = std::fclose(f) == 0 && written;
    if (!written) {
        // Half a PNG is worth nothing and would pass for a screenshot: it goes (only a plain
        // file: the path may name a device).
        error = "cannot write " + std::string(path);
        std::error_code ec;
        if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
        return false;
    }
    return true;
}

}  // namespace kd
