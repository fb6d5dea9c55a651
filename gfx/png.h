// Saving images as PNG without an image or compression library: the scanlines go into stored
// (uncompressed) deflate blocks, so files are valid but as large as the raw pixels.
#pragma once

#include <cstdint>
#include <string>

namespace kd {

// pixels: height rows of width x channels bytes, top row first, no padding; channels 1 (grey),
// 3 (RGB) or 4 (RGBA). True when the whole file was written; bad sizes give false without
// touching the file, and a failed write removes the partial file.
bool writePng(const char* path, const std::uint8_t* pixels, int width, int height, int channels,
              std::string& error);

}  // namespace kd
