// HDR pictures through the read-back renderer: a chart of 10-bit codes
// (black, the PQ code of 100 cd/m2, 0.75, full scale, colours, a grey ramp
// of every code) tone-mapped to the 8-bit SDR planes, or passed as they are
// into the 10-bit planes, compared with the curve and matrices of
// hdr_tone.h computed in double, within one code value. The plain program
// and a composing variant are both checked: the variants take the tone
// curve's parameters from the plain program. The zero-copy targets' P010
// (16-bit textures standing in for the surface's planes) hold the codes in
// their high bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "apps/capture/core/hdr_tone.h"
#include "apps/capture/gpu/gl_cpu_renderer.h"
#include "apps/capture/gpu/zerocopy.h"
#include "tests/gpu/gl_test_context.h"

namespace {

constexpr int kW = 1280, kH = 320;
constexpr int kChartTop = 160;  // below the watermark
constexpr int kPatch = 64;
constexpr int kRampTop = kChartTop + 2 * kPatch;  // rows kRampTop.. hold code x at column x

// The patches' 10-bit R, G, B, left to right, the first row then the second.
struct Code3 {
    int r, g, b;
};
const Code3 kPatches[] = {
    {0, 0, 0},         {520, 520, 520},   {767, 767, 767},  {1023, 1023, 1023}, {1023, 0, 0},      {0, 1023, 0},
    {0, 0, 1023},      {700, 300, 100},   {200, 650, 420},  {900, 120, 610},    {300, 300, 300},   {850, 850, 850},
    {960, 960, 960},   {1000, 700, 200},  {64, 64, 64},     {600, 600, 900},    {1023, 1023, 0},   {0, 800, 800},
    {450, 500, 550},   {940, 940, 940},   {100, 900, 300},  {10, 20, 30},       {820, 410, 205},   {512, 0, 512},
};
constexpr int kPerRow = kW / kPatch;

Code3 chart_code(int x, int y)
{
    if (y >= kRampTop) {
        const int c = x < 1024 ? x : 1023;
        return {c, c, c};
    }
    if (y < kChartTop)
        return {512, 512, 512};
    const size_t i = size_t((y - kChartTop) / kPatch * kPerRow + x / kPatch);
    return i < std::size(kPatches) ? kPatches[i] : Code3{256, 256, 256};
}

// The chart as a 2:10:10:10 texture (an XB30 desktop's upload).
GLuint make_chart_texture()
{
    std::vector<uint32_t> px(size_t(kW) * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Code3 c = chart_code(x, y);
            px[size_t(y) * kW + x] = uint32_t(c.r) | uint32_t(c.g) << 10 | uint32_t(c.b) << 20 | 3u << 30;
        }
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB10_A2, kW, kH, 0, GL_RGBA, GL_UNSIGNED_INT_2_10_10_10_REV, px.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glBindTexture(GL_TEXTURE_2D, 0);
    return texture;
}

// Y'CbCr the renderer should give for a code: 8-bit tone-mapped SDR, or the
// 10-bit stream's.
void reference(const HdrSignal &signal, bool ten_bit, Code3 c, double out[3])
{
    const double in[3] = {c.r / 1023.0, c.g / 1023.0, c.b / 1023.0};
    if (ten_bit) {
        hdr_rgb_to_ycbcr10(in, signal.bt2020, out);
        return;
    }
    double sdr[3];
    hdr_tone_map_rgb(hdr_tone_map_for(signal), in, sdr);
    hdr_rgb_to_ycbcr709(sdr, out);
}

struct Planes {
    std::vector<int> y, u, v;  // kW x kH and two kW/2 x kH/2
};

// texture2d: the chart, external: the same as an external texture.
// The output is w x h, converted with matrix when one is given.
Planes render(GlTestContext &gl, GLuint texture2d, GLuint external, const HdrSignal &signal, bool ten_bit,
              bool composed, int w = kW, int h = kH, const ColourCoefficients *matrix = nullptr)
{
    Planes p;
    GlCpuRenderer r;
    EXPECT_EQ(gl_cpu_init(&r, gl.display(), w, h), 0);
    gl_cpu_set_same_frame(&r, true);
    if (matrix)
        gl_cpu_set_coefficients(&r, *matrix);
    EXPECT_EQ(gl_cpu_set_signal(&r, signal, ten_bit), 0);
    // Composed: the chart as a 2D layer over the whole output, which a
    // composing variant draws.
    ShaderPicture picture{kW, kH, 0, 1, {}};
    picture.layers[0] = ShaderLayer{texture2d, false, test_plane_record(kW, kH, 0, 0, kW, kH, 0)};
    const uint8_t *y = nullptr, *u = nullptr, *v = nullptr;
    int32_t ys = 0, us = 0, vs = 0;
    EXPECT_EQ(gl_cpu_render_and_map(&r, external, 0, &y, &ys, &u, &us, &v, &vs, nullptr, composed ? &picture : nullptr),
              0);
    const int bytes = ten_bit ? 2 : 1;
    EXPECT_EQ(ys, w * bytes);
    EXPECT_EQ(us, w / 2 * bytes);
    auto copy = [bytes](const uint8_t *plane, int stride, int w, int h, std::vector<int> *out) {
        for (int row = 0; row < h && plane; ++row)
            for (int x = 0; x < w; ++x) {
                const uint8_t *s = plane + size_t(row) * stride + size_t(x) * bytes;
                out->push_back(bytes == 2 ? s[0] | s[1] << 8 : s[0]);
            }
    };
    copy(y, ys, w, h, &p.y);
    copy(u, us, w / 2, h / 2, &p.u);
    copy(v, vs, w / 2, h / 2, &p.v);
    if (y)
        gl_cpu_unmap(&r);
    gl_cpu_cleanup(&r);
    return p;
}

struct Case {
    const char *name;
    HdrTransfer transfer;
    bool bt2020;
    uint16_t max_cll, max_mastering;
    bool ten_bit;
};

// A context with the chart as a 2D texture and as an external one (both
// deleted with the context), and the PQ BT.2020 signal without metadata.
class HdrConversion : public testing::Test {
protected:
    void SetUp() override
    {
        if (!gl.ok())
            GTEST_SKIP() << "no surfaceless EGL context";
        chart = make_chart_texture();
        external = gl.wrap(chart);
        ASSERT_NE(external, 0u);
        pq.transfer = HDR_TRANSFER_PQ;
        pq.bt2020 = true;
    }
    GlTestContext gl;
    GLuint chart = 0, external = 0;
    HdrSignal pq;
};

TEST_F(HdrConversion, ChartWithinOneOfTheReference)
{
    const Case cases[] = {
        {"PQ BT.2020 MaxCLL 1000", HDR_TRANSFER_PQ, true, 1000, 0, false},
        {"PQ BT.709 mastering 4000", HDR_TRANSFER_PQ, false, 0, 4000, false},
        {"PQ MaxCLL 80 (below the target)", HDR_TRANSFER_PQ, true, 80, 0, false},
        {"HLG BT.2020", HDR_TRANSFER_HLG, true, 0, 0, false},
        {"10-bit PQ BT.2020", HDR_TRANSFER_PQ, true, 1000, 1000, true},
        {"10-bit SDR BT.709", HDR_TRANSFER_SDR, false, 0, 0, true},
    };
    for (const Case &c : cases)
        for (bool composed : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (composed ? ", composed" : ", plain"));
            HdrSignal signal;
            signal.transfer = c.transfer;
            signal.bt2020 = c.bt2020;
            signal.max_cll = c.max_cll;
            signal.max_mastering_luminance = c.max_mastering;
            const Planes p = render(gl, chart, external, signal, c.ten_bit, composed);
            ASSERT_EQ(p.y.size(), size_t(kW) * kH);
            ASSERT_EQ(p.u.size(), size_t(kW / 2) * (kH / 2));
            // Every patch's middle, each plane.
            for (size_t i = 0; i < std::size(kPatches); ++i) {
                const int x = int(i % kPerRow) * kPatch + kPatch / 2, y = kChartTop + int(i / kPerRow) * kPatch + kPatch / 2;
                double want[3];
                reference(signal, c.ten_bit, kPatches[i], want);
                const int got[3] = {p.y[size_t(y) * kW + x], p.u[size_t(y / 2) * (kW / 2) + x / 2],
                                    p.v[size_t(y / 2) * (kW / 2) + x / 2]};
                for (int k = 0; k < 3; ++k)
                    EXPECT_NEAR(got[k], want[k], 1.0) << "patch " << i << " plane " << k;
            }
            // The ramp's luma at every code.
            int off = 0, first_off = -1;
            for (int x = 0; x < 1024; ++x) {
                double want[3];
                reference(signal, c.ten_bit, Code3{x, x, x}, want);
                if (std::fabs(p.y[size_t(kRampTop + 8) * kW + x] - want[0]) > 1.0 && off++ == 0)
                    first_off = x;
            }
            EXPECT_EQ(off, 0) << "ramp codes off by more than one, the first " << first_off;
            if (c.ten_bit) {
                // The code sits in the low bits: limited range, every code of
                // the ramp's range kept.
                std::vector<bool> seen(1024);
                for (int x = 0; x < 1024; ++x)
                    seen[size_t(p.y[size_t(kRampTop + 8) * kW + x] & 1023)] = true;
                EXPECT_GT(std::count(seen.begin(), seen.end(), true), 860);
                EXPECT_LE(*std::max_element(p.y.begin() + kChartTop * kW, p.y.end()), 940);
            }
        }
}

