// The HDR converters against the double-precision curve of hdr_tone.h:
// every format (deep and 8-bit) under PQ, HLG and SDR maps over a picture
// with the extremes, PQ's 100 cd/m2 grey, codes above the source peak, a
// ramp and colours, at an odd width and a padded stride; the 10-bit stream
// in both matrices; P010 re-packed; a composed 8-bit picture tone-mapped in
// place; refused arguments.
#include "apps/capture/convert/hdr_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/convert/deep_pixels.h"

namespace {

constexpr uint32_t kW = 1025, kH = 6;
constexpr uint32_t kXrgb[] = {HDR_XR24, HDR_AR24, HDR_XB24, HDR_AB24};

std::vector<uint32_t> every_format()
{
    std::vector<uint32_t> f(std::begin(kDeepPacked), std::end(kDeepPacked));
    f.insert(f.end(), std::begin(kXrgb), std::end(kXrgb));
    return f;
}

// Rows 0-1: a grey ramp; 2: the codes that matter (black, white, 100 cd/m2
// in PQ, just above a 1000 cd/m2 source peak, HLG's 0.5) as greys and
// primaries; 3: colours; 4-5: rows that differ, so the vertical chroma
// filter shows.
DeepPixel want(uint32_t x, uint32_t y)
{
    const double t = x / 1024.0;
    static const double codes[] = {0, 1, 0.50808, 0.76, 0.5, 0.9};
    switch (y) {
    case 0:
    case 1: return {t, t, t, 1};
    case 2: {
        const double c = codes[(x / 4) % 6];
        switch (x % 4) {
        case 0: return {c, c, c, 1};
        case 1: return {c, 0, 0, 1};
        case 2: return {0, c, 0, 1};
        default: return {0, 0, c, 1};
        }
    }
    case 3: return {t, 1 - t, ((x * 37) % 1025) / 1024.0, t};
    case 4: return {0.5 + 0.5 * std::sin(x * 0.1), 0.9 * t, (x % 7) / 6.0, 1 - t};
    default: return {((x * 13) % 1025) / 1024.0, 0.3, 1 - t, 0.5};
    }
}

// Stores p in fourcc's layout at px and returns what a reader gets back.
DeepPixel put(uint32_t f, DeepPixel p, uint8_t *px)
{
    if (deep_packed_bytes(f))
        return deep_put(f, p, px);
    auto code = [](double v) { return uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    const bool red_first = f == HDR_XB24 || f == HDR_AB24;
    px[red_first ? 0 : 2] = code(p.r);
    px[1] = code(p.g);
    px[red_first ? 2 : 0] = code(p.b);
    px[3] = 0x5a;
    return {px[red_first ? 0 : 2] / 255.0, px[1] / 255.0, px[red_first ? 2 : 0] / 255.0, 1};
}

struct Picture {
    uint32_t stride;
    std::vector<uint8_t> src;
    std::vector<DeepPixel> held;
};

Picture picture(uint32_t f)
{
    const uint32_t bytes = f == HDR_XR24 || f == HDR_AR24 || f == HDR_XB24 || f == HDR_AB24 ? 4 : deep_packed_bytes(f);
    Picture p{bytes * kW + 24, {}, std::vector<DeepPixel>(size_t(kW) * kH)};
    p.src.assign(size_t(p.stride) * kH, 0xa5);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x)
            p.held[size_t(y) * kW + x] = put(f, want(x, y), &p.src[size_t(y) * p.stride + bytes * x]);
    return p;
}

// Y'CbCr of R'G'B' signal values: luma per pixel, chroma from the column
// pairs and rows weighted 1, 3, 3, 1 (clamped at the edges), rounded once.
template <class ToYcc>
std::vector<int> reference(const std::vector<DeepPixel> &rgb, ToYcc to_ycc)
{
    const uint32_t cw = (kW + 1) / 2;
    std::vector<int> out(kW * kH + 2 * cw * kH / 2);
    auto at = [&](int x, int y) {
        return rgb[size_t(std::clamp(y, 0, int(kH) - 1)) * kW + size_t(std::min(x, int(kW) - 1))];
    };
    for (uint32_t i = 0; i < kW * kH; ++i) {
        const double c[3] = {rgb[i].r, rgb[i].g, rgb[i].b};
        double ycc[3];
        to_ycc(c, ycc);
        out[i] = int(std::lround(ycc[0]));
    }
    for (int j = 0; j < int(kH) / 2; ++j)
        for (int i = 0; i < int(cw); ++i) {
            double c[3] = {0, 0, 0}, ycc[3];
            const int weight[4] = {1, 3, 3, 1};
            for (int k = 0; k < 4; ++k)
                for (int d = 0; d < 2; ++d) {
                    const DeepPixel p = at(2 * i + d, 2 * j - 1 + k);
                    c[0] += weight[k] * p.r / 16, c[1] += weight[k] * p.g / 16, c[2] += weight[k] * p.b / 16;
                }
            to_ycc(c, ycc);
            out[kW * kH + size_t(j) * cw + i] = int(std::lround(ycc[1]));
            out[kW * kH + cw * kH / 2 + size_t(j) * cw + i] = int(std::lround(ycc[2]));
        }
    return out;
}

template <class T>
int worst_of(const std::vector<T> &got, const std::vector<int> &ref)
{
    int worst = 0;
    for (size_t i = 0; i < ref.size(); ++i)
        worst = std::max(worst, std::abs(int(got[i]) - ref[i]));
    return worst;
}

HdrSignal signal(HdrTransfer transfer, bool bt2020, uint16_t max_cll)
{
    HdrSignal s;
    s.transfer = transfer;
    s.bt2020 = bt2020;
    s.max_cll = max_cll;
    return s;
}

std::string name(uint32_t f)
{
    return std::string(reinterpret_cast<const char *>(&f), 4);
}

TEST(HdrConvert, ToneMappedEveryFormatWithinOneOfTheCurve)
{
    const HdrSignal signals[] = {signal(HDR_TRANSFER_PQ, true, 0), signal(HDR_TRANSFER_PQ, false, 4000),
                                 signal(HDR_TRANSFER_HLG, true, 0), signal(HDR_TRANSFER_SDR, false, 0)};
    using Converter = int (*)(const HdrToneMap &, uint32_t, uint32_t, uint32_t, const uint8_t *, uint32_t, uint8_t *,
                              uint8_t *, uint8_t *);
    for (uint32_t f : every_format()) {
        const Picture p = picture(f);
        for (const HdrSignal &s : signals) {
            SCOPED_TRACE(name(f) + " " + hdr_transfer_name(s.transfer) + (s.bt2020 ? " bt2020" : ""));
            const HdrToneMap map = hdr_tone_map_for(s);
            std::vector<DeepPixel> sdr(p.held.size());
            for (size_t i = 0; i < sdr.size(); ++i) {
                const double in[3] = {p.held[i].r, p.held[i].g, p.held[i].b};
                double out[3];
                hdr_tone_map_rgb(map, in, out);
                sdr[i] = {out[0], out[1], out[2], 1};
            }
            const std::vector<int> ref = reference(sdr, hdr_rgb_to_ycbcr709);
            for (Converter convert :
                 {Converter(hdr_convert_to_yuv420p_bt709), Converter(hdr_convert_to_yuv420p_bt709_portable)}) {
                std::vector<uint8_t> out(ref.size(), 0);
                uint8_t *y = out.data(), *u = y + kW * kH, *v = u + (kW + 1) / 2 * kH / 2;
                ASSERT_EQ(convert(map, f, kW, kH, p.src.data(), p.stride, y, u, v), 0);
                EXPECT_LE(worst_of(out, ref), 1);
            }
        }
    }
}

TEST(HdrConvert, TenBitStreamEveryFormatWithinOneOfTheReference)
{
    using Converter =
        int (*)(bool, uint32_t, uint32_t, uint32_t, const uint8_t *, uint32_t, uint16_t *, uint16_t *, uint16_t *);
    for (uint32_t f : every_format()) {
        const Picture p = picture(f);
        for (bool bt2020 : {true, false}) {
            SCOPED_TRACE(name(f) + (bt2020 ? " bt2020" : " bt709"));
            const std::vector<int> ref =
                reference(p.held, [&](const double *rgb, double *ycc) { hdr_rgb_to_ycbcr10(rgb, bt2020, ycc); });
            for (Converter convert :
                 {Converter(hdr_convert_to_yuv420p10), Converter(hdr_convert_to_yuv420p10_portable)}) {
                std::vector<uint16_t> out(ref.size(), 0xffff);
                uint16_t *y = out.data(), *u = y + kW * kH, *v = u + (kW + 1) / 2 * kH / 2;
                ASSERT_EQ(convert(bt2020, f, kW, kH, p.src.data(), p.stride, y, u, v), 0);
                EXPECT_LE(worst_of(out, ref), 1);
                // A 10-bit grey ramp keeps every step of the limited range.
                if (deep_packed_bytes(f) == 4) {
                    std::vector<uint16_t> ramp(y, y + kW);
                    std::sort(ramp.begin(), ramp.end());
                    EXPECT_EQ(std::unique(ramp.begin(), ramp.end()) - ramp.begin(), 877);
                    EXPECT_EQ(ramp.front(), 64);
                }
            }
        }
    }
}

TEST(HdrConvert, P010RepackedToTenBitPlanes)
{
    constexpr uint32_t w = 8, h = 4, stride = 2 * w + 6;
    std::vector<uint8_t> luma(stride * h), chroma(stride * h / 2);
    auto put16 = [](uint8_t *at, uint16_t v) { std::memcpy(at, &v, 2); };
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t x = 0; x < w; ++x)
            put16(&luma[r * stride + 2 * x], uint16_t(((r * w + x) * 97 % 1024) << 6 | 0x2a));
    for (uint32_t r = 0; r < h / 2; ++r)
        for (uint32_t x = 0; x < w; ++x)
            put16(&chroma[r * stride + 2 * x], uint16_t(((r * w + x) * 61 % 1024) << 6));
    std::vector<uint16_t> y(w * h), u(w * h / 4), v(w * h / 4);
    ASSERT_EQ(hdr_p010_to_yuv420p10(w, h, luma.data(), stride, chroma.data(), stride, y.data(), u.data(), v.data()), 0);
    for (uint32_t i = 0; i < w * h; ++i)
        ASSERT_EQ(y[i], (i * 97) % 1024) << i;
    for (uint32_t r = 0; r < h / 2; ++r)
        for (uint32_t i = 0; i < w / 2; ++i) {
            ASSERT_EQ(u[r * w / 2 + i], ((r * w + 2 * i) * 61) % 1024);
            ASSERT_EQ(v[r * w / 2 + i], ((r * w + 2 * i + 1) * 61) % 1024);
        }
}

