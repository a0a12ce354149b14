#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "apps/capture/gpu/shaders.h"
#include "tests/gpu/gl_test_context.h"

namespace {

struct Rgb {
    int r, g, b;
};

std::vector<uint8_t> fill(int w, int h, Rgb (*at)(int x, int y))
{
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            Rgb c = at(x, y);
            uint8_t *p = &px[(static_cast<size_t>(y) * w + x) * 4];
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
            p[3] = 255;
        }
    return px;
}

double apply(const float k[4], Rgb c)
{
    return 255.0 * (k[3] + (k[0] * c.r + k[1] * c.g + k[2] * c.b) / 255.0);
}

struct Planes {
    int w = 0, h = 0;
    std::vector<uint8_t> y, u, v;
    int ys = 0, us = 0, vs = 0;
};

// Renders src twice and copies out the planes of the first call.
Planes convert(GlTestContext &gl, int w, int h, GLuint src, WatermarkValue wm, GLuint second = 0)
{
    Planes p;
    GlCpuRenderer r;
    EXPECT_EQ(gl_cpu_init(&r, gl.display(), w, h), 0);
    const uint8_t *y = reinterpret_cast<const uint8_t *>(1), *u = y, *v = y;
    EXPECT_EQ(gl_cpu_render_and_map(&r, src, wm, &y, &p.ys, &u, &p.us, &v, &p.vs), -1);
    EXPECT_EQ(y, nullptr);
    EXPECT_EQ(u, nullptr);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(gl_cpu_render_and_map(&r, second ? second : src, wm, &y, &p.ys, &u, &p.us, &v, &p.vs), 0);
    if (y && u && v) {
        p.w = w;
        p.h = h;
        p.y.assign(y, y + static_cast<size_t>(p.ys) * h);
        p.u.assign(u, u + static_cast<size_t>(p.us) * (h / 2));
        p.v.assign(v, v + static_cast<size_t>(p.vs) * (h / 2));
    }
    gl_cpu_unmap(&r);
    gl_cpu_cleanup(&r);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    return p;
}

class GlCpu : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!gl.ok())
            GTEST_SKIP() << "no surfaceless EGL context";
    }
    GlTestContext gl;
};

TEST(Watermark, DigitsAreTheThirteenLowestDecimalDigits)
{
    auto d = watermark_digits(1733467200123ull);
    const GLint want[13] = {1, 7, 3, 3, 4, 6, 7, 2, 0, 0, 1, 2, 3};
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(d[i], want[i]) << i;
    d = watermark_digits(42);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(d[i], 0);
    EXPECT_EQ(d[11], 4);
    EXPECT_EQ(d[12], 2);
    d = watermark_digits(98765432101234ull);  // 14 digits: the leading 9 is dropped
    EXPECT_EQ(d[0], 8);
    EXPECT_EQ(d[12], 4);
}

TEST(Coefficients, SelectionBySize)
{
    EXPECT_STREQ(colour_coefficients_for_size(1280, 720).name, "BT.709 Limited");
    EXPECT_STREQ(colour_coefficients_for_size(1280, 600).name, "BT.709 Limited");
    EXPECT_STREQ(colour_coefficients_for_size(1000, 720).name, "BT.709 Limited");
    EXPECT_STREQ(colour_coefficients_for_size(1279, 719).name, "BT.601 Limited");
    EXPECT_STREQ(colour_coefficients_for_size(640, 480).name, "BT.601 Limited");
}

// Flat colours at both sets: the full planes (watermark box aside) match the
// limited-range formulas within one code value.
TEST_F(GlCpu, FlatColoursMatchTheFormulas)
{
    const Rgb colours[] = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {128, 128, 128}};
    const int sizes[][2] = {{640, 480}, {1280, 720}};
    for (auto &sz : sizes) {
        const int w = sz[0], h = sz[1];
        const ColourCoefficients &k = colour_coefficients_for_size(w, h);
        for (Rgb c : colours) {
            std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
            for (size_t i = 0; i < px.size(); i += 4) {
                px[i] = c.r;
                px[i + 1] = c.g;
                px[i + 2] = c.b;
                px[i + 3] = 255;
            }
            Planes p = convert(gl, w, h, gl.make_source(w, h, px), 0);
            ASSERT_EQ(p.ys, w);
            ASSERT_EQ(p.us, w / 2);
            ASSERT_EQ(p.vs, w / 2);
            const double ey = apply(k.y, c), eu = apply(k.u, c), ev = apply(k.v, c);
            // Below the watermark box (rows from 150 on).
            for (int y = 150; y < h; y += 7)
                for (int x = 0; x < w; x += 13)
                    ASSERT_NEAR(p.y[y * p.ys + x], ey, 1.0) << x << "," << y;
            for (int y = 0; y < h / 2; y += 5)
                for (int x = 0; x < w / 2; x += 11) {
                    ASSERT_NEAR(p.u[y * p.us + x], eu, 1.0);
                    ASSERT_NEAR(p.v[y * p.vs + x], ev, 1.0);
                }
        }
    }
}

