// The launcher's immediate-mode 2D renderer. Screens call the drawing operations in painter's
// order between beginFrame and endFrame; each appends triangles to one vertex list, which goes to
// the GPU in a single draw call per clip stretch. Coordinates are window units, origin top-left,
// y downwards; the vertex shader scales them to the framebuffer. UI thread only.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace kd {

// Straight (not premultiplied) alpha, each channel 0..1.
struct Color {
    float r, g, b, a;
};

// The GPU vertex layout: 9 floats, 36 bytes, no gaps.
struct Vertex {
    float x, y;  // window units
    float u, v;  // font texture coordinate (mode 1) or offset from the centre (mode 2)
    float r, g, b, a;
    float mode;  // 0 flat colour, 1 font coverage, 2 circular falloff
};
static_assert(sizeof(Vertex) == 36);

constexpr float kModeFlat = 0.0f;
constexpr float kModeFont = 1.0f;
constexpr float kModeFalloff = 2.0f;

// The GL objects stay inside: screens only queue drawing, so nothing else can leave the pipeline
// in a state the next flush does not expect.
class Renderer {
public:
    std::vector<Vertex> vertices;  // triangles since the last flush, three vertices each
    std::int32_t windowWidth = 1;
    std::int32_t windowHeight = 1;
    std::int32_t framebufferWidth = 1;
    std::int32_t framebufferHeight = 1;

    // Needs the GL table loaded (gfx/gl.h). False when an entry point the drawing needs is missing
    // (nothing is called then) or when the shaders do not link; call shutdown either way.
    bool init();
    void shutdown();

    // Sizes of 0 or less count as 1. Clears the framebuffer to the background colour.
    void beginFrame(int windowWidth, int windowHeight, int framebufferWidth, int framebufferHeight);
    void flush();
    void endFrame();
    // Everything queued before is drawn unclipped. Clips do not nest: a second beginClip replaces
    // the rectangle, endClip switches clipping off.
    void beginClip(float x, float y, float w, float h);
    void endClip();

    // Corners (x0, y0) top-left and (x1, y1) bottom-right, with texture corners (s0, t0), (s1, t1).
    void quad(float x0, float y0, float x1, float y1, float s0, float t0, float s1, float t1,
              Color color, float mode);
    void triangle(const Vertex& a, const Vertex& b, const Vertex& c);
    void fillRect(float x, float y, float w, float h, Color color);
    void gradientRect(float x, float y, float w, float h, Color topColor, Color bottomColor);
    // A disc fading from the colour's alpha at the centre as (1 - d/r)^2 to nothing at radius r.
    void dot(float cx, float cy, float radius, Color color);
    // Square ends, not extended; nothing for a line of no length.
    void line(float x0, float y0, float x1, float y1, float thickness, Color color);
    // Rectangle with 45-degree cut corners; the 1-unit outline is drawn only when visible.
    void chamferRect(float x, float y, float w, float h, float cut, Color fillColor,
                     Color outlineColor);
    // One line of UTF-8 text, y at the top of the capitals; newlines are not interpreted.
    void text(std::string_view text, float x, float y, float scale, Color color);

private:
    std::uint32_t program_ = 0;
    std::uint32_t vertexArray_ = 0;
    std::uint32_t vertexBuffer_ = 0;
    std::uint32_t fontTexture_ = 0;
    std::int32_t uScreenLocation_ = -1;
};

}  // namespace kd