TEST(HdrConvert, ComposedPictureToneMappedInPlace)
{
    const HdrSignal signals[] = {signal(HDR_TRANSFER_PQ, true, 1000), signal(HDR_TRANSFER_HLG, true, 0)};
    for (uint32_t f : kXrgb)
        for (const HdrSignal &s : signals) {
            SCOPED_TRACE(name(f) + " " + hdr_transfer_name(s.transfer));
            const HdrToneMap map = hdr_tone_map_for(s);
            Picture p = picture(f);
            const std::vector<uint8_t> before = p.src;
            ASSERT_EQ(hdr_convert_xrgb_in_place(map, f, kW - 2, kH, p.src.data(), p.stride), 0);
            const bool red_first = f == HDR_XB24 || f == HDR_AB24;
            for (uint32_t row = 0; row < kH; ++row)
                for (uint32_t x = 0; x < kW; ++x) {
                    const size_t at = size_t(row) * p.stride + 4 * x;
                    const DeepPixel &h = p.held[size_t(row) * kW + x];
                    const double in[3] = {h.r, h.g, h.b};
                    double out[3];
                    hdr_tone_map_rgb(map, in, out);
                    const uint8_t *px = &p.src[at];
                    if (x >= kW - 2) {  // beyond the width: untouched
                        ASSERT_TRUE(std::equal(px, px + 4, &before[at])) << x;
                        continue;
                    }
                    ASSERT_LE(std::abs(px[red_first ? 0 : 2] - std::lround(out[0] * 255)), 1) << x << "," << row;
                    ASSERT_LE(std::abs(px[1] - std::lround(out[1] * 255)), 1) << x << "," << row;
                    ASSERT_LE(std::abs(px[red_first ? 2 : 0] - std::lround(out[2] * 255)), 1) << x << "," << row;
                    ASSERT_EQ(px[3], before[at + 3]);
                }
            // The padding after each row is untouched too.
            for (uint32_t row = 0; row < kH; ++row)
                ASSERT_TRUE(std::equal(&p.src[row * p.stride + 4 * kW], &p.src[(row + 1) * p.stride],
                                       &before[row * p.stride + 4 * kW]));
        }
}