Rgb gradient(int x, int y)
{
    return {(x * 255) / 639, (y * 255) / 479, 255 - (x * 255) / 639};
}

// A gradient pins the orientation: row 0 of the output is row 0 of the frame.
TEST_F(GlCpu, GradientKeepsOrientation)
{
    const int w = 640, h = 480;
    Planes p = convert(gl, w, h, gl.make_source(w, h, fill(w, h, gradient)), 0);
    ASSERT_FALSE(p.y.empty());
    const ColourCoefficients &k = kBt601Limited;
    for (int y = 150; y < h; y += 9)
        for (int x = 0; x < w; x += 17)
            ASSERT_NEAR(p.y[y * w + x], apply(k.y, gradient(x, y)), 1.0) << x << "," << y;
    for (int y = 0; y < h / 2; y += 9)
        for (int x = 0; x < w / 2; x += 17) {
            Rgb a = gradient(2 * x, 2 * y), b = gradient(2 * x + 1, 2 * y + 1);
            Rgb m = {(a.r + b.r) / 2, (a.g + b.g) / 2, (a.b + b.b) / 2};
            ASSERT_NEAR(p.u[y * (w / 2) + x], apply(k.u, m), 1.5) << x << "," << y;
        }
}

bool lit(int digit, double ux, double uy)
{
    static const char *segs[10] = {"012456", "25",     "02346", "02356",   "1235",
                                   "01356",  "013456", "025",   "0123456", "012356"};
    const double c[7][2] = {{.5, .15}, {.2, .35}, {.8, .35}, {.5, .5}, {.2, .65}, {.8, .65}, {.5, .85}};
    for (const char *s = segs[digit]; *s; ++s) {
        int i = *s - '0';
        double sx = (i == 0 || i == 3 || i == 6) ? 0.35 : 0.10, sy = (i == 0 || i == 3 || i == 6) ? 0.10 : 0.20;
        if (std::fabs(ux - c[i][0]) - sx / 2 <= 0 && std::fabs(uy - c[i][1]) - sy / 2 <= 0)
            return true;
    }
    return false;
}

// Distance from a segment edge in cell units, to skip pixels on the border.
bool near_edge(double ux, double uy)
{
    const double edges_x[] = {0.15, 0.25, 0.325, 0.675, 0.75, 0.85};
    const double edges_y[] = {0.10, 0.20, 0.25, 0.45, 0.55, 0.75, 0.80, 0.90};
    for (double e : edges_x)
        if (std::fabs(ux - e) < 0.03)
            return true;
    for (double e : edges_y)
        if (std::fabs(uy - e) < 0.02)
            return true;
    return false;
}

void check_watermark(const Planes &p, double base_y, double chroma_u)
{
    const GLint d[13] = {1, 7, 3, 3, 4, 6, 7, 2, 0, 0, 1, 2, 3};
    for (int y = 0; y < 160 && y < p.h; ++y)
        for (int x = 0; x < 720 && x < p.w; ++x) {
            const int v = p.y[y * p.ys + x];
            const bool in_box = x >= 40 && x <= 709 && y >= 40 && y <= 149;
            if (!in_box) {
                if (x == 710 || y == 150)
                    continue;  // boundary pixel centres
                ASSERT_NEAR(v, base_y, 1.0) << x << "," << y;
                continue;
            }
            int cell = (x - 50) / 50;
            bool in_cell = x >= 50 && cell < 13 && x <= 89 + 50 * cell && y >= 50 && y <= 129;
            if (in_cell) {
                double ux = (x + 0.5 - (50 + 50 * cell)) / 40.0, uy = (y + 0.5 - 50) / 80.0;
                if (near_edge(ux, uy))
                    continue;
                if (lit(d[cell], ux, uy)) {
                    ASSERT_EQ(v, 255) << "digit " << cell << " at " << x << "," << y;
                    continue;
                }
            }
            ASSERT_NEAR(v, 0.3 * base_y, 1.0) << x << "," << y;
        }
    for (int y = 0; y < p.h / 2 && y < 80; ++y)
        for (int x = 0; x < p.w / 2 && x < 360; ++x)
            ASSERT_NEAR(p.u[y * p.us + x], chroma_u, 1.0);
}

// The second call hands back the first frame with its watermark; the second
// frame (black) is not what comes out.
TEST_F(GlCpu, WatermarkAndOneFrameLag)
{
    const int w = 1280, h = 720;
    const Rgb grey{200, 100, 50};
    std::vector<uint8_t> first = fill(w, h, [](int, int) { return Rgb{200, 100, 50}; });
    std::vector<uint8_t> second = fill(w, h, [](int, int) { return Rgb{0, 0, 0}; });
    GLuint a = gl.make_source(w, h, first), b = gl.make_source(w, h, second);
    Planes p = convert(gl, w, h, a, 1733467200123ull, b);
    ASSERT_FALSE(p.y.empty());
    EXPECT_EQ(p.ys, 1280);
    EXPECT_EQ(p.us, 640);
    EXPECT_EQ(p.vs, 640);
    EXPECT_EQ(p.u.size(), 640u * 360u);
    check_watermark(p, apply(kBt709Limited.y, grey), apply(kBt709Limited.u, grey));
}

