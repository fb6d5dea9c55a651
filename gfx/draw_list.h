// What one frame of the launcher's window shows, as plain data: the triangles in painter's order,
// the stretches of them that share a clip rectangle, and every line of text as it was asked for.
// Screens fill a DrawList without any GL; the GL backend (gfx/gl_backend.h) draws a finished one,
// and tests read one. Coordinates are window units, origin top-left, y downwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kd {

// Straight (not premultiplied) alpha, each channel 0..1.
struct Color {
    float r, g, b, a;
    bool operator==(const Color&) const = default;
};

struct Rect {
    float x = 0, y = 0, w = 0, h = 0;
    // Left and top edges inside, right and bottom edges outside.
    bool contains(float px, float py) const {
        return x <= px && px < x + w && y <= py && py < y + h;
    }
    bool operator==(const Rect&) const = default;
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

// The vertices from firstVertex up to the next stretch's (or the end) share one clip, or none.
struct DrawStretch {
    std::size_t firstVertex = 0;
    bool clipped = false;
    Rect clip;
};

// One call of DrawList::text; its glyphs are quads in the vertices.
struct DrawText {
    std::size_t offset, length;  // in DrawList::textBytes
    float x, y, scale;           // y taken to the whole unit the glyphs are drawn at
    Color color;
    std::size_t stretch;  // whose clip applies
};

class DrawList {
public:
    std::int32_t windowWidth = 1;
    std::int32_t windowHeight = 1;
    std::int32_t framebufferWidth = 1;
    std::int32_t framebufferHeight = 1;
    std::vector<Vertex> vertices;                       // three per triangle
    std::vector<DrawStretch> stretches{DrawStretch{}};  // the first starts unclipped
    std::vector<DrawText> texts;
    std::string textBytes;

    // Empties the list, keeping its capacity, so that after the first frames drawing allocates
    // nothing. Sizes of 0 or less count as 1.
    void beginFrame(int windowWidth, int windowHeight, int framebufferWidth, int framebufferHeight);
    // Clips do not nest: a second beginClip replaces the rectangle, endClip switches clipping off.
    void beginClip(float x, float y, float w, float h);
    void endClip();
    std::size_t stretchEnd(std::size_t stretch) const;
    std::string_view textOf(const DrawText& text) const;

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
};

}  // namespace kd
