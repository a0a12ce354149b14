// Deep-colour framebuffers read through a mapping: uploaded at their own
// precision and converted by the read-back renderer, every format's ramp
// comes out within one code value of the BT.709 limited formulas computed in
// double from the values the buffer holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "apps/capture/source/egl_context.h"
#include "tests/gpu/gl_test_context.h"

namespace {

enum Layout {
    W2101010_RED_HIGH,
    W2101010_RED_LOW,
    U16_BLUE_FIRST,
    U16_RED_FIRST,
    F16_BLUE_FIRST,
    F16_RED_FIRST,
    R565
};

struct DeepFormat {
    char name[5];
    Layout layout;
};

double quantize(double v, int bits)
{
    return std::round(v * ((1 << bits) - 1)) / ((1 << bits) - 1);
}

// Stores r, g, b at p as the layout has them (alpha or x bits zero: the
// conversion ignores them) and returns the values the buffer holds.
void store(Layout layout, double rgb[3], uint8_t *p)
{
    auto q = [](double v, int bits) { return uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * ((1 << bits) - 1))); };
    uint32_t word = 0;
    uint16_t c[4] = {};
    switch (layout) {
    case W2101010_RED_HIGH:
    case W2101010_RED_LOW: {
        const int hi = layout == W2101010_RED_HIGH ? 0 : 2;
        word = q(rgb[hi], 10) << 20 | q(rgb[1], 10) << 10 | q(rgb[2 - hi], 10);
        for (int i = 0; i < 3; ++i)
            rgb[i] = quantize(rgb[i], 10);
        std::memcpy(p, &word, 4);
        return;
    }
    case U16_BLUE_FIRST:
    case U16_RED_FIRST:
        for (int i = 0; i < 3; ++i) {
            c[layout == U16_RED_FIRST ? i : 2 - i] = uint16_t(q(rgb[i], 16));
            rgb[i] = quantize(rgb[i], 16);
        }
        break;
    case F16_BLUE_FIRST:
    case F16_RED_FIRST:
        for (int i = 0; i < 3; ++i) {
            const _Float16 h = _Float16(rgb[i]);
            std::memcpy(&c[layout == F16_RED_FIRST ? i : 2 - i], &h, 2);
            rgb[i] = std::clamp(double(h), 0.0, 1.0);
        }
        break;
    case R565: {
        const uint16_t w = uint16_t(q(rgb[0], 5) << 11 | q(rgb[1], 6) << 5 | q(rgb[2], 5));
        rgb[0] = quantize(rgb[0], 5), rgb[1] = quantize(rgb[1], 6), rgb[2] = quantize(rgb[2], 5);
        std::memcpy(p, &w, 2);
        return;
    }
    }
    std::memcpy(p, c, 8);
}

int bytes_of(Layout layout)
{
    return layout == R565 ? 2 : layout <= W2101010_RED_LOW ? 4 : 8;
}

TEST(DeepUpload, RampsConvertWithinOneOfTheFormulas)
{
    GlTestContext gl;
    if (!gl.ok())
        GTEST_SKIP() << "no surfaceless EGL context";
    const DeepFormat formats[] = {
        {"XR30", W2101010_RED_HIGH},
        {"AR30", W2101010_RED_HIGH},
        {"XB30", W2101010_RED_LOW},
        {"AB30", W2101010_RED_LOW},
        {"XR48", U16_BLUE_FIRST},
        {"AR48", U16_BLUE_FIRST},
        {"XB48", U16_RED_FIRST},
        {"AB48", U16_RED_FIRST},
        {"XR4H", F16_BLUE_FIRST},
        {"AR4H", F16_BLUE_FIRST},
        {"XB4H", F16_RED_FIRST},
        {"AB4H", F16_RED_FIRST},
        {"RG16", R565},
    };
    const int w = 1280, h = 200, first_row = 152;
    ASSERT_STREQ(colour_coefficients_for_size(w, h).name, "BT.709 Limited");
    for (const DeepFormat &f : formats) {
        SCOPED_TRACE(f.name);
        const uint32_t fourcc = frame_fourcc(f.name[0], f.name[1], f.name[2], f.name[3]);
        ASSERT_TRUE(egl_upload_supported(fourcc));
        // Red rises and green falls across, blue rises down, each in steps
        // finer than 8 bits; half floats run past both ends (clamped).
        const bool wide = f.layout == F16_BLUE_FIRST || f.layout == F16_RED_FIRST;
        const int bpp = bytes_of(f.layout), stride = w * bpp + 16;
        std::vector<uint8_t> px(size_t(stride) * h);
        std::vector<double> held(size_t(w) * h * 3);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double *rgb = &held[(size_t(y) * w + x) * 3];
                const double t = double(x) / (w - 1);
                rgb[0] = wide ? -0.25 + 1.5 * t : t;
                rgb[1] = 1.0 - t;
                rgb[2] = double(y) / (h - 1);
                store(f.layout, rgb, &px[size_t(y) * stride + size_t(x) * bpp]);
            }
        GLuint texture = 0;
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        ASSERT_EQ(egl_upload_pixels(fourcc, px.data(), w, h, stride, true), 0);
        const GLuint source = gl.wrap(texture);
        ASSERT_NE(source, 0u);
        glBindTexture(GL_TEXTURE_EXTERNAL_OES, source);
        egl_upload_swizzle(GL_TEXTURE_EXTERNAL_OES, fourcc);

        GlCpuRenderer r;
        ASSERT_EQ(gl_cpu_init(&r, gl.display(), w, h), 0);
        gl_cpu_set_same_frame(&r, true);
        const uint8_t *y = nullptr, *u = nullptr, *v = nullptr;
        int32_t ys = 0, us = 0, vs = 0;
        ASSERT_EQ(gl_cpu_render_and_map(&r, source, 0, &y, &ys, &u, &us, &v, &vs), 0);
        int worst = 0;
        for (int row = first_row; row < h; ++row)
            for (int x = 0; x < w; ++x) {
                const double *c = &held[(size_t(row) * w + x) * 3];
                const double want = 16 + 219 * (0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2]);
                worst = std::max(worst, std::abs(int(y[size_t(row) * ys + x]) - int(std::floor(want + 0.5))));
            }
        for (int row = first_row / 2; row < h / 2; ++row)
            for (int x = 0; x < w / 2; ++x) {
                double m[3] = {};
                for (int k = 0; k < 4; ++k)
                    for (int i = 0; i < 3; ++i)
                        m[i] += held[(size_t(2 * row + k / 2) * w + 2 * x + k % 2) * 3 + i] / 4;
                const double luma = 0.2126 * m[0] + 0.7152 * m[1] + 0.0722 * m[2];
                const double cb = 128 + 224 * (m[2] - luma) / 1.8556, cr = 128 + 224 * (m[0] - luma) / 1.5748;
                worst = std::max(worst, std::abs(int(u[size_t(row) * us + x]) - int(std::floor(cb + 0.5))));
                worst = std::max(worst, std::abs(int(v[size_t(row) * vs + x]) - int(std::floor(cr + 0.5))));
            }
        EXPECT_LE(worst, 1);
        gl_cpu_unmap(&r);
        gl_cpu_cleanup(&r);
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }
}

}  // namespace
