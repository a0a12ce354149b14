#include "apps/capture/convert/cursor_blend.h"
#include "apps/capture/convert/yuv_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

struct Planes {
    std::vector<uint8_t> y, u, v;
    Planes(uint32_t w, uint32_t h, uint8_t fill = 0xAB)
        : y(size_t(w) * h, fill), u(size_t(w / 2) * (h / 2), fill), v(size_t(w / 2) * (h / 2), fill)
    {
    }
};

std::vector<uint8_t> flat(uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b)
{
    std::vector<uint8_t> px(size_t(w) * h * 4);
    for (size_t i = 0; i < size_t(w) * h; ++i) {
        px[4 * i] = r;
        px[4 * i + 1] = g;
        px[4 * i + 2] = b;
        px[4 * i + 3] = 0x5A;
    }
    return px;
}

struct Expect {
    uint8_t r, g, b, y, u, v, ty, tu, tv;
};

// Rounding values (scalar and RGBA vector) and truncating values.
const Expect kColours[] = {
    {0, 0, 0, 16, 128, 128, 16, 128, 128}, {255, 255, 255, 235, 128, 128, 235, 128, 128},
    {255, 0, 0, 82, 90, 240, 81, 90, 239}, {0, 0, 255, 41, 240, 110, 40, 239, 110},
    {1, 1, 1, 17, 128, 128, 16, 128, 128},
};

}  // namespace

TEST(ConvertScalar, FlatColoursGiveBt601Values)
{
    for (const Expect &e : kColours) {
        auto px = flat(4, 2, e.r, e.g, e.b);
        Yuv420pFrame f{};
        ASSERT_EQ(rgba_to_yuv420p(4, 2, px.data(), 16, &f), 0);
        EXPECT_EQ(f.y_stride, 4u);
        EXPECT_EQ(f.u_stride, 2u);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(f.y[i], e.y) << int(e.r) << "," << int(e.g) << "," << int(e.b);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(f.u[i], e.u);
            EXPECT_EQ(f.v[i], e.v);
        }
        yuv420p_frame_release(&f);
        EXPECT_EQ(f.y, nullptr);
        EXPECT_EQ(f.y_stride, 0u);
    }
}

TEST(ConvertScalar, ChromaIsPointSampledFromTopLeft)
{
    for (int pos = 0; pos < 4; ++pos) {
        auto px = flat(2, 2, 0, 0, 0);
        px[4 * pos + 2] = 255;
        Yuv420pFrame f{};
        ASSERT_EQ(rgba_to_yuv420p(2, 2, px.data(), 8, &f), 0);
        EXPECT_EQ(f.u[0], pos == 0 ? 240 : 128) << pos;
        EXPECT_EQ(f.v[0], pos == 0 ? 110 : 128) << pos;
        yuv420p_frame_release(&f);
    }
}

TEST(ConvertScalar, RefusalsAndReleaseAreSafe)
{
    auto px = flat(4, 4, 1, 2, 3);
    Yuv420pFrame f{};
    EXPECT_EQ(rgba_to_yuv420p(4, 4, nullptr, 16, &f), -1);
    EXPECT_EQ(rgba_to_yuv420p(4, 4, px.data(), 16, nullptr), -1);
    EXPECT_EQ(rgba_to_yuv420p(3, 4, px.data(), 16, &f), -1);
    EXPECT_EQ(f.y, nullptr);
    EXPECT_EQ(rgba_to_yuv420p(4, 3, px.data(), 16, &f), -1);
    EXPECT_EQ(f.u, nullptr);
    yuv420p_frame_release(&f);  // a cleared record
    yuv420p_frame_release(nullptr);
    ASSERT_EQ(rgba_to_yuv420p(0, 0, px.data(), 0, &f), 0);
    yuv420p_frame_release(&f);
}

class ConvertAvx2 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!yuv_convert_have_avx2())
            GTEST_SKIP() << "this processor has no AVX2";
    }
};

