#include "gfx/renderer.h"

#include <climits>
#include <cmath>
#include <cstddef>

#include "gfx/font.h"
#include "gfx/gl.h"
#include "gfx/text.h"
#include "log/log.h"

namespace kd {
namespace {

const char* const kVertexShaderSource =
    "#version 450 core\n"
    "layout(location = 0) in vec2 aPos;\n"
    "layout(location = 1) in vec2 aUv;\n"
    "layout(location = 2) in vec4 aColor;\n"
    "layout(location = 3) in float aMode;\n"
    "uniform vec2 uScreen;\n"
    "out vec2 vUv;\n"
    "out vec4 vColor;\n"
    "flat out int vMode;\n"
    "void main() {\n"
    "    vec2 ndc = aPos / uScreen * 2.0 - 1.0;\n"
    "    gl_Position = vec4(ndc.x, -ndc.y, 0.0, 1.0);\n"
    "    vUv = aUv;\n"
    "    vColor = aColor;\n"
    "    vMode = int(aMode + 0.5);\n"
    "}\n";

const char* const kFragmentShaderSource =
    "#version 450 core\n"
    "in vec2 vUv;\n"
    "in vec4 vColor;\n"
    "flat in int vMode;\n"
    "layout(binding = 0) uniform sampler2D uFont;\n"
    "out vec4 oColor;\n"
    "void main() {\n"
    "    float a = 1.0;\n"
    "    if (vMode == 1) {\n"
    "        a = texture(uFont, vUv).r;\n"
    "    } else if (vMode == 2) {\n"
    "        float d = length(vUv);\n"
    "        a = clamp(1.0 - d, 0.0, 1.0);\n"
    "        a *= a;\n"
    "    }\n"
    "    oColor = vec4(vColor.rgb, vColor.a * a);\n"
    "    if (oColor.a <= 0.0) discard;\n"
    "}\n";

constexpr Color kBackground{0.02f, 0.018f, 0.022f, 1.0f};
constexpr std::size_t kShaderLogBytes = 1024;
constexpr float kOutlineWidthUnits = 1.0f;

// Every entry point the renderer and the screenshot read-back call, none of them checked again
// at the call: a driver without one of them must stop the launcher here, not crash it later.
#define KD_DRAWING_ENTRIES(X)     \
    X(glEnable)                   \
    X(glDisable)                  \
    X(glClear)                    \
    X(glClearColor)               \
    X(glViewport)                 \
    X(glScissor)                  \
    X(glBlendFunc)                \
    X(glPixelStorei)              \
    X(glReadPixels)               \
    X(glCreateShader)             \
    X(glShaderSource)             \
    X(glCompileShader)            \
    X(glGetShaderiv)              \
    X(glGetShaderInfoLog)         \
    X(glDeleteShader)             \
    X(glCreateProgram)            \
    X(glAttachShader)             \
    X(glLinkProgram)              \
    X(glGetProgramiv)             \
    X(glUseProgram)               \
    X(glDeleteProgram)            \
    X(glGetUniformLocation)       \
    X(glUniform2f)                \
    X(glCreateBuffers)            \
    X(glDeleteBuffers)            \
    X(glNamedBufferData)          \
    X(glCreateVertexArrays)       \
    X(glDeleteVertexArrays)       \
    X(glBindVertexArray)          \
    X(glEnableVertexArrayAttrib)  \
    X(glVertexArrayAttribFormat)  \
    X(glVertexArrayAttribBinding) \
    X(glVertexArrayVertexBuffer)  \
    X(glDrawArrays)               \
    X(glCreateTextures)           \
    X(glDeleteTextures)           \
    X(glBindTextureUnit)          \
    X(glTextureStorage2D)         \
    X(glTextureSubImage2D)        \
    X(glTextureParameteri)

bool drawingEntriesPresent() {
    bool all = true;
#define KD_CHECK(name)                                                                      \
    if (!name) {                                                                            \
        logError("launcher: the drawing needs %s, which the driver does not offer", #name); \
        all = false;                                                                        \
    }
    KD_DRAWING_ENTRIES(KD_CHECK)
#undef KD_CHECK
    return all;
}

// A failed shader is still returned: the link then fails and reports it.
GLuint compileShader(GLenum kind, const char* source) {
    GLuint shader = glCreateShader(kind);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint compiled = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
    if (!compiled) {
        char info[kShaderLogBytes] = {};
        glGetShaderInfoLog(shader, GLsizei(sizeof info), nullptr, info);
        logError("launcher shader: %s", info);
    }
    return shader;
}

// Converting a float outside int's range is undefined, and a negative scissor size is a GL error
// that would leave the previous rectangle in force; both end up as a clamped, empty-at-worst box.
GLint toPixels(float v) {
    constexpr float kLimit = float(INT_MAX / 2);
    if (!(v > -kLimit)) return -INT_MAX / 2;  // NaN included
    if (v > kLimit) return INT_MAX / 2;
    return GLint(v);
}

Vertex makeVertex(float x, float y, float u, float v, Color c, float mode) {
    return Vertex{x, y, u, v, c.r, c.g, c.b, c.a, mode};
}

}  // namespace

bool Renderer::init() {
    if (!drawingEntriesPresent()) return false;

    GLuint vertexShader = compileShader(GL_VERTEX_SHADER, kVertexShaderSource);
    GLuint fragmentShader = compileShader(GL_FRAGMENT_SHADER, kFragmentShaderSource);
    program_ = glCreateProgram();
    glAttachShader(program_, vertexShader);
    glAttachShader(program_, fragmentShader);
    glLinkProgram(program_);
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);
    GLint linked = GL_FALSE;
    glGetProgramiv(program_, GL_LINK_STATUS, &linked);
    if (!linked) {
        logError("launcher: shader did not link");
        return false;
    }
    uScreenLocation_ = glGetUniformLocation(program_, "uScreen");

