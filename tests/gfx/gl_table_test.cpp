// The renderer's refusal to run on an incomplete GL entry-point table and the error check, without
// a GL context: getProc and single entries are faked.
#include <gtest/gtest.h>

#include <deque>
#include <sstream>

#include "gfx/gl.h"
#include "gfx/renderer.h"
#include "tests/gfx/log_capture.h"

namespace kd {
namespace {

using Strings = std::vector<std::string>;
using test::LogCapture;

std::string absentName;  // the one name the fake getProc does not find
std::deque<GLenum> queuedErrors;

void neverCalled() { ADD_FAILURE() << "a faked GL entry point was called"; }
GlProc allButAbsent(const char* name) { return absentName == name ? nullptr : neverCalled; }
GLenum APIENTRY fakeGetError() {
    GLenum code = queuedErrors.empty() ? GL_NO_ERROR : queuedErrors.front();
    if (!queuedErrors.empty()) queuedErrors.pop_front();
    return code;
}

class GlTable : public ::testing::Test {
protected:
    void TearDown() override {
#define KD_GL_RESET(type, name) name = nullptr;
        KD_GL_FUNCTIONS(KD_GL_RESET)
#undef KD_GL_RESET
    }
};

// A context that keeps reporting errors must not keep a check looping: eight at most, by name.
TEST_F(GlTable, ErrorsAreNamedAtMostEightPerCheck) {
    LogCapture log;
    glCheckError("unloaded");  // glGetError missing: nothing happens
    glGetError = fakeGetError;
    queuedErrors = {0x0500, 0x0501, 0x0502, 0x0503, 0x0504, 0x0505, 0x0506, 0x9999, 0x0500, 0x0500};
    glCheckError("frame");
    Strings expected;
    for (const char* entry :
         {"GL_INVALID_ENUM (0x500)", "GL_INVALID_VALUE (0x501)", "GL_INVALID_OPERATION (0x502)",
          "GL_UNKNOWN_ERROR (0x503)", "GL_UNKNOWN_ERROR (0x504)", "GL_OUT_OF_MEMORY (0x505)",
          "GL_INVALID_FRAMEBUFFER_OPERATION (0x506)", "GL_UNKNOWN_ERROR (0x9999)"})
        expected.push_back(std::string("GL error at frame: ") + entry);
    EXPECT_EQ(log.messages(), expected);
    EXPECT_EQ(queuedErrors.size(), 2u);
}

// Every entry point the drawing and the screenshot call without checking them: without any
// one, init refuses (a call would land in neverCalled) and names it.
TEST_F(GlTable, RendererRefusesToStartWithoutAnEntryItCalls) {
    std::istringstream names(
        "glEnable glDisable glClear glClearColor glViewport glScissor glBlendFunc glPixelStorei "
        "glReadPixels glCreateShader glShaderSource glCompileShader glGetShaderiv "
        "glGetShaderInfoLog glDeleteShader glCreateProgram glAttachShader glLinkProgram "
        "glGetProgramiv glUseProgram glDeleteProgram glGetUniformLocation glUniform2f "
        "glCreateBuffers glDeleteBuffers glNamedBufferData glCreateVertexArrays "
        "glDeleteVertexArrays glBindVertexArray glEnableVertexArrayAttrib "
        "glVertexArrayAttribFormat glVertexArrayAttribBinding glVertexArrayVertexBuffer "
        "glDrawArrays glCreateTextures glDeleteTextures glBindTextureUnit glTextureStorage2D "
        "glTextureSubImage2D glTextureParameteri");
    for (std::string name; names >> name;) {
        absentName = name;
        {
            LogCapture quiet;
            loadGlFunctions(allButAbsent);
        }
        LogCapture log;
        Renderer renderer;
        EXPECT_FALSE(renderer.init()) << name;
        renderer.shutdown();  // nothing was made, so nothing is deleted
        Strings errors = log.messages("error");
        ASSERT_EQ(errors.size(), 1u) << name;
        EXPECT_NE(errors[0].find(name), std::string::npos) << errors[0];
    }
}

}  // namespace
}  // namespace kd