// With the same-frame read-back every call hands out the frame it has just
// drawn, from the first call on, and the set it maps is the one unmapped.
TEST_F(GlCpu, SameFrameReadBackHandsOutTheFrameJustDrawn)
{
    const int w = 1280, h = 720;
    const Rgb grey{200, 100, 50}, black{0, 0, 0};
    GLuint a = gl.make_source(w, h, fill(w, h, [](int, int) { return Rgb{200, 100, 50}; }));
    GLuint b = gl.make_source(w, h, fill(w, h, [](int, int) { return Rgb{0, 0, 0}; }));
    GlCpuRenderer r;
    ASSERT_EQ(gl_cpu_init(&r, gl.display(), w, h), 0);
    gl_cpu_set_same_frame(&r, true);
    const GLuint sources[] = {a, b, a};
    const Rgb colours[] = {grey, black, grey};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        Planes p;
        const uint8_t *y = nullptr, *u = nullptr, *v = nullptr;
        ASSERT_EQ(gl_cpu_render_and_map(&r, sources[i], 1733467200123ull, &y, &p.ys, &u, &p.us, &v, &p.vs), 0);
        ASSERT_TRUE(y && u && v);
        p.w = w;
        p.h = h;
        p.y.assign(y, y + static_cast<size_t>(p.ys) * h);
        p.u.assign(u, u + static_cast<size_t>(p.us) * (h / 2));
        p.v.assign(v, v + static_cast<size_t>(p.vs) * (h / 2));
        gl_cpu_unmap(&r);
        check_watermark(p, apply(kBt709Limited.y, colours[i]), apply(kBt709Limited.u, colours[i]));
    }
    gl_cpu_cleanup(&r);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// The probe measures a real round and leaves nothing bound or allocated.
TEST_F(GlCpu, ReadbackProbeMeasuresAndCleansUp)
{
    EXPECT_LT(gl_cpu_readback_probe_ms(0, 720, 3), 0.0);
    const double ms = gl_cpu_readback_probe_ms(640, 360, 3);
    EXPECT_GT(ms, 0.0);
    GLint bound = -1;
    glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &bound);
    EXPECT_EQ(bound, 0);
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(bound, 0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// Narrower than the box: the digits are clipped at the edge, not moved.
TEST_F(GlCpu, NarrowOutputClipsTheWatermark)
{
    const int w = 320, h = 240;
    const Rgb c{90, 160, 30};
    std::vector<uint8_t> px = fill(w, h, [](int, int) { return Rgb{90, 160, 30}; });
    Planes p = convert(gl, w, h, gl.make_source(w, h, px), 1733467200123ull);
    ASSERT_FALSE(p.y.empty());
    check_watermark(p, apply(kBt601Limited.y, c), apply(kBt601Limited.u, c));
}

Rgb bands(int x, int)
{
    return (x / 32) % 2 ? Rgb{255, 0, 0} : Rgb{0, 0, 255};
}

// Widths whose half is not a multiple of 4 read back unsheared.
TEST_F(GlCpu, OddWidthsReadBackTightlyPacked)
{
    for (int w : {1366, 1281}) {
        const int h = 64;
        Planes p = convert(gl, w, h, gl.make_source(w, h, fill(w, h, bands)), 0);
        ASSERT_FALSE(p.y.empty());
        ASSERT_EQ(p.us, w / 2);
        const ColourCoefficients &k = colour_coefficients_for_size(w, h);
        // Sheared rows would shift the bands a little more on every row.
        for (int y = 0; y < h / 2; ++y)
            for (int x = 0; x < w / 2; ++x) {
                const double sx = (x + 0.5) * w / (w / 2);
                const double edge = std::fmod(sx, 32.0);
                if (edge < 2.0 || edge > 30.0)
                    continue;
                Rgb c = bands(static_cast<int>(sx), 0);
                ASSERT_NEAR(p.v[y * p.vs + x], apply(k.v, c), 1.0) << "w " << w << " at " << x << "," << y;
            }
    }
}

TEST_F(GlCpu, CleanupOfNullDoesNothing)
{
    gl_cpu_cleanup(nullptr);
    GlCpuRenderer r;
    ASSERT_EQ(gl_cpu_init(&r, gl.display(), 64, 32), 0);
    EXPECT_STREQ(r.colour_space, "BT.601 Limited");
    gl_cpu_cleanup(&r);
    EXPECT_EQ(r.fbo, 0u);
    EXPECT_EQ(r.pbo_y[1], 0u);
}

TEST_F(GlCpu, ShaderFailureIsLoggedAndReturnsZero)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(compile_shader(GL_FRAGMENT_SHADER, "#version 300 es\nvoid main() { nope; }\n"), 0u);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.rfind("[GL CPU Shader] ", 0), 0u) << log;
}

}  // namespace
