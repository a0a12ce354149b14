// The conversion shaders composing planes: the I420 read-back of a picture
// of layers against a reference composed on the processor from the same
// plane records through plane_layer_mapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "apps/capture/core/plane_geometry.h"
#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "apps/capture/gpu/shaders.h"
#include "tests/gpu/gl_test_context.h"

namespace {

constexpr uint32_t kAR24 = 0x34325241;  // ARGB8888
constexpr uint32_t kXR24 = 0x34325258;  // XRGB8888

using Rgba = std::array<uint8_t, 4>;

// One plane's buffer (RGBA bytes, top row first) and its record.
struct TestPlane {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgba;
    PlaneRecord plane{};
    bool external = false;
};

TestPlane make_plane(uint32_t w, uint32_t h, const std::function<Rgba(int, int)> &at)
{
    TestPlane p;
    p.width = w;
    p.height = h;
    p.rgba.resize(size_t(w) * h * 4);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const Rgba c = at(int(x), int(y));
            std::copy(c.begin(), c.end(), &p.rgba[(size_t(y) * w + x) * 4]);
        }
    p.plane = test_plane_record(w, h, 0, 0, w, h, kAR24);
    return p;
}

void place(TestPlane *p, uint32_t sx, uint32_t sy, uint32_t sw, uint32_t sh, int32_t cx, int32_t cy, uint32_t cw,
           uint32_t ch)
{
    p->plane.src_x = sx << 16;
    p->plane.src_y = sy << 16;
    p->plane.src_w = sw << 16;
    p->plane.src_h = sh << 16;
    p->plane.crtc_x = cx;
    p->plane.crtc_y = cy;
    p->plane.crtc_w = cw;
    p->plane.crtc_h = ch;
}

// The buffer at a continuous point, bilinear between texel centres, edges
// repeated.
std::array<double, 4> bilinear(const TestPlane &p, double bx, double by)
{
    const double fx = bx - 0.5, fy = by - 0.5;
    const int x0 = int(std::floor(fx)), y0 = int(std::floor(fy));
    const double ax = fx - x0, ay = fy - y0;
    std::array<double, 4> out{};
    for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i) {
            const int x = std::clamp(x0 + i, 0, int(p.width) - 1), y = std::clamp(y0 + j, 0, int(p.height) - 1);
            const double w = (i ? ax : 1 - ax) * (j ? ay : 1 - ay);
            for (int c = 0; c < 4; ++c)
                out[c] += w * p.rgba[(size_t(y) * p.width + x) * 4 + c] / 255.0;
        }
    return out;
}

struct Reference {
    std::array<double, 3> rgb;  // 0..1
    bool near_edge;             // within a pixel of a layer's rectangle: not compared
};

// What the display shows at stream point (sx, sy): the planes bottom first
// over black, each through its mapping, clamped half a texel inside its
// source rectangle, blended by its mode and alpha.
Reference compose(const std::vector<const TestPlane *> &planes, uint32_t crtc_w, uint32_t crtc_h, uint32_t turns,
                  double sx, double sy)
{
    Reference r{{0, 0, 0}, false};
    for (const TestPlane *p : planes) {
        LayerMapping m;
        if (!plane_layer_mapping(p->plane, crtc_w, crtc_h, turns, &m))
            continue;
        const double d =
            std::min({std::fabs(sx - m.x0), std::fabs(sx - m.x1), std::fabs(sy - m.y0), std::fabs(sy - m.y1)});
        if (d < 1.0 && sx > m.x0 - 1 && sx < m.x1 + 1 && sy > m.y0 - 1 && sy < m.y1 + 1)
            r.near_edge = true;
        if (sx < m.x0 || sx >= m.x1 || sy < m.y0 || sy >= m.y1)
            continue;
        double bx = m.m[0] * sx + m.m[1] * sy + m.m[2], by = m.m[3] * sx + m.m[4] * sy + m.m[5];
        bx = std::clamp(bx, m.src_x0 + 0.5, m.src_x1 - 0.5);
        by = std::clamp(by, m.src_y0 + 0.5, m.src_y1 - 0.5);
        const std::array<double, 4> c = bilinear(*p, bx, by);
        const double alpha = p->plane.alpha / 65535.0;
        const double a = p->plane.format == kAR24 ? c[3] : 1.0;
        double k = alpha, w = alpha;  // None
        if (p->plane.blend == UDS_BLEND_PREMULTI && p->plane.format == kAR24)
            w = alpha * a;
        if (p->plane.blend == UDS_BLEND_COVERAGE && p->plane.format == kAR24)
            k = w = alpha * a;
        for (int i = 0; i < 3; ++i)
            r.rgb[i] = c[i] * k + (1 - w) * r.rgb[i];
    }
    return r;
}

