#include "gfx/draw_list.h"

#include <cmath>

#include "gfx/font.h"
#include "gfx/text.h"

namespace kd {
namespace {

constexpr float kOutlineWidthUnits = 1.0f;

Vertex makeVertex(float x, float y, float u, float v, Color c, float mode) {
    return Vertex{x, y, u, v, c.r, c.g, c.b, c.a, mode};
}

}  // namespace

void DrawList::beginFrame(int newWindowWidth, int newWindowHeight, int newFramebufferWidth,
                          int newFramebufferHeight) {
    windowWidth = newWindowWidth < 1 ? 1 : newWindowWidth;
    windowHeight = newWindowHeight < 1 ? 1 : newWindowHeight;
    framebufferWidth = newFramebufferWidth < 1 ? 1 : newFramebufferWidth;
    framebufferHeight = newFramebufferHeight < 1 ? 1 : newFramebufferHeight;
    vertices.clear();
    texts.clear();
    textBytes.clear();
    stretches.assign(1, DrawStretch{});
}

void DrawList::beginClip(float x, float y, float w, float h) {
    stretches.push_back({vertices.size(), true, {x, y, w, h}});
}

void DrawList::endClip() { stretches.push_back({vertices.size(), false, {}}); }

std::size_t DrawList::stretchEnd(std::size_t stretch) const {
    return stretch + 1 < stretches.size() ? stretches[stretch + 1].firstVertex : vertices.size();
}

std::string_view DrawList::textOf(const DrawText& text) const {
    return std::string_view(textBytes).substr(text.offset, text.length);
}

void DrawList::quad(float x0, float y0, float x1, float y1, float s0, float t0, float s1, float t1,
                    Color color, float mode) {
    Vertex a = makeVertex(x0, y0, s0, t0, color, mode);
    Vertex b = makeVertex(x1, y0, s1, t0, color, mode);
    Vertex c = makeVertex(x1, y1, s1, t1, color, mode);
    Vertex d = makeVertex(x0, y1, s0, t1, color, mode);
    vertices.insert(vertices.end(), {a, b, c, a, c, d});
}

void DrawList::triangle(const Vertex& a, const Vertex& b, const Vertex& c) {
    vertices.insert(vertices.end(), {a, b, c});
}

void DrawList::fillRect(float x, float y, float w, float h, Color color) {
    quad(x, y, x + w, y + h, 0.0f, 0.0f, 0.0f, 0.0f, color, kModeFlat);
}

void DrawList::gradientRect(float x, float y, float w, float h, Color topColor, Color bottomColor) {
    Vertex a = makeVertex(x, y, 0.0f, 0.0f, topColor, kModeFlat);
    Vertex b = makeVertex(x + w, y, 0.0f, 0.0f, topColor, kModeFlat);
    Vertex c = makeVertex(x + w, y + h, 0.0f, 0.0f, bottomColor, kModeFlat);
    Vertex d = makeVertex(x, y + h, 0.0f, 0.0f, bottomColor, kModeFlat);
    vertices.insert(vertices.end(), {a, b, c, a, c, d});
}

void DrawList::dot(float cx, float cy, float radius, Color color) {
    quad(cx - radius, cy - radius, cx + radius, cy + radius, -1.0f, -1.0f, 1.0f, 1.0f, color,
         kModeFalloff);
}

void DrawList::line(float x0, float y0, float x1, float y1, float thickness, Color color) {
    float dx = x1 - x0;
    float dy = y1 - y0;
    float length = std::sqrt(dx * dx + dy * dy);
    if (!(length > 0.0f)) return;
    float nx = -dy * thickness / (2.0f * length);
    float ny = dx * thickness / (2.0f * length);
    Vertex a = makeVertex(x0 + nx, y0 + ny, 0.0f, 0.0f, color, kModeFlat);
    Vertex b = makeVertex(x1 + nx, y1 + ny, 0.0f, 0.0f, color, kModeFlat);
    Vertex c = makeVertex(x1 - nx, y1 - ny, 0.0f, 0.0f, color, kModeFlat);
    Vertex d = makeVertex(x0 - nx, y0 - ny, 0.0f, 0.0f, color, kModeFlat);
    vertices.insert(vertices.end(), {a, b, c, a, c, d});
}

void DrawList::chamferRect(float x, float y, float w, float h, float cut, Color fillColor,
                           Color outlineColor) {
    const float corners[8][2] = {
        {x + cut, y},         {x + w - cut, y}, {x + w, y + cut}, {x + w, y + h - cut},
        {x + w - cut, y + h}, {x + cut, y + h}, {x, y + h - cut}, {x, y + cut},
    };
    Vertex centre = makeVertex(x + w / 2.0f, y + h / 2.0f, 0.0f, 0.0f, fillColor, kModeFlat);
    for (int i = 1; i <= 8; ++i) {
        const float* p = corners[i - 1];
        const float* q = corners[i % 8];
        triangle(centre, makeVertex(p[0], p[1], 0.0f, 0.0f, fillColor, kModeFlat),
                 makeVertex(q[0], q[1], 0.0f, 0.0f, fillColor, kModeFlat));
    }
    if (!(outlineColor.a > 0.0f)) return;
    for (int i = 1; i <= 8; ++i) {
        const float* p = corners[i - 1];
        const float* q = corners[i % 8];
        line(p[0], p[1], q[0], q[1], kOutlineWidthUnits, outlineColor);
    }
}

void DrawList::text(std::string_view str, float x, float y, float scale, Color color) {
    const float top = std::round(y);
    texts.push_back({textBytes.size(), str.size(), x, top, scale, color, stretches.size() - 1});
    textBytes.append(str);
    constexpr std::int32_t kSpace = 32;
    constexpr float kGlyphU = float(kGlyphWidthPx) / kAtlasWidthPx;
    constexpr float kGlyphV = float(kGlyphHeightPx) / kAtlasHeightPx;
    float pen = x;
    std::size_t pos = 0;
    while (pos < str.size()) {
        std::int32_t cp = utf8Next(str, pos);
        if (cp != kSpace) {
            int g = glyphIndex(cp);
            float s0 = float(kAtlasCellWidthPx * (g % kAtlasColumns)) / kAtlasWidthPx;
            float t0 = float(kAtlasCellHeightPx * (g / kAtlasColumns)) / kAtlasHeightPx;
            // Whole pixels at whole scales, so every font pixel covers the same screen pixels.
            float left = std::round(pen);
            quad(left, top, left + kGlyphWidthPx * scale, top + kGlyphHeightPx * scale, s0, t0,
                 s0 + kGlyphU, t0 + kGlyphV, color, kModeFont);
        }
        pen += kGlyphAdvancePx * scale;
    }
}

}  // namespace kd