TEST_F(ConvertAvx2, FlatColoursRoundingAndTruncating)
{
    for (const Expect &e : kColours) {
        auto px = flat(16, 2, e.r, e.g, e.b);
        Planes a(16, 2), t(16, 2);
        ASSERT_EQ(rgba_to_yuv420p_avx2(16, 2, px.data(), 64, a.y.data(), a.u.data(), a.v.data()), 0);
        ASSERT_EQ(abgr2101010_to_yuv420p_avx2(16, 2, px.data(), 64, t.y.data(), t.u.data(), t.v.data()), 0);
        for (uint8_t y : a.y)
            EXPECT_EQ(y, e.y);
        for (uint8_t u : a.u)
            EXPECT_EQ(u, e.u);
        for (uint8_t v : a.v)
            EXPECT_EQ(v, e.v);
        for (uint8_t y : t.y)
            EXPECT_EQ(y, e.ty);
        for (uint8_t u : t.u)
            EXPECT_EQ(u, e.tu);
        for (uint8_t v : t.v)
            EXPECT_EQ(v, e.tv);
    }
}

TEST_F(ConvertAvx2, BitIdenticalToScalarOnRandomPictures)
{
    std::mt19937 rng(7);
    for (uint32_t w : {16u, 32u, 48u, 208u, 1920u}) {
        const uint32_t h = 6;
        const uint32_t stride = w * 4 + 12;  // padded, unaligned rows
        std::vector<uint8_t> px(size_t(stride) * h + 3);
        for (auto &b : px)
            b = uint8_t(rng());
        const uint8_t *src = px.data() + 3;
        Yuv420pFrame ref{};
        ASSERT_EQ(rgba_to_yuv420p(w, h, src, stride, &ref), 0);
        Planes a(w, h);
        ASSERT_EQ(rgba_to_yuv420p_avx2(w, h, src, stride, a.y.data(), a.u.data(), a.v.data()), 0);
        EXPECT_EQ(0, std::memcmp(a.y.data(), ref.y, a.y.size())) << w;
        EXPECT_EQ(0, std::memcmp(a.u.data(), ref.u, a.u.size())) << w;
        EXPECT_EQ(0, std::memcmp(a.v.data(), ref.v, a.v.size())) << w;

        // The truncating variant differs from the rounding one by at most 1
        // and only downwards; check its exact formula on a few pixels.
        Planes t(w, h);
        ASSERT_EQ(abgr2101010_to_yuv420p_avx2(w, h, src, stride, t.y.data(), t.u.data(), t.v.data()), 0);
        for (uint32_t r = 0; r < h; ++r)
            for (uint32_t k = 0; k < w; ++k) {
                const uint8_t *p = src + size_t(r) * stride + 4 * k;
                const int R = p[0], G = p[1], B = p[2];
                ASSERT_EQ(t.y[r * w + k], ((66 * R + 129 * G + 25 * B) >> 8) + 16);
                if (((r | k) & 1) == 0) {
                    const size_t i = (r / 2) * (w / 2) + k / 2;
                    ASSERT_EQ(t.u[i], ((-38 * R - 74 * G + 112 * B) >> 8) + 128);
                    ASSERT_EQ(t.v[i], ((112 * R - 94 * G - 18 * B) >> 8) + 128);
                }
            }
        yuv420p_frame_release(&ref);
    }
}