double code(const float k[4], const std::array<double, 3> &rgb)
{
    return 255.0 * (k[3] + k[0] * rgb[0] + k[1] * rgb[1] + k[2] * rgb[2]);
}

class Layers : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!gl.ok())
            GTEST_SKIP() << "no surfaceless EGL context";
    }
    void TearDown() override
    {
        for (GLuint t : textures_)
            glDeleteTextures(1, &t);
    }

    GLuint texture_of(const TestPlane &p)
    {
        if (p.external)
            return gl.make_source(int(p.width), int(p.height), p.rgba);
        GLuint t = 0;
        glGenTextures(1, &t);
        glBindTexture(GL_TEXTURE_2D, t);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, GLsizei(p.width), GLsizei(p.height), 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     p.rgba.data());
        glBindTexture(GL_TEXTURE_2D, 0);
        textures_.push_back(t);
        return t;
    }

    // Converts the planes on a crtc_w x crtc_h CRTC turned by turns, with the
    // cursor given, and checks every luma (below the watermark) and chroma
    // sample against the reference within tolerance. Returns the luma plane.
    std::vector<uint8_t> check(const std::vector<const TestPlane *> &planes, uint32_t crtc_w, uint32_t crtc_h,
                               uint32_t turns, double tolerance, const CursorOverlayGl *cursor = nullptr,
                               const TestPlane *cursor_plane = nullptr)
    {
        ShaderPicture picture{};
        picture.crtc_width = crtc_w;
        picture.crtc_height = crtc_h;
        picture.turns = turns;
        picture.count = uint32_t(planes.size());
        for (size_t i = 0; i < planes.size(); ++i)
            picture.layers[i] = ShaderLayer{texture_of(*planes[i]), planes[i]->external, planes[i]->plane};
        uint32_t w = 0, h = 0;
        plane_stream_size(crtc_w, crtc_h, turns, &w, &h);
        GlCpuRenderer r;
        EXPECT_EQ(gl_cpu_init(&r, gl.display(), int32_t(w), int32_t(h)), 0);
        gl_cpu_set_same_frame(&r, true);
        const uint8_t *y = nullptr, *u = nullptr, *v = nullptr;
        int32_t ys = 0, us = 0, vs = 0;
        std::vector<uint8_t> luma;
        EXPECT_EQ(gl_cpu_render_and_map(&r, 0, 0, &y, &ys, &u, &us, &v, &vs, cursor, &picture), 0);
        EXPECT_TRUE(y && u && v);
        if (y && u && v) {
            luma.assign(y, y + size_t(ys) * h);
            std::vector<const TestPlane *> all = planes;
            if (cursor_plane)
                all.push_back(cursor_plane);
            const ColourCoefficients &k = colour_coefficients_for_size(int(w), int(h));
            int compared = 0, wrong = 0;
            std::string first;
            auto expect = [&](const char *plane, uint32_t px, uint32_t py, int got, double want) {
                ++compared;
                if (std::fabs(got - want) <= tolerance)
                    return;
                if (wrong++ == 0)
                    first = testing::PrintToString(plane) + " at " + std::to_string(px) + "," + std::to_string(py) +
                            ": " + std::to_string(got) + " for " + std::to_string(want);
            };
            for (uint32_t py = 152; py < h; ++py)  // below the watermark's box
                for (uint32_t px = 0; px < w; ++px) {
                    const Reference ref = compose(all, crtc_w, crtc_h, turns, px + 0.5, py + 0.5);
                    if (!ref.near_edge)
                        expect("Y", px, py, y[py * ys + px], code(k.y, ref.rgb));
                }
            for (uint32_t py = 0; py < h / 2; ++py)
                for (uint32_t px = 0; px < w / 2; ++px) {
                    const Reference ref = compose(all, crtc_w, crtc_h, turns, 2.0 * px + 1, 2.0 * py + 1);
                    if (ref.near_edge)
                        continue;
                    expect("U", px, py, u[py * us + px], code(k.u, ref.rgb));
                    expect("V", px, py, v[py * vs + px], code(k.v, ref.rgb));
                }
            EXPECT_EQ(wrong, 0) << "first: " << first;
            EXPECT_GT(compared, int(w * (h - 152)));
            gl_cpu_unmap(&r);
        }
        gl_cpu_cleanup(&r);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        return luma;
    }

    GlTestContext gl;

