// Saving images as PNG without an image or compression library: the scanlines go into stored
// (uncompressed) deflate blocks, so files are valid but as large as the raw pixels. Also the
// window screenshot, read back from the framebuffer after Renderer::endFrame and before the swap.
#pragma once

#include <cstdint>
#include <vector>

namespace kd {

// pixels: height rows of width x channels bytes, no padding; channels 1 (grey), 3 (RGB) or
// 4 (RGBA). With flip the last input row becomes the file's first. True when the whole file was
// written; bad sizes give false without touching the file, and a failed write removes the partial
// file.
bool writePng(const char* path, const std::uint8_t* pixels, int width, int height, int channels,
              bool flip);

// The current framebuffer as RGB rows, bottom row first as GL delivers them; the GL table and a
// successful Renderer::init are required. Empty for sizes below 1.
std::vector<std::uint8_t> readFramebufferRgb(int framebufferWidth, int framebufferHeight);

// readFramebufferRgb and writePng with the top row first. The caller logs the success.
bool writeScreenshot(const char* path, int framebufferWidth, int framebufferHeight);

}  // namespace kd