TEST_F(ConvertAvx2, RefusedSizesWriteNothing)
{
    auto px = flat(32, 4, 9, 9, 9);
    for (uint32_t w : {8u, 24u}) {
        Planes a(32, 4);
        EXPECT_EQ(rgba_to_yuv420p_avx2(w, 4, px.data(), 128, a.y.data(), a.u.data(), a.v.data()), -1);
        EXPECT_EQ(abgr2101010_to_yuv420p_avx2(w, 4, px.data(), 128, a.y.data(), a.u.data(), a.v.data()), -1);
        for (uint8_t b : a.y)
            ASSERT_EQ(b, 0xAB);
        for (uint8_t b : a.u)
            ASSERT_EQ(b, 0xAB);
        for (uint8_t b : a.v)
            ASSERT_EQ(b, 0xAB);
    }
    Planes a(32, 4);
    EXPECT_EQ(abgr2101010_to_yuv420p_avx2(32, 3, px.data(), 128, a.y.data(), a.u.data(), a.v.data()), -1);
    for (uint8_t b : a.y)
        ASSERT_EQ(b, 0xAB);
}

TEST(ConvertLibav, CacheReusedForOneSizeReplacedForAnother)
{
    auto px = flat(64, 32, 10, 20, 30);
    Planes a(64, 32);
    ASSERT_EQ(rgba_to_yuv420p_libav(64, 32, px.data(), 256, a.y.data(), a.u.data(), a.v.data()), 0);
    SwsContext *first = sws_ctx;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(cached_width, 64u);
    EXPECT_EQ(cached_height, 32u);
    EXPECT_EQ(cached_fmt, 26);
    ASSERT_EQ(rgba_to_yuv420p_libav(64, 32, px.data(), 256, a.y.data(), a.u.data(), a.v.data()), 0);
    EXPECT_EQ(sws_ctx, first);
    Planes b(32, 16);
    ASSERT_EQ(rgba_to_yuv420p_libav(32, 16, px.data(), 256, b.y.data(), b.u.data(), b.v.data()), 0);
    EXPECT_EQ(cached_width, 32u);
    EXPECT_EQ(cached_height, 16u);
    ASSERT_NE(sws_ctx, nullptr);
    EXPECT_EQ(b.y[0], 32);  // the new context converts the new size (BT.709: 31.97)
}

// A size libswscale cannot scale leaves no context behind, so the next call
// with a good size makes a fresh one.
TEST(ConvertLibav, FailedContextIsRetriedNextCall)
{
    auto px = flat(64, 32, 10, 20, 30);
    Planes a(64, 32);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rgba_to_yuv420p_libav(0, 0, px.data(), 256, a.y.data(), a.u.data(), a.v.data()), -1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[Libav] Failed to create sws_ctx\n"), std::string::npos) << log;
    EXPECT_EQ(sws_ctx, nullptr);
    EXPECT_EQ(a.y[0], 0xAB);
    ASSERT_EQ(rgba_to_yuv420p_libav(64, 32, px.data(), 256, a.y.data(), a.u.data(), a.v.data()), 0);
    EXPECT_NE(sws_ctx, nullptr);
    EXPECT_EQ(a.y[0], 32);
}

