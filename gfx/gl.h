// The OpenGL entry points, resolved by hand at run time: one process-wide pointer per GL 4.5 core
// function, named as the GL function, so that `glDrawArrays(...)` inside namespace kd goes through
// its pointer. No loader library and no link against libGL. Also two developer diagnostics: an
// error-queue check and the debug-output hook.
#pragma once

#include <GL/glcorearb.h>

// Every entry point in fetch order (which is also the order of the "not available" warnings).
// X(prototype type from glcorearb.h, GL name).
#define KD_GL_FUNCTIONS(X)                                                                 \
    X(PFNGLENABLEPROC, glEnable)                                                           \
    X(PFNGLDISABLEPROC, glDisable)                                                         \
    X(PFNGLCLEARPROC, glClear)                                                             \
    X(PFNGLCLEARCOLORPROC, glClearColor)                                                   \
    X(PFNGLCLEARDEPTHPROC, glClearDepth)                                                   \
    X(PFNGLCLEARDEPTHFPROC, glClearDepthf)                                                 \
    X(PFNGLCLEARSTENCILPROC, glClearStencil)                                               \
    X(PFNGLVIEWPORTPROC, glViewport)                                                       \
    X(PFNGLSCISSORPROC, glScissor)                                                         \
    X(PFNGLDEPTHFUNCPROC, glDepthFunc)                                                     \
    X(PFNGLDEPTHMASKPROC, glDepthMask)                                                     \
    X(PFNGLDEPTHRANGEPROC, glDepthRange)                                                   \
    X(PFNGLCULLFACEPROC, glCullFace)                                                       \
    X(PFNGLFRONTFACEPROC, glFrontFace)                                                     \
    X(PFNGLBLENDFUNCPROC, glBlendFunc)                                                     \
    X(PFNGLBLENDFUNCSEPARATEPROC, glBlendFuncSeparate)                                     \
    X(PFNGLBLENDEQUATIONPROC, glBlendEquation)                                             \
    X(PFNGLBLENDEQUATIONSEPARATEPROC, glBlendEquationSeparate)                             \
    X(PFNGLCOLORMASKPROC, glColorMask)                                                     \
    X(PFNGLPOLYGONOFFSETPROC, glPolygonOffset)                                             \
    X(PFNGLPOLYGONMODEPROC, glPolygonMode)                                                 \
    X(PFNGLLINEWIDTHPROC, glLineWidth)                                                     \
    X(PFNGLGETERRORPROC, glGetError)                                                       \
    X(PFNGLGETSTRINGPROC, glGetString)                                                     \
    X(PFNGLGETSTRINGIPROC, glGetStringi)                                                   \
    X(PFNGLGETINTEGERVPROC, glGetIntegerv)                                                 \
    X(PFNGLGETFLOATVPROC, glGetFloatv)                                                     \
    X(PFNGLFINISHPROC, glFinish)                                                           \
    X(PFNGLFLUSHPROC, glFlush)                                                             \
    X(PFNGLPIXELSTOREIPROC, glPixelStorei)                                                 \
    X(PFNGLREADPIXELSPROC, glReadPixels)                                                   \
    X(PFNGLREADBUFFERPROC, glReadBuffer)                                                   \
    X(PFNGLCREATESHADERPROC, glCreateShader)                                               \
    X(PFNGLSHADERSOURCEPROC, glShaderSource)                                               \
    X(PFNGLCOMPILESHADERPROC, glCompileShader)                                             \
    X(PFNGLGETSHADERIVPROC, glGetShaderiv)                                                 \
    X(PFNGLGETSHADERINFOLOGPROC, glGetShaderInfoLog)                                       \
    X(PFNGLDELETESHADERPROC, glDeleteShader)                                               \
    X(PFNGLCREATEPROGRAMPROC, glCreateProgram)                                             \
    X(PFNGLATTACHSHADERPROC, glAttachShader)                                               \
    X(PFNGLDETACHSHADERPROC, glDetachShader)                                               \
    X(PFNGLLINKPROGRAMPROC, glLinkProgram)                                                 \
    X(PFNGLGETPROGRAMIVPROC, glGetProgramiv)                                               \
    X(PFNGLGETPROGRAMINFOLOGPROC, glGetProgramInfoLog)                                     \
    X(PFNGLUSEPROGRAMPROC, glUseProgram)                                                   \
    X(PFNGLDELETEPROGRAMPROC, glDeleteProgram)                                             \
    X(PFNGLGETUNIFORMLOCATIONPROC, glGetUniformLocation)                                   \
    X(PFNGLGETACTIVEUNIFORMPROC, glGetActiveUniform)                                       \
    X(PFNGLUNIFORM1IPROC, glUniform1i)                                                     \
    X(PFNGLUNIFORM2IPROC, glUniform2i)                                                     \
    X(PFNGLUNIFORM3IPROC, glUniform3i)                                                     \
    X(PFNGLUNIFORM4IPROC, glUniform4i)                                                     \
    X(PFNGLUNIFORM1UIPROC, glUniform1ui)                                                   \
    X(PFNGLUNIFORM1FPROC, glUniform1f)                                                     \
    X(PFNGLUNIFORM2FPROC, glUniform2f)                                                     \
    X(PFNGLUNIFORM3FPROC, glUniform3f)                                                     \
    X(PFNGLUNIFORM4FPROC, glUniform4f)                                                     \
    X(PFNGLUNIFORM1FVPROC, glUniform1fv)                                                   \
    X(PFNGLUNIFORM2FVPROC, glUniform2fv)                                                   \
    X(PFNGLUNIFORM3FVPROC, glUniform3fv)                                                   \
    X(PFNGLUNIFORM4FVPROC, glUniform4fv)                                                   \
    X(PFNGLUNIFORM1IVPROC, glUniform1iv)                                                   \
    X(PFNGLUNIFORMMATRIX3FVPROC, glUniformMatrix3fv)                                       \
    X(PFNGLUNIFORMMATRIX4FVPROC, glUniformMatrix4fv)                                       \
    X(PFNGLGETUNIFORMBLOCKINDEXPROC, glGetUniformBlockIndex)                               \
    X(PFNGLUNIFORMBLOCKBINDINGPROC, glUniformBlockBinding)                                 \
    X(PFNGLDISPATCHCOMPUTEPROC, glDispatchCompute)                                         \
    X(PFNGLMEMORYBARRIERPROC, glMemoryBarrier)                                             \
    X(PFNGLCREATEBUFFERSPROC, glCreateBuffers)                                             \
    X(PFNGLDELETEBUFFERSPROC, glDeleteBuffers)                                             \
    X(PFNGLBINDBUFFERPROC, glBindBuffer)                                                   \
    X(PFNGLBINDBUFFERBASEPROC, glBindBufferBase)                                           \
    X(PFNGLBINDBUFFERRANGEPROC, glBindBufferRange)                                         \
    X(PFNGLNAMEDBUFFERDATAPROC, glNamedBufferData)                                         \
    X(PFNGLNAMEDBUFFERSTORAGEPROC, glNamedBufferStorage)                                   \
    X(PFNGLNAMEDBUFFERSUBDATAPROC, glNamedBufferSubData)                                   \
    X(PFNGLMAPNAMEDBUFFERRANGEPROC, glMapNamedBufferRange)                                 \
    X(PFNGLUNMAPNAMEDBUFFERPROC, glUnmapNamedBuffer)                                       \
    X(PFNGLFLUSHMAPPEDNAMEDBUFFERRANGEPROC, glFlushMappedNamedBufferRange)                 \
    X(PFNGLCOPYNAMEDBUFFERSUBDATAPROC, glCopyNamedBufferSubData)                           \
    X(PFNGLCREATEVERTEXARRAYSPROC, glCreateVertexArrays)                                   \
    X(PFNGLDELETEVERTEXARRAYSPROC, glDeleteVertexArrays)                                   \
    X(PFNGLBINDVERTEXARRAYPROC, glBindVertexArray)                                         \
    X(PFNGLENABLEVERTEXARRAYATTRIBPROC, glEnableVertexArrayAttrib)                         \
    X(PFNGLDISABLEVERTEXARRAYATTRIBPROC, glDisableVertexArrayAttrib)                       \
    X(PFNGLVERTEXARRAYATTRIBFORMATPROC, glVertexArrayAttribFormat)                         \
    X(PFNGLVERTEXARRAYATTRIBIFORMATPROC, glVertexArrayAttribIFormat)                       \
    X(PFNGLVERTEXARRAYATTRIBBINDINGPROC, glVertexArrayAttribBinding)                       \
    X(PFNGLVERTEXARRAYVERTEXBUFFERPROC, glVertexArrayVertexBuffer)                         \
    X(PFNGLVERTEXARRAYELEMENTBUFFERPROC, glVertexArrayElementBuffer)                       \
    X(PFNGLVERTEXARRAYBINDINGDIVISORPROC, glVertexArrayBindingDivisor)                     \
    X(PFNGLDRAWARRAYSPROC, glDrawArrays)                                                   \
    X(PFNGLDRAWELEMENTSPROC, glDrawElements)                                               \
    X(PFNGLDRAWELEMENTSBASEVERTEXPROC, glDrawElementsBaseVertex)                           \
    X(PFNGLDRAWARRAYSINSTANCEDPROC, glDrawArraysInstanced)                                 \
    X(PFNGLDRAWELEMENTSINSTANCEDPROC, glDrawElementsInstanced)                             \
    X(PFNGLDRAWARRAYSINSTANCEDBASEINSTANCEPROC, glDrawArraysInstancedBaseInstance)         \
    X(PFNGLMULTIDRAWELEMENTSINDIRECTPROC, glMultiDrawElementsIndirect)                     \
    X(PFNGLMULTIDRAWARRAYSINDIRECTPROC, glMultiDrawArraysIndirect)                         \
    X(PFNGLCREATETEXTURESPROC, glCreateTextures)                                           \
    X(PFNGLDELETETEXTURESPROC, glDeleteTextures)                                           \
    X(PFNGLBINDTEXTUREPROC, glBindTexture)                                                 \
    X(PFNGLACTIVETEXTUREPROC, glActiveTexture)                                             \
    X(PFNGLBINDTEXTUREUNITPROC, glBindTextureUnit)                                         \
    X(PFNGLTEXTURESTORAGE2DPROC, glTextureStorage2D)                                       \
    X(PFNGLTEXTURESTORAGE3DPROC, glTextureStorage3D)                                       \
    X(PFNGLTEXTURESUBIMAGE2DPROC, glTextureSubImage2D)                                     \
    X(PFNGLTEXTURESUBIMAGE3DPROC, glTextureSubImage3D)                                     \
    X(PFNGLTEXTUREPARAMETERIPROC, glTextureParameteri)                                     \
    X(PFNGLTEXTUREPARAMETERFPROC, glTextureParameterf)                                     \
    X(PFNGLTEXTUREPARAMETERFVPROC, glTextureParameterfv)                                   \
    X(PFNGLTEXTUREPARAMETERIVPROC, glTextureParameteriv)                                   \
    X(PFNGLGETTEXTUREPARAMETERIVPROC, glGetTextureParameteriv)                             \
    X(PFNGLGENERATETEXTUREMIPMAPPROC, glGenerateTextureMipmap)                             \
    X(PFNGLGETTEXTUREIMAGEPROC, glGetTextureImage)                                         \
    X(PFNGLCREATESAMPLERSPROC, glCreateSamplers)                                           \
    X(PFNGLDELETESAMPLERSPROC, glDeleteSamplers)                                           \
    X(PFNGLBINDSAMPLERPROC, glBindSampler)                                                 \
    X(PFNGLSAMPLERPARAMETERIPROC, glSamplerParameteri)                                     \
    X(PFNGLSAMPLERPARAMETERFPROC, glSamplerParameterf)                                     \
    X(PFNGLSAMPLERPARAMETERFVPROC, glSamplerParameterfv)                                   \
    X(PFNGLCREATEFRAMEBUFFERSPROC, glCreateFramebuffers)                                   \
    X(PFNGLDELETEFRAMEBUFFERSPROC, glDeleteFramebuffers)                                   \
    X(PFNGLBINDFRAMEBUFFERPROC, glBindFramebuffer)                                         \
    X(PFNGLNAMEDFRAMEBUFFERTEXTUREPROC, glNamedFramebufferTexture)                         \
    X(PFNGLNAMEDFRAMEBUFFERTEXTURELAYERPROC, glNamedFramebufferTextureLayer)               \
    X(PFNGLNAMEDFRAMEBUFFERDRAWBUFFERPROC, glNamedFramebufferDrawBuffer)                   \
    X(PFNGLNAMEDFRAMEBUFFERDRAWBUFFERSPROC, glNamedFramebufferDrawBuffers)                 \
    X(PFNGLNAMEDFRAMEBUFFERREADBUFFERPROC, glNamedFramebufferReadBuffer)                   \
    X(PFNGLCHECKNAMEDFRAMEBUFFERSTATUSPROC, glCheckNamedFramebufferStatus)                 \
    X(PFNGLBLITNAMEDFRAMEBUFFERPROC, glBlitNamedFramebuffer)                               \
    X(PFNGLCLEARNAMEDFRAMEBUFFERFVPROC, glClearNamedFramebufferfv)                         \
    X(PFNGLCLEARNAMEDFRAMEBUFFERFIPROC, glClearNamedFramebufferfi)                         \
    X(PFNGLCREATERENDERBUFFERSPROC, glCreateRenderbuffers)                                 \
    X(PFNGLDELETERENDERBUFFERSPROC, glDeleteRenderbuffers)                                 \
    X(PFNGLNAMEDRENDERBUFFERSTORAGEPROC, glNamedRenderbufferStorage)                       \
    X(PFNGLNAMEDRENDERBUFFERSTORAGEMULTISAMPLEPROC, glNamedRenderbufferStorageMultisample) \
    X(PFNGLNAMEDFRAMEBUFFERRENDERBUFFERPROC, glNamedFramebufferRenderbuffer)               \
    X(PFNGLDEBUGMESSAGECALLBACKPROC, glDebugMessageCallback)                               \
    X(PFNGLDEBUGMESSAGECONTROLPROC, glDebugMessageControl)                                 \
    X(PFNGLOBJECTLABELPROC, glObjectLabel)                                                 \
    X(PFNGLPUSHDEBUGGROUPPROC, glPushDebugGroup)                                           \
    X(PFNGLPOPDEBUGGROUPPROC, glPopDebugGroup)                                             \
    X(PFNGLCREATEQUERIESPROC, glCreateQueries)                                             \
    X(PFNGLDELETEQUERIESPROC, glDeleteQueries)                                             \
    X(PFNGLBEGINQUERYPROC, glBeginQuery)                                                   \
    X(PFNGLENDQUERYPROC, glEndQuery)                                                       \
    X(PFNGLQUERYCOUNTERPROC, glQueryCounter)                                               \
    X(PFNGLGETQUERYOBJECTIVPROC, glGetQueryObjectiv)                                       \
    X(PFNGLGETQUERYOBJECTUI64VPROC, glGetQueryObjectui64v)                                 \
    X(PFNGLFENCESYNCPROC, glFenceSync)                                                     \
    X(PFNGLCLIENTWAITSYNCPROC, glClientWaitSync)                                           \
    X(PFNGLDELETESYNCPROC, glDeleteSync)                                                   \
    X(PFNGLCLIPCONTROLPROC, glClipControl)                                                 \
    X(PFNGLBLENDCOLORPROC, glBlendColor)                                                   \
    X(PFNGLTEXTUREBARRIERPROC, glTextureBarrier)                                           \
    X(PFNGLINVALIDATETEXIMAGEPROC, glInvalidateTexImage)                                   \
    X(PFNGLINVALIDATENAMEDFRAMEBUFFERDATAPROC, glInvalidateNamedFramebufferData)           \
    X(PFNGLBINDIMAGETEXTUREPROC, glBindImageTexture)                                       \
    X(PFNGLCLEARTEXIMAGEPROC, glClearTexImage)                                             \
    X(PFNGLGENERATEMIPMAPPROC, glGenerateMipmap)                                           \
    X(PFNGLDRAWBUFFERSPROC, glDrawBuffers)                                                 \
    X(PFNGLGETTEXTURESUBIMAGEPROC, glGetTextureSubImage)

namespace kd {

#define KD_GL_DECLARE(type, name) extern type name;
KD_GL_FUNCTIONS(KD_GL_DECLARE)
#undef KD_GL_DECLARE

constexpr int kGlFunctionCount = 163;

// The shape of glfwGetProcAddress: a NUL-terminated name in, an address or null out.
using GlProc = void (*)();
using GlGetProc = GlProc (*)(const char* name);

// Fetches every entry (null included) with the context current on this thread, then warns once per
// missing name in table order. Returns how many are missing. A second call refetches everything.
int loadGlFunctions(GlGetProc getProc);

// "GL_INVALID_ENUM" and friends; "GL_UNKNOWN_ERROR" for anything else.
const char* glErrorName(GLenum code);

// Logs up to eight queued GL errors, naming the call site. Does nothing before loading.
void glCheckError(const char* where);

void APIENTRY glDebugCallback(GLenum source, GLenum type, GLuint id, GLenum severity,
                              GLsizei length, const GLchar* message, const void* userParam);

// Synchronous debug output through glDebugCallback, notifications muted. Does nothing when the
// driver lacks the entry points.
void enableGlDebugOutput();

}  // namespace kd
