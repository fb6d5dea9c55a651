#include "gfx/gl.h"

#include <vector>

#include "log/log.h"

namespace kd {

#define KD_GL_DEFINE(type, name) type name = nullptr;
KD_GL_FUNCTIONS(KD_GL_DEFINE)
#undef KD_GL_DEFINE

#define KD_GL_COUNT(type, name) +1
static_assert(0 KD_GL_FUNCTIONS(KD_GL_COUNT) == kGlFunctionCount);
#undef KD_GL_COUNT

namespace {
constexpr int kMaxErrorsPerCheck = 8;  // a broken state can queue errors without end
}

int loadGlFunctions(GlGetProc getProc) {
    std::vector<const char*> missing;
    // GL names are fetched only under their core names; an extension alias could differ in meaning.
#define KD_GL_LOAD(type, name)                                         \
    name = reinterpret_cast<type>(getProc ? getProc(#name) : nullptr); \
    if (!name) missing.push_back(#name);
    KD_GL_FUNCTIONS(KD_GL_LOAD)
#undef KD_GL_LOAD
    for (const char* name : missing) logWarn("GL function not available: %s", name);
    return int(missing.size());
}

const char* glErrorName(GLenum code) {
    switch (code) {
        case GL_INVALID_ENUM:
            return "GL_INVALID_ENUM";
        case GL_INVALID_VALUE:
            return "GL_INVALID_VALUE";
        case GL_INVALID_OPERATION:
            return "GL_INVALID_OPERATION";
        case GL_OUT_OF_MEMORY:
            return "GL_OUT_OF_MEMORY";
        case GL_INVALID_FRAMEBUFFER_OPERATION:
            return "GL_INVALID_FRAMEBUFFER_OPERATION";
        default:
            return "GL_UNKNOWN_ERROR";
    }
}

void glCheckError(const char* where) {
    if (!glGetError) return;
    for (int i = 0; i < kMaxErrorsPerCheck; ++i) {
        GLenum code = glGetError();
        if (code == GL_NO_ERROR) return;
        logError("GL error at %s: %s (0x%x)", where, glErrorName(code), unsigned(code));
    }
}

void APIENTRY glDebugCallback(GLenum /*source*/, GLenum type, GLuint /*id*/, GLenum severity,
                              GLsizei /*length*/, const GLchar* message,
                              const void* /*userParam*/) {
    if (severity == GL_DEBUG_SEVERITY_NOTIFICATION) return;
    if (type == GL_DEBUG_TYPE_ERROR || severity == GL_DEBUG_SEVERITY_HIGH) {
        logError("[GL] %s", message ? message : "");
    } else {
        logWarn("[GL] %s", message ? message : "");
    }
}

void enableGlDebugOutput() {
    if (!glDebugMessageCallback || !glEnable) return;
    glEnable(GL_DEBUG_OUTPUT);
    // Synchronous, so that the message arrives inside the call that caused it.
    glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS);
    glDebugMessageCallback(glDebugCallback, nullptr);
    if (glDebugMessageControl) {
        glDebugMessageControl(GL_DONT_CARE, GL_DONT_CARE, GL_DEBUG_SEVERITY_NOTIFICATION, 0,
                              nullptr, GL_FALSE);
    }
}

}  // namespace kd