TEST(ConvertLibav, FlatColoursGiveBt709LimitedRange)
{
    struct C {
        uint8_t r, g, b;
    };
    for (C c : {C{0, 0, 0}, C{255, 255, 255}, C{255, 0, 0}, C{0, 255, 0}, C{0, 0, 255}, C{90, 160, 40}}) {
        auto px = flat(64, 32, c.r, c.g, c.b);
        Planes p(64, 32);
        ASSERT_EQ(rgba_to_yuv420p_libav(64, 32, px.data(), 256, p.y.data(), p.u.data(), p.v.data()), 0);
        const double R = c.r / 255.0, G = c.g / 255.0, B = c.b / 255.0;
        const double Y = 0.2126 * R + 0.7152 * G + 0.0722 * B;
        const double ey = 16 + 219 * Y;
        const double eu = 128 + 224 * (B - Y) / 1.8556;
        const double ev = 128 + 224 * (R - Y) / 1.5748;
        EXPECT_NEAR(p.y[32 * 16 + 20], ey, 2.0) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_NEAR(p.u[8 * 32 + 10], eu, 2.0) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_NEAR(p.v[8 * 32 + 10], ev, 2.0) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
}

namespace {

// libswscale set up the way the compatible mode sets it up, for any of the
// four byte orders.
struct Bt709Reference {
    std::vector<uint8_t> y, u, v;
    Bt709Reference(AVPixelFormat fmt, uint32_t w, uint32_t h, const uint8_t *src, uint32_t stride)
        : y(size_t(w) * h), u(size_t((w + 1) / 2) * (h / 2)), v(u.size())
    {
        SwsContext *c = sws_getContext(int(w), int(h), fmt, int(w), int(h), AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                       nullptr, nullptr);
        EXPECT_NE(c, nullptr);
        if (!c)
            return;
        int *inv = nullptr, *table = nullptr, src_range = 0, dst_range = 0, bright = 0, contrast = 0, sat = 0;
        sws_getColorspaceDetails(c, &inv, &src_range, &table, &dst_range, &bright, &contrast, &sat);
        sws_setColorspaceDetails(c, inv, 1, sws_getCoefficients(SWS_CS_ITU709), 0, bright, contrast, sat);
        const uint8_t *planes[1] = {src};
        const int strides[1] = {int(stride)};
        uint8_t *out[3] = {y.data(), u.data(), v.data()};
        const int out_strides[3] = {int(w), int((w + 1) / 2), int((w + 1) / 2)};
        EXPECT_EQ(sws_scale(c, planes, strides, 0, int(h), out, out_strides), int(h));
        sws_freeContext(c);
    }
};

// Largest difference and where it is.
std::string furthest(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, int *worst)
{
    *worst = 0;
    size_t at = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::abs(int(a[i]) - int(b[i])) > *worst) {
            *worst = std::abs(int(a[i]) - int(b[i]));
            at = i;
        }
    return "index " + std::to_string(at) + " of " + std::to_string(a.size());
}

// Converts with the AVX2 converter into planes cleared beforehand (so that a
// sample left unwritten shows) and expects every sample within one of
// libswscale's.
void expect_bt709_within_one(PackedOrder order, AVPixelFormat fmt, uint32_t w, uint32_t h, const uint8_t *px,
                             uint32_t stride)
{
    const Bt709Reference ref(fmt, w, h, px, stride);
    Bt709Reference got = ref;
    for (auto *plane : {&got.y, &got.u, &got.v})
        std::fill(plane->begin(), plane->end(), 0);
    ASSERT_EQ(packed_to_yuv420p_bt709_avx2(order, w, h, px, stride, got.y.data(), got.u.data(), got.v.data()), 0);
    const std::string at = std::to_string(w) + "x" + std::to_string(h) + " order " + std::to_string(int(order)) + " ";
    int worst = 0;
    std::string where = furthest(got.y, ref.y, &worst);
    EXPECT_LE(worst, 1) << at << "Y " << where;
    where = furthest(got.u, ref.u, &worst);
    EXPECT_LE(worst, 1) << at << "U " << where;
    where = furthest(got.v, ref.v, &worst);
    EXPECT_LE(worst, 1) << at << "V " << where;
}

}  // namespace

// Random pictures in every byte order, at sizes whose rows end in partial
// vectors, and with two and four rows, where libswscale narrows its filter. An odd
// width is given one padding column that repeats the last pixel, which is
// what the converter does at the edge and what libswscale then reads.
TEST_F(ConvertAvx2, Bt709WithinOneOfLibswscale)
{
    struct Size {
        uint32_t w, h;
    };
    const struct {
        PackedOrder order;
        AVPixelFormat fmt;
    } orders[] = {{PACKED_RGBA, AV_PIX_FMT_RGBA},
                  {PACKED_BGRA, AV_PIX_FMT_BGRA},
                  {PACKED_ARGB, AV_PIX_FMT_ARGB},
                  {PACKED_ABGR, AV_PIX_FMT_ABGR}};
    std::mt19937 rng(19);
    for (Size s : {Size{1920, 1080}, Size{1366, 768}, Size{64, 2}, Size{1365, 8}, Size{77, 4}, Size{48, 10}})
        for (const auto &o : orders) {
            const uint32_t stride = s.w * 4 + (s.w % 2 ? 4 : 0);
            std::vector<uint8_t> px(size_t(stride) * s.h);
            for (auto &b : px)
                b = uint8_t(rng());
            if (s.w % 2)
                for (uint32_t r = 0; r < s.h; ++r)
                    std::memcpy(&px[size_t(r) * stride + 4 * s.w], &px[size_t(r) * stride + 4 * (s.w - 1)], 4);
            expect_bt709_within_one(o.order, o.fmt, s.w, s.h, px.data(), stride);
        }
}