// The SDR cursor in the HDR stream: its white at 203 cd/m2 (PQ) or 75%
// (HLG), black at black, a translucent pixel premultiplied as before, a
// clear one untouched, an SDR stream's cursor as it was.
TEST(HdrConvert, CursorWhiteSitsAtTheStreamsReferenceWhite)
{
    const uint32_t argb[4] = {0xFFFFFFFFu, 0xFF000000u, 0x80808080u, 0x00000000u};
    CursorYuv sdr;
    cursor_yuv_from_argb(argb, 4, 1, &sdr);
    const double pq_white = 64 + 876 * hdr_nits_to_pq(203), hlg_white = 64 + 876 * 0.75;
    const struct {
        HdrTransfer transfer;
        double white10;
    } cases[] = {{HDR_TRANSFER_PQ, pq_white}, {HDR_TRANSFER_HLG, hlg_white}};
    for (const auto &c : cases) {
        SCOPED_TRACE(hdr_transfer_name(c.transfer));
        CursorYuv hdr;
        hdr_cursor_for_stream(signal(c.transfer, true, 1000), sdr, &hdr);
        ASSERT_EQ(hdr.a, sdr.a);
        const double coverage[4] = {1, 1, 128 / 255.0, 0};
        const double luma10[4] = {c.white10, 64, c.white10, 0};
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(hdr.y[i] / 256.0, luma10[i] / 4 * coverage[i], 0.05) << i;
            EXPECT_NEAR(hdr.u[i] / 256.0, 128 * coverage[i], 0.05) << i;
            EXPECT_NEAR(hdr.v[i] / 256.0, 128 * coverage[i], 0.05) << i;
        }
    }
    CursorYuv same;
    hdr_cursor_for_stream(signal(HDR_TRANSFER_SDR, false, 0), sdr, &same);
    EXPECT_EQ(same.y, sdr.y);
    EXPECT_EQ(same.u, sdr.u);
}

