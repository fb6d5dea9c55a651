#include "gfx/gl_backend.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>

#include "gfx/font.h"
#include "gfx/gl.h"
#include "log/log.h"

namespace kd {

#define KD_GL_DEFINE(type, name) type name = nullptr;
KD_GL_FUNCTIONS(KD_GL_DEFINE)
#undef KD_GL_DEFINE

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
const LogSource shaderLog{"launcher shader"};

// Each entry only under its core name: an extension alias could differ in meaning.
bool loadGlFunctions(GlEntryLookup lookup, std::string& error) {
    std::string missing;
#define KD_GL_LOAD(type, name)                                       \
    name = reinterpret_cast<type>(lookup ? lookup(#name) : nullptr); \
    if (!name) missing += std::string(missing.empty() ? "" : ", ") + #name;
    KD_GL_FUNCTIONS(KD_GL_LOAD)
#undef KD_GL_LOAD
    if (missing.empty()) return true;
    error = "the drawing needs " + missing + ", which the driver does not offer";
    return false;
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
        shaderLog.error("%s", info);
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

// The clip in device pixels with the origin at the bottom-left, as glScissor takes it.
void setScissor(const DrawList& list, const Rect& clip) {
    float sx = float(list.framebufferWidth) / float(list.windowWidth);
    float sy = float(list.framebufferHeight) / float(list.windowHeight);
    GLint left = toPixels(std::floor(clip.x * sx));
    GLint bottom = toPixels(std::floor((float(list.windowHeight) - (clip.y + clip.h)) * sy));
    GLint width = toPixels(std::ceil(clip.w * sx));
    GLint height = toPixels(std::ceil(clip.h * sy));
    glScissor(left, bottom, std::max(width, 0), std::max(height, 0));
}

}  // namespace

const char* glRendererName(GlEntryLookup lookup) {
    auto getString = reinterpret_cast<PFNGLGETSTRINGPROC>(lookup ? lookup("glGetString") : nullptr);
    return getString ? reinterpret_cast<const char*>(getString(GL_RENDERER)) : nullptr;
}

bool GlBackend::init(GlEntryLookup lookup, std::string& error) {
    if (!loadGlFunctions(lookup, error)) return false;

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
        error = "shader did not link";
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
    // Tightly packed rows whatever the width, for the upload and the read-back alike.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glTextureSubImage2D(fontTexture_, 0, 0, 0, kAtlasWidthPx, kAtlasHeightPx, GL_RED,
                        GL_UNSIGNED_BYTE, atlas.data());
    glTextureParameteri(fontTexture_, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTextureParameteri(fontTexture_, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTextureParameteri(fontTexture_, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTextureParameteri(fontTexture_, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);

    if (!vertexBuffer_ || !vertexArray_ || !fontTexture_) {
        error = "could not create the drawing objects";
        return false;
    }
    return true;
}

void GlBackend::shutdown() {
    if (!glDeleteTextures) return;  // nothing was loaded, so nothing was made
    if (fontTexture_) glDeleteTextures(1, &fontTexture_);
    if (vertexBuffer_) glDeleteBuffers(1, &vertexBuffer_);
    if (vertexArray_) glDeleteVertexArrays(1, &vertexArray_);
    if (program_) glDeleteProgram(program_);
    fontTexture_ = vertexBuffer_ = vertexArray_ = program_ = 0;
}

void GlBackend::draw(const DrawList& list) {
    glViewport(0, 0, list.framebufferWidth, list.framebufferHeight);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glClearColor(kBackground.r, kBackground.g, kBackground.b, kBackground.a);
    glClear(GL_COLOR_BUFFER_BIT);
    if (list.vertices.empty()) return;

    // The whole frame goes up once; each stretch draws its part of the buffer.
    glNamedBufferData(vertexBuffer_, GLsizeiptr(list.vertices.size() * sizeof(Vertex)),
                      list.vertices.data(), GL_STREAM_DRAW);
    glUseProgram(program_);
    glUniform2f(uScreenLocation_, float(list.windowWidth), float(list.windowHeight));
    glBindTextureUnit(0, fontTexture_);
    glBindVertexArray(vertexArray_);
    for (std::size_t i = 0; i < list.stretches.size(); ++i) {
        const DrawStretch& stretch = list.stretches[i];
        const std::size_t end = list.stretchEnd(i);
        if (end == stretch.firstVertex) continue;
        if (stretch.clipped) {
            glEnable(GL_SCISSOR_TEST);
            setScissor(list, stretch.clip);
        } else {
            glDisable(GL_SCISSOR_TEST);
        }
        glDrawArrays(GL_TRIANGLES, GLint(stretch.firstVertex), GLsizei(end - stretch.firstVertex));
    }
    glDisable(GL_SCISSOR_TEST);
}

std::vector<std::uint8_t> GlBackend::readPixels(int framebufferWidth, int framebufferHeight) {
    if (framebufferWidth < 1 || framebufferHeight < 1) return {};
    const std::size_t rowBytes = std::size_t(framebufferWidth) * 3;
    std::vector<std::uint8_t> pixels(rowBytes * std::size_t(framebufferHeight));
    glReadPixels(0, 0, framebufferWidth, framebufferHeight, GL_RGB, GL_UNSIGNED_BYTE,
                 pixels.data());
    // GL hands over the bottom row first.
    for (std::size_t top = 0, bottom = std::size_t(framebufferHeight) - 1; top < bottom;
         ++top, --bottom)
        std::swap_ranges(pixels.begin() + std::ptrdiff_t(top * rowBytes),
                         pixels.begin() + std::ptrdiff_t((top + 1) * rowBytes),
                         pixels.begin() + std::ptrdiff_t(bottom * rowBytes));
    return pixels;
}

}  // namespace kd