private:
    std::vector<GLuint> textures_;
};

Rgba gradient(int x, int y)
{
    return {uint8_t(x * 255 / 335), uint8_t(y * 255 / 255), uint8_t(255 - x * 255 / 335), 255};
}

// A primary buffer with a red frame outside its 320x240 source rectangle,
// scaled twice into the 640x480 CRTC (an external texture), and an opaque
// 64x48 overlay (a 2D texture) at an offset, unscaled, and a second one
// (without alpha) scaled down and reaching past the CRTC's right edge. The red frame must
// not bleed into the picture's edges.
TEST_F(Layers, ScaledPrimaryAndOverlays)
{
    TestPlane primary = make_plane(336, 256, [](int x, int y) {
        return x < 8 || y < 8 || x >= 328 || y >= 248 ? Rgba{255, 0, 0, 255} : gradient(x, y);
    });
    primary.external = true;
    place(&primary, 8, 8, 320, 240, 0, 0, 640, 480);
    TestPlane overlay = make_plane(64, 48, [](int x, int y) { return Rgba{uint8_t(x * 4), 200, uint8_t(y * 5), 255}; });
    place(&overlay, 0, 0, 64, 48, 201, 301, 64, 48);  // odd: edges inside chroma pixels
    TestPlane edge = make_plane(100, 100, [](int x, int) { return Rgba{30, uint8_t(x * 2), 90, 255}; });
    place(&edge, 0, 0, 100, 100, 600, 200, 50, 50);
    edge.plane.format = kXR24;  // opaque: the primary below it is not drawn
    const std::vector<uint8_t> luma = check({&primary, &overlay, &edge}, 640, 480, 0, 2.0);
    ASSERT_EQ(luma.size(), 640u * 480u);
    // The overlay's top-left texel at (201, 301), the primary just above it.
    const ColourCoefficients &k = kBt601Limited;
    EXPECT_NEAR(luma[301 * 640 + 201], code(k.y, {0, 200 / 255.0, 0}), 2.0);
    EXPECT_NEAR(luma[300 * 640 + 201], code(k.y, compose({&primary}, 640, 480, 0, 201.5, 300.5).rgb), 2.0);
    // The bottom-left corner samples the source's edge texels, not the frame.
    EXPECT_NEAR(luma[479 * 640 + 0], code(k.y, {8 * 255 / 335 / 255.0, 247 / 255.0, (255 - 8 * 255 / 335) / 255.0}),
                2.0);
}

// A translucent overlay in each blend mode with half plane alpha; an XRGB
// overlay whose padding byte is 0 is opaque whatever its blend mode.
TEST_F(Layers, TranslucentOverlayBlendModes)
{
    TestPlane primary = make_plane(640, 480, [](int x, int y) {
        return Rgba{uint8_t(x * 255 / 639), uint8_t(y * 255 / 479), 128, 255};
    });
    primary.external = true;
    const struct {
        uint32_t blend, format;
    } cases[] = {
        {UDS_BLEND_PREMULTI, kAR24}, {UDS_BLEND_COVERAGE, kAR24}, {UDS_BLEND_NONE, kAR24}, {UDS_BLEND_PREMULTI, kXR24}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "blend " << c.blend << " format " << std::hex << c.format);
        // Premultiplied-valid colours under a varying pixel alpha.
        TestPlane overlay = make_plane(200, 160, [&](int x, int) {
            const int a = 64 + x / 2, cap = c.format == kXR24 ? 255 : a;
            return Rgba{uint8_t(std::min(cap, 40 + x / 4)), 20, uint8_t(std::min(cap, 60)),
                        uint8_t(c.format == kXR24 ? 0 : a)};
        });
        place(&overlay, 0, 0, 200, 160, 120, 200, 400, 240);  // scaled twice, wide
        overlay.plane.format = c.format;
        overlay.plane.blend = c.blend;
        overlay.plane.alpha = 0x8000;
        check({&primary, &overlay}, 640, 480, 0, 3.0);
    }
}

