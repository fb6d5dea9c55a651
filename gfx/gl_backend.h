// The GL side of the drawing: one shader program, one vertex buffer and the font texture, which
// draw a finished DrawList with one draw call per clip stretch, and read the framebuffer back for
// a screenshot. UI thread only, with the window's OpenGL 4.5 context current.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gfx/draw_list.h"

namespace kd {

// The shape of glfwGetProcAddress, so that callers need no GL header.
using GlEntryLookup = void (*(*)(const char* name))();

// The GL_RENDERER text of the current context ("llvmpipe (LLVM 15.0.7, 256 bits)"), or null.
const char* glRendererName(GlEntryLookup lookup);

class GlBackend {
public:
    // Loads the entry points and makes the GL objects. False, with the reason for the log, when
    // the driver lacks an entry point (nothing is called then) or the shaders do not link; call
    // shutdown either way.
    bool init(GlEntryLookup lookup, std::string& error);
    void shutdown();
    // Clears the framebuffer to the background colour and draws the list in its order.
    void draw(const DrawList& list);
    // The framebuffer as RGB rows, top row first; empty for sizes below 1.
    std::vector<std::uint8_t> readPixels(int framebufferWidth, int framebufferHeight);

private:
    std::uint32_t program_ = 0;
    std::uint32_t vertexArray_ = 0;
    std::uint32_t vertexBuffer_ = 0;
    std::uint32_t fontTexture_ = 0;
    std::int32_t uScreenLocation_ = -1;
};

}  // namespace kd
