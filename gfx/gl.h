// The OpenGL entry points the drawing backend and its screenshot read-back call, resolved by hand
// at run time: one process-wide pointer per GL 4.5 core function, named as the GL function, so that
// `glDrawArrays(...)` inside namespace kd goes through its pointer. No loader library and no link
// against libGL. Only gfx/gl_backend.cpp includes this header.
#pragma once

#include <GL/glcorearb.h>

// The one list: every entry is loaded, and a driver without one of them stops the launcher at
// start instead of crashing it at the first call (GlBackend::init loads them). X(prototype type
// from glcorearb.h, GL name).
#define KD_GL_FUNCTIONS(X)                                           \
    X(PFNGLENABLEPROC, glEnable)                                     \
    X(PFNGLDISABLEPROC, glDisable)                                   \
    X(PFNGLCLEARPROC, glClear)                                       \
    X(PFNGLCLEARCOLORPROC, glClearColor)                             \
    X(PFNGLVIEWPORTPROC, glViewport)                                 \
    X(PFNGLSCISSORPROC, glScissor)                                   \
    X(PFNGLBLENDFUNCPROC, glBlendFunc)                               \
    X(PFNGLGETSTRINGPROC, glGetString)                               \
    X(PFNGLPIXELSTOREIPROC, glPixelStorei)                           \
    X(PFNGLREADPIXELSPROC, glReadPixels)                             \
    X(PFNGLCREATESHADERPROC, glCreateShader)                         \
    X(PFNGLSHADERSOURCEPROC, glShaderSource)                         \
    X(PFNGLCOMPILESHADERPROC, glCompileShader)                       \
    X(PFNGLGETSHADERIVPROC, glGetShaderiv)                           \
    X(PFNGLGETSHADERINFOLOGPROC, glGetShaderInfoLog)                 \
    X(PFNGLDELETESHADERPROC, glDeleteShader)                         \
    X(PFNGLCREATEPROGRAMPROC, glCreateProgram)                       \
    X(PFNGLATTACHSHADERPROC, glAttachShader)                         \
    X(PFNGLLINKPROGRAMPROC, glLinkProgram)                           \
    X(PFNGLGETPROGRAMIVPROC, glGetProgramiv)                         \
    X(PFNGLUSEPROGRAMPROC, glUseProgram)                             \
    X(PFNGLDELETEPROGRAMPROC, glDeleteProgram)                       \
    X(PFNGLGETUNIFORMLOCATIONPROC, glGetUniformLocation)             \
    X(PFNGLUNIFORM2FPROC, glUniform2f)                               \
    X(PFNGLCREATEBUFFERSPROC, glCreateBuffers)                       \
    X(PFNGLDELETEBUFFERSPROC, glDeleteBuffers)                       \
    X(PFNGLNAMEDBUFFERDATAPROC, glNamedBufferData)                   \
    X(PFNGLCREATEVERTEXARRAYSPROC, glCreateVertexArrays)             \
    X(PFNGLDELETEVERTEXARRAYSPROC, glDeleteVertexArrays)             \
    X(PFNGLBINDVERTEXARRAYPROC, glBindVertexArray)                   \
    X(PFNGLENABLEVERTEXARRAYATTRIBPROC, glEnableVertexArrayAttrib)   \
    X(PFNGLVERTEXARRAYATTRIBFORMATPROC, glVertexArrayAttribFormat)   \
    X(PFNGLVERTEXARRAYATTRIBBINDINGPROC, glVertexArrayAttribBinding) \
    X(PFNGLVERTEXARRAYVERTEXBUFFERPROC, glVertexArrayVertexBuffer)   \
    X(PFNGLDRAWARRAYSPROC, glDrawArrays)                             \
    X(PFNGLCREATETEXTURESPROC, glCreateTextures)                     \
    X(PFNGLDELETETEXTURESPROC, glDeleteTextures)                     \
    X(PFNGLBINDTEXTUREUNITPROC, glBindTextureUnit)                   \
    X(PFNGLTEXTURESTORAGE2DPROC, glTextureStorage2D)                 \
    X(PFNGLTEXTURESUBIMAGE2DPROC, glTextureSubImage2D)               \
    X(PFNGLTEXTUREPARAMETERIPROC, glTextureParameteri)

namespace kd {

#define KD_GL_DECLARE(type, name) extern type name;
KD_GL_FUNCTIONS(KD_GL_DECLARE)
#undef KD_GL_DECLARE

}  // namespace kd