// A small output (BT.601 by its size) whose owner asked for BT.709, as the
// compatible mode's composer does, keeps BT.709 when it tone-maps.
TEST_F(HdrConversion, ToneMappingKeepsTheMatrixAskedFor)
{
    const HdrSignal &signal = pq;
    const int w = kW / 2, h = kH / 2;
    const Planes p = render(gl, chart, external, signal, false, false, w, h, &kBt709Limited);
    ASSERT_EQ(p.u.size(), size_t(w / 2) * (h / 2));
    for (size_t i = 4; i < 10; ++i) {  // the colour patches of the first row
        const int x = (int(i) * kPatch + kPatch / 2) / 4, y = (kChartTop + kPatch / 2) / 4;
        double want[3];
        reference(signal, false, kPatches[i], want);
        EXPECT_NEAR(p.u[size_t(y) * (w / 2) + x], want[1], 1.0) << "patch " << i;
        EXPECT_NEAR(p.v[size_t(y) * (w / 2) + x], want[2], 1.0) << "patch " << i;
    }
}

TEST_F(HdrConversion, P010TargetsHoldTheCodesInTheHighBits)
{
    const HdrSignal &signal = pq;
    ZeroCopyTargets t{};
    t.width = kW;
    t.height = kH;
    t.ten_bit = true;
    ASSERT_EQ(zerocopy_set_signal(&t, signal), 0);
    FullScreenQuad quad;
    ASSERT_EQ(quad_create(&quad), 0);
    t.vao = quad.vao;
    t.vbo = quad.vbo;
    ZeroCopyTarget &target = t.targets[0];
    target.surface_id = 7;
    glGenTextures(1, &target.tex_y);
    glBindTexture(GL_TEXTURE_2D, target.tex_y);
    glTexStorage2D(GL_TEXTURE_2D, 1, 0x822A /* R16 */, kW, kH);
    glGenTextures(1, &target.tex_uv);
    glBindTexture(GL_TEXTURE_2D, target.tex_uv);
    glTexStorage2D(GL_TEXTURE_2D, 1, 0x822C /* RG16 */, kW / 2, kH / 2);
    glGenFramebuffers(1, &target.fbo);
    ASSERT_EQ(zerocopy_render_to_index(&t, 0, external, kW, kH, 0), 0);

    std::vector<uint16_t> y(size_t(kW) * kH * 4), uv(size_t(kW / 2) * (kH / 2) * 4);
    glBindFramebuffer(GL_FRAMEBUFFER, target.fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_y, 0);
    glReadPixels(0, 0, kW, kH, GL_RGBA, GL_UNSIGNED_SHORT, y.data());
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.tex_uv, 0);
    glReadPixels(0, 0, kW / 2, kH / 2, GL_RGBA, GL_UNSIGNED_SHORT, uv.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    for (size_t i = 0; i < std::size(kPatches); ++i) {
        const int x = int(i % kPerRow) * kPatch + kPatch / 2, row = kChartTop + int(i / kPerRow) * kPatch + kPatch / 2;
        double want[3];
        reference(signal, true, kPatches[i], want);
        const size_t c = (size_t(row / 2) * (kW / 2) + size_t(x / 2)) * 4;
        const uint16_t got[3] = {y[(size_t(row) * kW + size_t(x)) * 4], uv[c], uv[c + 1]};
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(got[k] & 63, 0) << "patch " << i << " plane " << k;
            EXPECT_NEAR(got[k] >> 6, want[k], 1.0) << "patch " << i << " plane " << k;
        }
    }
    zerocopy_cleanup(&t);
}

}  // namespace