// Every (R, G, B) once: a 4096 x 4096 picture whose pixel i is R = i & 255,
// G = (i >> 8) & 255, B = i >> 16. Luma depends on its pixel alone, so this
// covers the luma arithmetic completely; the chroma rows see a steep ramp.
TEST_F(ConvertAvx2, Bt709EveryColourWithinOneOfLibswscale)
{
    constexpr uint32_t n = 4096;
    std::vector<uint8_t> px(size_t(n) * n * 4);
    for (uint32_t i = 0; i < n * n; ++i) {
        px[4 * size_t(i)] = uint8_t(i);
        px[4 * size_t(i) + 1] = uint8_t(i >> 8);
        px[4 * size_t(i) + 2] = uint8_t(i >> 16);
        px[4 * size_t(i) + 3] = uint8_t(i * 7);
    }
    expect_bt709_within_one(PACKED_RGBA, AV_PIX_FMT_RGBA, n, n, px.data(), n * 4);
}

// Pictures narrower than one 32-pixel step or just past it, where every row
// ends in the padded copy, with the carried chroma sums across row pairs.
TEST_F(ConvertAvx2, Bt709NarrowPicturesWithinOneOfLibswscale)
{
    std::mt19937 rng(33);
    for (uint32_t w : {30u, 31u, 33u, 62u})
        for (uint32_t h : {2u, 4u, 12u})
            for (auto [order, fmt] :
                 {std::pair{PACKED_BGRA, AV_PIX_FMT_BGRA}, std::pair{PACKED_ABGR, AV_PIX_FMT_ABGR}}) {
                const uint32_t stride = w * 4 + 4;
                std::vector<uint8_t> px(size_t(stride) * h);
                for (auto &b : px)
                    b = uint8_t(rng());
                for (uint32_t r = 0; r < h; ++r)
                    std::memcpy(&px[size_t(r) * stride + 4 * w], &px[size_t(r) * stride + 4 * (w - 1)], 4);
                expect_bt709_within_one(order, fmt, w, h, px.data(), stride);
            }
}

// The compatible mode's entry point agrees with the libswscale path it
// replaces; an odd height (whose chroma rows libswscale places differently)
// and an odd width (whose chroma rows it lays out at width / 2) go to
// libswscale itself.
TEST_F(ConvertAvx2, CompatibleConversionMatchesLibswscalePath)
{
    std::mt19937 rng(5);
    const struct {
        uint32_t w, h;
        int most;
    } sizes[] = {{1920, 1080, 1}, {1920, 7, 0}, {1365, 8, 0}};
    for (const auto &[w, h, most] : sizes) {
        std::vector<uint8_t> px(size_t(w) * h * 4 + 4);
        for (auto &b : px)
            b = uint8_t(rng());
        std::vector<uint8_t> ref(size_t(w) * h * 3 / 2 + 2 * w), got(ref.size());
        const size_t luma = size_t(w) * h;
        ASSERT_EQ(
            rgba_to_yuv420p_libav(w, h, px.data(), w * 4, ref.data(), ref.data() + luma, ref.data() + luma + luma / 4),
            0);
        ASSERT_EQ(
            rgba_to_yuv420p_bt709(w, h, px.data(), w * 4, got.data(), got.data() + luma, got.data() + luma + luma / 4),
            0);
        int worst = 0;
        const std::string where = furthest(got, ref, &worst);
        EXPECT_LE(worst, most) << w << "x" << h << " " << where;
    }
    Planes a(32, 4);
    EXPECT_EQ(packed_to_yuv420p_bt709_avx2(PACKED_RGBA, 32, 3, flat(32, 4, 1, 2, 3).data(), 128, a.y.data(), a.u.data(),
                                           a.v.data()),
              -1);
    for (uint8_t b : a.y)
        ASSERT_EQ(b, 0xAB);
}

