// The renderer's refusal to run on an incomplete GL entry-point table, as a driver without one of
// them would give it, without a GL context: getProc and the entry points are faked.
#include <gtest/gtest.h>

#include <sstream>

#include "gfx/gl.h"
#include "gfx/renderer.h"
#include "tests/gfx/log_capture.h"

namespace kd {
namespace {

std::string absentName;  // the one name the fake getProc does not find

void neverCalled() { ADD_FAILURE() << "a faked GL entry point was called"; }
GlProc allButAbsent(const char* name) { return absentName == name ? nullptr : neverCalled; }

// Every entry point the drawing and the screenshot call without checking them: without any
// one, init refuses (a call would land in neverCalled) and names it.
TEST(GlTable, RendererRefusesToStartWithoutAnEntryItCalls) {
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
        test::LogCapture log;
        loadGlFunctions(allButAbsent);
        Renderer renderer;
        EXPECT_FALSE(renderer.init()) << name;
        renderer.shutdown();  // nothing was made, so nothing is deleted
        std::vector<std::string> errors = log.messages("error");
        ASSERT_EQ(errors.size(), 1u) << name;
        EXPECT_NE(errors[0].find(name), std::string::npos) << errors[0];
    }
#define KD_GL_RESET(type, name) name = nullptr;
    KD_GL_FUNCTIONS(KD_GL_RESET)
#undef KD_GL_RESET
}

}  // namespace
}  // namespace kd
