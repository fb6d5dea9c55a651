// What each drawing operation appends to the vertex list, and which GL calls clips and flushes
// make. GL is faked by filling the entry-point table with recorders; no context is needed.
#include "gfx/renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "gfx/gl.h"

namespace kd {
namespace {

constexpr Color kRed{1.0f, 0.0f, 0.0f, 1.0f};
constexpr Color kBlue{0.0f, 0.0f, 1.0f, 0.5f};
constexpr Color kInvisible{1.0f, 1.0f, 1.0f, 0.0f};

// Position, texture coordinate and mode of one vertex; colours are checked separately.
struct Corner {
    float x, y, u = 0, v = 0, mode = kModeFlat;
};

void expectVertices(const std::vector<Vertex>& got, const std::vector<Corner>& want, Color color,
                    float tolerance = 0.0f) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE("vertex " + std::to_string(i));
        EXPECT_NEAR(got[i].x, want[i].x, tolerance);
        EXPECT_NEAR(got[i].y, want[i].y, tolerance);
        EXPECT_EQ(got[i].u, want[i].u);
        EXPECT_EQ(got[i].v, want[i].v);
        EXPECT_EQ(got[i].mode, want[i].mode);
        EXPECT_EQ((std::vector<float>{got[i].r, got[i].g, got[i].b, got[i].a}),
                  (std::vector<float>{color.r, color.g, color.b, color.a}));
    }
}

// Sum of the triangles' signed areas (positive clockwise on screen, y down).
float coveredArea(const std::vector<Vertex>& v, std::size_t count) {
    float area = 0.0f;
    for (std::size_t i = 0; i + 2 < count; i += 3) {
        area += ((v[i + 1].x - v[i].x) * (v[i + 2].y - v[i].y) -
                 (v[i + 2].x - v[i].x) * (v[i + 1].y - v[i].y)) /
                2.0f;
    }
    return area;
}

TEST(RendererPrimitives, QuadsAreTwoTrianglesFromTheTopLeftCorner) {
    // A top-left, B top-right, C bottom-right, D bottom-left: (A, B, C) and (A, C, D).
    Renderer quad;
    quad.quad(1, 2, 11, 22, 0.25f, 0.5f, 0.75f, 1.0f, kBlue, kModeFont);
    expectVertices(quad.vertices,
                   {{1, 2, 0.25f, 0.5f, 1},
                    {11, 2, 0.75f, 0.5f, 1},
                    {11, 22, 0.75f, 1, 1},
                    {1, 2, 0.25f, 0.5f, 1},
                    {11, 22, 0.75f, 1, 1},
                    {1, 22, 0.25f, 1, 1}},
                   kBlue);
    Renderer rect;
    rect.fillRect(10, 20, 30, 40, kRed);
    expectVertices(rect.vertices, {{10, 20}, {40, 20}, {40, 60}, {10, 20}, {40, 60}, {10, 60}},
                   kRed);
    Renderer dot;
    dot.dot(50, 60, 5, kBlue);
    expectVertices(dot.vertices,
                   {{45, 55, -1, -1, 2},
                    {55, 55, 1, -1, 2},
                    {55, 65, 1, 1, 2},
                    {45, 55, -1, -1, 2},
                    {55, 65, 1, 1, 2},
                    {45, 65, -1, 1, 2}},
                   kBlue);
}

TEST(RendererPrimitives, GradientRectGivesTopAndBottomTheirColours) {
    Renderer r;
    r.gradientRect(0, 0, 8, 4, kRed, kBlue);
    std::vector<Vertex> top = {r.vertices[0], r.vertices[1], r.vertices[3]};
    std::vector<Vertex> bottom = {r.vertices[2], r.vertices[4], r.vertices[5]};
    expectVertices(top, {{0, 0}, {8, 0}, {0, 0}}, kRed);
    expectVertices(bottom, {{8, 4}, {8, 4}, {0, 4}}, kBlue);
}