// The cursor's blend: a translucent pixel lands halfway between the picture
// and the cursor's colour, an opaque one replaces it, and a cursor over any
// corner is cut there, never wrapped to the opposite edge.
TEST(CursorBlend, TranslucentOpaqueAndClippedAtEveryEdge)
{
    constexpr int W = 32, H = 16;
    // 4x4: the left half opaque white, the right half 50% black (premultiplied: 0x80000000).
    std::vector<uint32_t> argb(16);
    for (int i = 0; i < 16; ++i)
        argb[size_t(i)] = (i % 4) < 2 ? 0xFFFFFFFFu : 0x80000000u;
    CursorYuv cursor;
    cursor_yuv_from_argb(argb.data(), 4, 4, &cursor);

    auto fresh = [] { return std::vector<uint8_t>(size_t(W) * H * 3 / 2, 200); };
    std::vector<uint8_t> pic = fresh();
    uint8_t *y = pic.data(), *u = y + W * H, *v = u + W * H / 4;
    cursor_yuv_blend_i420(cursor, 10, 6, 4, 4, y, W, u, v, W / 2, W, H);
    EXPECT_NEAR(y[6 * W + 10], 235, 1);             // white in limited range
    EXPECT_NEAR(y[6 * W + 12], (16 + 200) / 2, 1);  // half of black's 16 over 200
    EXPECT_NEAR(u[3 * (W / 2) + 5], 128, 1);        // white's chroma replaces the picture's
    EXPECT_NEAR(u[3 * (W / 2) + 6], (128 + 200) / 2, 1);
    EXPECT_EQ(y[6 * W + 14], 200);  // beside it the picture is untouched
    EXPECT_EQ(y[5 * W + 10], 200);

    // Hanging over each corner: only the part on the picture changes.
    const int places[4][2] = {{-2, -2}, {W - 2, -2}, {-2, H - 2}, {W - 2, H - 2}};
    for (const auto &p : places) {
        SCOPED_TRACE(std::to_string(p[0]) + "," + std::to_string(p[1]));
        pic = fresh();
        y = pic.data(), u = y + W * H, v = u + W * H / 4;
        cursor_yuv_blend_i420(cursor, p[0], p[1], 4, 4, y, W, u, v, W / 2, W, H);
        int changed = 0;
        for (int py = 0; py < H; ++py)
            for (int px = 0; px < W; ++px)
                if (y[py * W + px] != 200) {
                    changed++;
                    EXPECT_TRUE(px >= p[0] && px < p[0] + 4 && py >= p[1] && py < p[1] + 4) << px << "," << py;
                }
        EXPECT_EQ(changed, 4);
        int chroma = 0;
        for (int i = 0; i < W * H / 4; ++i)
            chroma += u[i] != 200;
        EXPECT_EQ(chroma, 1);
    }
    // Far off the picture nothing happens.
    pic = fresh();
    cursor_yuv_blend_i420(cursor, W + 5, -40, 4, 4, pic.data(), W, pic.data() + W * H, pic.data() + W * H * 5 / 4,
                          W / 2, W, H);
    EXPECT_EQ(pic, fresh());
}
