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

// Channels packed from the low bits of a little-endian word of bytes,
// widths in that order: red first (R, G, B) or blue first (B, G, R).
struct DeepFormat {
    char name[5];
    int bytes, widths[3];
    bool red_first, half;
};

// Stores rgb at p as the format has it (alpha or x bits zero: the
// conversion ignores them) and leaves in rgb the values the buffer holds.
void store(const DeepFormat &f, double rgb[3], uint8_t *p)
{
    uint64_t word = 0;
    for (int i = 0, shift = 0; i < 3; shift += f.widths[i++]) {
        double &c = rgb[f.red_first ? i : 2 - i];
        uint16_t bits = 0;
        if (f.half) {
            const _Float16 h = _Float16(c);
            std::memcpy(&bits, &h, 2);
            c = std::clamp(double(h), 0.0, 1.0);
        } else {
            const double max = double((1 << f.widths[i]) - 1);
            bits = uint16_t(std::lround(c * max));
            c = bits / max;
        }
        word |= uint64_t(bits) << shift;
    }
    std::memcpy(p, &word, size_t(f.bytes));
}

TEST(DeepUpload, RampsConvertWithinOneOfTheFormulas)
{
    GlTestContext gl;
    if (!gl.ok())
        GTEST_SKIP() << "no surfaceless EGL context";
    const DeepFormat formats[] = {
        {"XR30", 4, {10, 10, 10}, false, false}, {"AR30", 4, {10, 10, 10}, false, false},
        {"XB30", 4, {10, 10, 10}, true, false},  {"AB30", 4, {10, 10, 10}, true, false},
        {"XR48", 8, {16, 16, 16}, false, false}, {"AR48", 8, {16, 16, 16}, false, false},
        {"XB48", 8, {16, 16, 16}, true, false},  {"AB48", 8, {16, 16, 16}, true, false},
        {"XR4H", 8, {16, 16, 16}, false, true},  {"AR4H", 8, {16, 16, 16}, false, true},
        {"XB4H", 8, {16, 16, 16}, true, true},   {"AB4H", 8, {16, 16, 16}, true, true},
        {"RG16", 2, {5, 6, 5}, false, false},
    };
    const int w = 1280, h = 200, first_row = 152;
    ASSERT_STREQ(colour_coefficients_for_size(w, h).name, "BT.709 Limited");
    for (const DeepFormat &f : formats) {
        SCOPED_TRACE(f.name);
        const uint32_t fourcc = frame_fourcc(f.name[0], f.name[1], f.name[2], f.name[3]);
        ASSERT_TRUE(egl_upload_supported(fourcc));
        // Red rises and green falls across, blue rises down, each in steps
        // finer than 8 bits; half floats run past both ends (clamped).
        const int stride = w * f.bytes + 16;
        std::vector<uint8_t> px(size_t(stride) * h);
        std::vector<double> held(size_t(w) * h * 3);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double *rgb = &held[(size_t(y) * w + x) * 3];
                const double t = double(x) / (w - 1);
                rgb[0] = f.half ? -0.25 + 1.5 * t : t;
                rgb[1] = 1.0 - t;
                rgb[2] = double(y) / (h - 1);
                store(f, rgb, &px[size_t(y) * stride + size_t(x) * f.bytes]);
            }
        std::vector<uint16_t> scratch;
        GLuint texture = 0;
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        ASSERT_EQ(egl_upload_pixels(fourcc, px.data(), w, h, stride, true, &scratch), 0);
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