// A layer turned 90 degrees counter-clockwise and reflected, on a CRTC the
// stream turns a quarter clockwise, with the cursor over it: the layer's
// marker texel and the cursor's marker pixel land where the mapping puts
// them, and the whole picture matches the reference.
TEST_F(Layers, TurnedLayerTurnedStreamAndCursor)
{
    TestPlane primary = make_plane(480, 640, [](int x, int y) {
        return Rgba{uint8_t(x * 255 / 479), uint8_t(y * 255 / 639), 60, 255};
    });
    primary.external = true;
    primary.plane.format = kXR24;
    const int mx = 5, my = 3;
    TestPlane layer = make_plane(40, 30, [&](int x, int y) {
        return x == mx && y == my ? Rgba{255, 255, 255, 255} : Rgba{0, 0, 90, 255};
    });
    place(&layer, 0, 0, 40, 30, 200, 300, 30, 40);
    layer.plane.rotation = UDS_ROTATE_90 | UDS_REFLECT_X;
    // An 8x8 cursor with one white pixel at its (1, 2) on the CRTC at (200, 100).
    TestPlane cursor_plane = make_plane(8, 8, [](int x, int y) {
        return x == 1 && y == 2 ? Rgba{255, 255, 255, 255} : Rgba{0, 0, 0, 0};
    });
    place(&cursor_plane, 0, 0, 8, 8, 200, 100, 8, 8);
    std::vector<uint32_t> argb(64);
    for (int i = 0; i < 64; ++i) {
        const uint8_t *p = &cursor_plane.rgba[size_t(i) * 4];
        argb[i] = uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
    ShaderPicture crtc{480, 640, 1, 0, {}};
    const CursorOverlayGl cursor =
        shader_cursor_in_picture(shader_cursor_texture(argb.data(), 8, 8), 200, 100, 8, 8, crtc);
    ASSERT_NE(cursor.texture, 0u);
    const std::vector<uint8_t> luma = check({&primary, &layer}, 480, 640, 1, 3.0, &cursor, &cursor_plane);
    glDeleteTextures(1, &cursor.texture);
    ASSERT_EQ(luma.size(), 640u * 480u);

    // The stream pixel whose centre the mapping sends into a marker texel.
    auto find = [](const PlaneRecord &plane, int tx, int ty, int *sx, int *sy) {
        LayerMapping m;
        if (!plane_layer_mapping(plane, 480, 640, 1, &m))
            return false;
        for (int y = m.y0; y < m.y1; ++y)
            for (int x = m.x0; x < m.x1; ++x) {
                const double bx = m.m[0] * (x + 0.5) + m.m[1] * (y + 0.5) + m.m[2];
                const double by = m.m[3] * (x + 0.5) + m.m[4] * (y + 0.5) + m.m[5];
                if (int(std::floor(bx)) == tx && int(std::floor(by)) == ty) {
                    *sx = x;
                    *sy = y;
                    return true;
                }
            }
        return false;
    };
    const double white = code(kBt601Limited.y, {1, 1, 1});
    for (auto [plane, tx, ty] : {std::tuple{&layer.plane, mx, my}, std::tuple{&cursor_plane.plane, 1, 2}}) {
        int sx = -1, sy = -1;
        ASSERT_TRUE(find(*plane, tx, ty, &sx, &sy));
        ASSERT_GE(sy, 153);
        EXPECT_NEAR(luma[sy * 640 + sx], white, 3.0) << sx << "," << sy;
        for (auto [dx, dy] : {std::pair{1, 0}, std::pair{-1, 0}, std::pair{0, 1}, std::pair{0, -1}})
            EXPECT_LT(luma[(sy + dy) * 640 + sx + dx], white - 60) << "beside " << sx << "," << sy;
    }
}

// The plain picture of the primary; the picture whose one layer is that
// primary imported whole-screen (drawn by the plain program from the layer's
// texture, not the source given); and the same buffer uploaded (drawn by
// the composing program): the same planes. A layer count past the shaders'
// is refused with nothing mapped.
TEST_F(Layers, OneWholeScreenLayerIsThePlainPicture)
{
    TestPlane primary = make_plane(320, 240, [](int x, int y) {
        return Rgba{uint8_t(x * 255 / 319), uint8_t(y * 255 / 239), uint8_t((x * y) % 256), 255};
    });
    primary.plane.format = kXR24;
    ASSERT_TRUE(plane_is_whole_screen(primary.plane, 320, 240, 0));
    const GLuint src = gl.make_source(320, 240, primary.rgba);
    const GLuint black = gl.make_source(320, 240, std::vector<uint8_t>(320 * 240 * 4, 0));
    ShaderPicture imported{320, 240, 0, 1, {}}, uploaded = imported;
    imported.layers[0] = ShaderLayer{src, true, primary.plane};
    uploaded.layers[0] = ShaderLayer{texture_of(primary), false, primary.plane};
    GlCpuRenderer r;
    ASSERT_EQ(gl_cpu_init(&r, gl.display(), 320, 240), 0);
    gl_cpu_set_same_frame(&r, true);
    const ShaderPicture *pictures[3] = {nullptr, &imported, &uploaded};
    std::vector<uint8_t> planes[3];
    for (int i = 0; i < 3; ++i) {
        const uint8_t *y = nullptr, *u = nullptr, *v = nullptr;
        int32_t ys = 0, us = 0, vs = 0;
        ASSERT_EQ(gl_cpu_render_and_map(&r, i ? black : src, 7, &y, &ys, &u, &us, &v, &vs, nullptr, pictures[i]), 0);
        planes[i].assign(y, y + 320 * 240);
        planes[i].insert(planes[i].end(), u, u + 160 * 120);
        planes[i].insert(planes[i].end(), v, v + 160 * 120);
        gl_cpu_unmap(&r);
    }
    for (int i = 1; i < 3; ++i)
        for (size_t j = 0; j < planes[0].size(); ++j)
            ASSERT_NEAR(planes[0][j], planes[i][j], 1.0) << "picture " << i << " at " << j;
    imported.count = SHADER_PICTURE_MAX_LAYERS + 1;
    const uint8_t *y = nullptr, *u = nullptr, *v = nullptr;
    int32_t ys = 0, us = 0, vs = 0;
    EXPECT_EQ(gl_cpu_render_and_map(&r, src, 7, &y, &ys, &u, &us, &v, &vs, nullptr, &imported), -1);
    EXPECT_EQ(y, nullptr);
    gl_cpu_cleanup(&r);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

}  // namespace

namespace {

// More planes than one program samples, never more than two at one place
// (the primary and one overlay): every one drawn, as the reference says.
TEST_F(Layers, MorePlanesThanAProgramSamplesAreAllDrawn)
{
    TestPlane primary = make_plane(320, 240, [](int x, int y) { return gradient(x, y); });
    place(&primary, 0, 0, 320, 240, 0, 0, 640, 480);
    std::vector<TestPlane> overlays;
    for (int i = 0; i < 6; ++i) {
        overlays.push_back(make_plane(48, 40, [i](int x, int y) {
            return Rgba{uint8_t(40 * i), uint8_t(x * 5), uint8_t(y * 6), 255};
        }));
        place(&overlays.back(), 0, 0, 48, 40, 20 + 100 * i, 200 + 30 * (i % 2), 64, 40);
    }
    std::vector<const TestPlane *> planes = {&primary};
    for (const TestPlane &o : overlays)
        planes.push_back(&o);
    check(planes, 640, 480, 0, 2.0);
}

}  // namespace