TEST(HdrConvert, RefusesWhatItCannotConvertAndWritesNothing)
{
    const HdrToneMap map = hdr_tone_map_for(signal(HDR_TRANSFER_PQ, true, 0));
    std::vector<uint8_t> src(8 * 64 * 4, 0), out(64 * 4 * 2, 7);
    std::vector<uint16_t> out16(64 * 4 * 2, 7);
    uint8_t *y = out.data(), *u = y + 256, *v = u + 64;
    uint16_t *y16 = out16.data(), *u16 = y16 + 256, *v16 = u16 + 64;
    EXPECT_EQ(hdr_convert_to_yuv420p_bt709(map, DEEP_XR30, 64, 3, src.data(), 256, y, u, v), -1);  // odd height
    EXPECT_EQ(hdr_convert_to_yuv420p_bt709(map, DEEP_XR48, 64, 4, src.data(), 256, y, u, v), -1);  // short stride
    EXPECT_EQ(hdr_convert_to_yuv420p_bt709(map, DEEP_P010, 64, 4, src.data(), 256, y, u, v), -1);  // planar
    EXPECT_EQ(hdr_convert_to_yuv420p_bt709(map, HDR_XR24, 64, 4, nullptr, 256, y, u, v), -1);
    EXPECT_EQ(hdr_convert_to_yuv420p10(true, deep_fourcc('N', 'V', '1', '2'), 64, 4, src.data(), 256, y16, u16, v16),
              -1);
    EXPECT_EQ(hdr_convert_to_yuv420p10(true, DEEP_AR4H, 64, 2, src.data(), 511, y16, u16, v16), -1);
    EXPECT_EQ(hdr_convert_to_yuv420p10(true, DEEP_XR30, 64, 2, src.data(), 256, y16, nullptr, v16), -1);
    EXPECT_EQ(hdr_p010_to_yuv420p10(63, 4, src.data(), 128, src.data(), 128, y16, u16, v16), -1);  // odd width
    EXPECT_EQ(hdr_p010_to_yuv420p10(64, 4, src.data(), 128, src.data(), 126, y16, u16, v16), -1);  // short rows
    EXPECT_EQ(hdr_convert_xrgb_in_place(map, DEEP_XR30, 64, 4, out.data(), 256), -1);              // not 8-bit
    EXPECT_EQ(hdr_convert_xrgb_in_place(map, HDR_XR24, 64, 4, out.data(), 255), -1);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 7; }));
    EXPECT_TRUE(std::all_of(out16.begin(), out16.end(), [](uint16_t b) { return b == 7; }));
}

}  // namespace