    glCreateBuffers(1, &vertexBuffer_);
    glCreateVertexArrays(1, &vertexArray_);
    constexpr GLuint kBinding = 0;
    glVertexArrayVertexBuffer(vertexArray_, kBinding, vertexBuffer_, 0, sizeof(Vertex));
    const struct {
        GLint floats;
        GLuint offset;
    } attributes[] = {
        {2, offsetof(Vertex, x)},
        {2, offsetof(Vertex, u)},
        {4, offsetof(Vertex, r)},
        {1, offsetof(Vertex, mode)},
    };
    for (GLuint location = 0; location < 4; ++location) {
        glEnableVertexArrayAttrib(vertexArray_, location);
        glVertexArrayAttribFormat(vertexArray_, location, attributes[location].floats, GL_FLOAT,
                                  GL_FALSE, attributes[location].offset);
        glVertexArrayAttribBinding(vertexArray_, location, kBinding);
    }

    std::vector<std::uint8_t> atlas = buildFontAtlas();
    glCreateTextures(GL_TEXTURE_2D, 1, &fontTexture_);
    glTextureStorage2D(fontTexture_, 1, GL_R8, kAtlasWidthPx, kAtlasHeightPx);
    // Tightly packed rows whatever the width; the setting stays, as nothing else uploads pixels.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTextureSubImage2D(fontTexture_, 0, 0, 0, kAtlasWidthPx, kAtlasHeightPx, GL_RED,
                        GL_UNSIGNED_BYTE, atlas.data());
    glTextureParameteri(fontTexture_, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTextureParameteri(fontTexture_, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTextureParameteri(fontTexture_, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTextureParameteri(fontTexture_, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);

    if (!vertexBuffer_ || !vertexArray_ || !fontTexture_) {
        logError("launcher: could not create the drawing objects");
        return false;
    }
    return true;
}

void Renderer::shutdown() {
    if (fontTexture_) glDeleteTextures(1, &fontTexture_);
    if (vertexBuffer_) glDeleteBuffers(1, &vertexBuffer_);
    if (vertexArray_) glDeleteVertexArrays(1, &vertexArray_);
    if (program_) glDeleteProgram(program_);
    fontTexture_ = vertexBuffer_ = vertexArray_ = program_ = 0;
}

void Renderer::beginFrame(int newWindowWidth, int newWindowHeight, int newFramebufferWidth,
                          int newFramebufferHeight) {
    windowWidth = newWindowWidth < 1 ? 1 : newWindowWidth;
    windowHeight = newWindowHeight < 1 ? 1 : newWindowHeight;
    framebufferWidth = newFramebufferWidth < 1 ? 1 : newFramebufferWidth;
    framebufferHeight = newFramebufferHeight < 1 ? 1 : newFramebufferHeight;
    vertices.clear();

    glViewport(0, 0, framebufferWidth, framebufferHeight);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glClearColor(kBackground.r, kBackground.g, kBackground.b, kBackground.a);
    glClear(GL_COLOR_BUFFER_BIT);
}

void Renderer::flush() {
    if (vertices.empty()) return;
    glNamedBufferData(vertexBuffer_, GLsizeiptr(vertices.size() * sizeof(Vertex)), vertices.data(),
                      GL_STREAM_DRAW);
    glUseProgram(program_);
    glUniform2f(uScreenLocation_, float(windowWidth), float(windowHeight));
    glBindTextureUnit(0, fontTexture_);
    glBindVertexArray(vertexArray_);
    glDrawArrays(GL_TRIANGLES, 0, GLsizei(vertices.size()));
    vertices.clear();
}

void Renderer::endFrame() {
    flush();
    glDisable(GL_SCISSOR_TEST);
}

void Renderer::beginClip(float x, float y, float w, float h) {
    flush();
    float sx = float(framebufferWidth) / float(windowWidth);
    float sy = float(framebufferHeight) / float(windowHeight);
    GLint left = toPixels(std::floor(x * sx));
    GLint bottom = toPixels(std::floor((float(windowHeight) - (y + h)) * sy));
    GLint width = toPixels(std::ceil(w * sx));
    GLint height = toPixels(std::ceil(h * sy));
    glEnable(GL_SCISSOR_TEST);
    glScissor(left, bottom, width < 0 ? 0 : width, height < 0 ? 0 : height);
}

void Renderer::endClip() {
    flush();
    glDisable(GL_SCISSOR_TEST);
}

void Renderer::quad(float x0, float y0, float x1, float y1, float s0, float t0, float s1, float t1,
                    Color color, float mode) {
    Vertex a = makeVertex(x0, y0, s0, t0, color, mode);
    Vertex b = makeVertex(x1, y0, s1, t0, color, mode);
    Vertex c = makeVertex(x1, y1, s1, t1, color, mode);
    Vertex d = makeVertex(x0, y1, s0, t1, color, mode);
    vertices.insert(vertices.end(), {a, b, c, a, c, d});
}

void Renderer::triangle(const Vertex& a, const Vertex& b, const Vertex& c) {
    vertices.insert(vertices.end(), {a, b, c});
}

void Renderer::fillRect(float x, float y, float w, float h, Color color) {
    quad(x, y, x + w, y + h, 0.0f, 0.0f, 0.0f, 0.0f, color, kModeFlat);
}

void Renderer::gradientRect(float x, float y, float w, float h, Color topColor, Color bottomColor) {
    Vertex a = makeVertex(x, y, 0.0f, 0.0f, topColor, kModeFlat);
    Vertex b = makeVertex(x + w, y, 0.0f, 0.0f, topColor, kModeFlat);
    Vertex c = makeVertex(x + w, y + h, 0.0f, 0.0f, bottomColor, kModeFlat);
    Vertex d = makeVertex(x, y + h, 0.0f, 0.0f, bottomColor, kModeFlat);
    vertices.insert(vertices.end(), {a, b, c, a, c, d});
}

void Renderer::dot(float cx, float cy, float radius, Color color) {
    quad(cx - radius, cy - radius, cx + radius, cy + radius, -1.0f, -1.0f, 1.0f, 1.0f, color,
         kModeFalloff);
}

void Renderer::line(float x0, float y0, float x1, float y1, float thickness, Color color) {
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

void Renderer::chamferRect(float x, float y, float w, float h, float cut, Color fillColor,
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

void Renderer::text(std::string_view str, float x, float y, float scale, Color color) {
    constexpr std::int32_t kSpace = 32;
    constexpr float kGlyphU = float(kGlyphWidthPx) / kAtlasWidthPx;
    constexpr float kGlyphV = float(kGlyphHeightPx) / kAtlasHeightPx;
    float pen = x;
    const float top = std::round(y);
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