TEST(RendererPrimitives, LineIsARectangleAroundItsAxisWithSquareEnds) {
    const struct {
        const char* name;
        float x0, y0, x1, y1, thickness;
        std::vector<Corner> corners;  // P0+n, P1+n, P1-n, P0+n, P1-n, P0-n
    } cases[] = {
        {"horizontal", 0, 0, 10, 0, 2, {{0, 1}, {10, 1}, {10, -1}, {0, 1}, {10, -1}, {0, -1}}},
        {"vertical up", 5, 8, 5, 2, 4, {{7, 8}, {7, 2}, {3, 2}, {7, 8}, {3, 2}, {3, 8}}},
        // Length 5, normal (-4, 3) / 5 scaled to half of 10.
        {"diagonal", 0, 0, 3, 4, 10, {{-4, 3}, {-1, 7}, {7, 1}, {-4, 3}, {7, 1}, {4, -3}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Renderer r;
        r.line(c.x0, c.y0, c.x1, c.y1, c.thickness, kRed);
        expectVertices(r.vertices, c.corners, kRed, 1e-5f);
    }
    Renderer none;
    none.line(3, 4, 3, 4, 2, kRed);
    none.line(0, 0, NAN, 0, 2, kRed);
    EXPECT_TRUE(none.vertices.empty()) << "a line without length appends nothing";
}

TEST(RendererPrimitives, ChamferRectFansAroundTheCentreAndCutsItsCorners) {
    Renderer r;
    r.chamferRect(10, 20, 100, 50, 8, kRed, kInvisible);
    const Corner c{60, 45};
    const Corner p[8] = {{18, 20},  {102, 20}, {110, 28}, {110, 62},
                         {102, 70}, {18, 70},  {10, 62},  {10, 28}};
    std::vector<Corner> fan;
    for (int i = 0; i < 8; ++i) fan.insert(fan.end(), {c, p[i], p[(i + 1) % 8]});
    expectVertices(r.vertices, fan, kRed);
    // Four corner triangles of cut x cut / 2 are missing from the rectangle.
    EXPECT_FLOAT_EQ(coveredArea(r.vertices, 24), 100 * 50 - 2 * 8 * 8);

    Renderer uncut;
    uncut.chamferRect(10, 20, 100, 50, 0, kRed, kInvisible);
    EXPECT_FLOAT_EQ(coveredArea(uncut.vertices, 24), 100 * 50);
}

TEST(RendererPrimitives, ChamferRectOutlineIsEightOneUnitLinesOnTheEdges) {
    Renderer r;
    r.chamferRect(10.5f, 20.5f, 100, 50, 8, kRed, kBlue);
    ASSERT_EQ(r.vertices.size(), 72u);
    std::vector<Vertex> outline(r.vertices.begin() + 24, r.vertices.end());
    // The first is the top edge from P0 to P1: half a unit either side of it.
    std::vector<Corner> top = {{18.5f, 21}, {102.5f, 21}, {102.5f, 20},
                               {18.5f, 21}, {102.5f, 20}, {18.5f, 20}};
    expectVertices(std::vector<Vertex>(outline.begin(), outline.begin() + 6), top, kBlue);
    for (const Vertex& v : outline) EXPECT_EQ(v.b, kBlue.b);
}

TEST(RendererPrimitives, TriangleIsAppendedUnchanged) {
    Renderer r;
    Vertex a{1, 2, 3, 4, 0.1f, 0.2f, 0.3f, 0.4f, 2};
    Vertex b{5, 6, 7, 8, 0.5f, 0.6f, 0.7f, 0.8f, 1};
    Vertex c{9, 10, 11, 12, 0.9f, 1.0f, 0.0f, 0.5f, 0};
    r.triangle(a, b, c);
    ASSERT_EQ(r.vertices.size(), 3u);
    EXPECT_EQ(std::memcmp(r.vertices.data(), &a, sizeof a), 0);
    EXPECT_EQ(std::memcmp(r.vertices.data() + 2, &c, sizeof c), 0);
}

// --- GL calls of frames and clips, recorded by fakes (no context needed) ---------------------

std::vector<std::string> calls;

void APIENTRY fakeEnable(GLenum cap) { calls.push_back("enable " + std::to_string(cap)); }
void APIENTRY fakeDisable(GLenum cap) { calls.push_back("disable " + std::to_string(cap)); }
void APIENTRY fakeScissor(GLint x, GLint y, GLsizei w, GLsizei h) {
    calls.push_back("scissor " + std::to_string(x) + " " + std::to_string(y) + " " +
                    std::to_string(w) + " " + std::to_string(h));
}
void APIENTRY fakeDrawArrays(GLenum, GLint, GLsizei count) {
    calls.push_back("draw " + std::to_string(count));
}
void APIENTRY ignoreBufferData(GLuint, GLsizeiptr, const void*, GLenum) {}
void APIENTRY ignoreUint(GLuint) {}
void APIENTRY ignoreUniform2f(GLint, GLfloat, GLfloat) {}
void APIENTRY ignoreBindTextureUnit(GLuint, GLuint) {}

class RendererCallsTest : public ::testing::Test {
protected:
    void SetUp() override {
        calls.clear();
        glEnable = fakeEnable;
        glDisable = fakeDisable;
        glScissor = fakeScissor;
        glDrawArrays = fakeDrawArrays;
        glNamedBufferData = ignoreBufferData;
        glUseProgram = ignoreUint;
        glBindVertexArray = ignoreUint;
        glUniform2f = ignoreUniform2f;
        glBindTextureUnit = ignoreBindTextureUnit;
    }
    void TearDown() override {
#define KD_GL_RESET(type, name) name = nullptr;
        KD_GL_FUNCTIONS(KD_GL_RESET)
#undef KD_GL_RESET
    }
    // beginFrame's sizes without its GL calls.
    void sizes(int windowW, int windowH, int framebufferW, int framebufferH) {
        renderer.windowWidth = windowW;
        renderer.windowHeight = windowH;
        renderer.framebufferWidth = framebufferW;
        renderer.framebufferHeight = framebufferH;
    }

    Renderer renderer;
};

const std::string kScissorOn = "enable " + std::to_string(GL_SCISSOR_TEST);
const std::string kScissorOff = "disable " + std::to_string(GL_SCISSOR_TEST);

TEST_F(RendererCallsTest, ClipIsScaledToTheFramebufferFromTheBottomLeft) {
    const struct {
        int windowW, windowH, framebufferW, framebufferH;
        float x, y, w, h;
        const char* scissor;
    } cases[] = {
        {300, 400, 600, 800, 10.5f, 20, 100.2f, 50, "scissor 21 660 201 100"},
        {300, 400, 300, 400, 10.5f, 20, 100.2f, 50, "scissor 10 330 101 50"},
        {300, 400, 450, 600, 0, 0, 300, 400, "scissor 0 0 450 600"},
        // A negative size would be a GL error that keeps the old rectangle; it clips everything.
        {300, 400, 300, 400, 10, 10, -5, -5, "scissor 10 395 0 0"},
    };
    for (const auto& c : cases) {
        calls.clear();
        sizes(c.windowW, c.windowH, c.framebufferW, c.framebufferH);
        renderer.beginClip(c.x, c.y, c.w, c.h);
        EXPECT_EQ(calls, (std::vector<std::string>{kScissorOn, c.scissor}));
    }
}

TEST_F(RendererCallsTest, EachClipStretchIsOneDrawCall) {
    sizes(400, 300, 400, 300);
    renderer.fillRect(0, 0, 10, 10, kRed);
    renderer.beginClip(0, 0, 100, 100);
    renderer.fillRect(0, 0, 10, 10, kRed);
    renderer.fillRect(0, 0, 10, 10, kRed);
    renderer.endClip();
    renderer.endClip();  // nothing queued: no draw call
    renderer.fillRect(0, 0, 10, 10, kRed);
    renderer.endFrame();
    std::vector<std::string> expected = {"draw 6",  kScissorOn,  "scissor 0 200 100 100",
                                         "draw 12", kScissorOff, kScissorOff,
                                         "draw 6",  kScissorOff};
    EXPECT_EQ(calls, expected);
}

}  // namespace
}  // namespace kd
