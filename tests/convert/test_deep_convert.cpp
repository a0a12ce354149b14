// The deep-colour converter against a double-precision BT.709 reference:
// every format over ramps finer than 8 bits, colours that show a swapped
// channel, half floats beyond [0, 1], an odd width.
#include "apps/capture/convert/deep_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "apps/capture/convert/yuv_convert.h"
#include "tests/convert/deep_pixels.h"

namespace {

constexpr uint32_t kW = 1025, kH = 6;  // every 10-bit code along a row, and an odd width

// Row 0-1: a grey ramp; 2-3: colours; 4-5: values beyond [0, 1] and rows
// that differ, so the vertical chroma filter shows.
DeepPixel want(uint32_t x, uint32_t y)
{
    const double t = x / 1024.0;
    switch (y) {
    case 0:
    case 1: return {t, t, t, 1};
    case 2:
    case 3: return {t, 1 - t, ((x * 37) % 1025) / 1024.0, t};
    case 4: return {-0.25 + 1.5 * t, 0.5 + 0.6 * std::sin(x * 0.1), (x % 7) / 6.0, 1 - t};
    default: return {((x * 13) % 1025) / 1024.0, 0.5, 1 - t, 0.5};
    }
}

struct Yuv {
    std::vector<int> y, u, v;
};

// Straight from the definition: chroma from the column pairs averaged and
// rows weighted 1, 3, 3, 1 (clamped at the edges), each sample rounded once.
Yuv reference(const std::vector<DeepPixel> &px)
{
    const uint32_t cw = (kW + 1) / 2;
    Yuv out{std::vector<int>(kW * kH), std::vector<int>(cw * kH / 2), std::vector<int>(cw * kH / 2)};
    auto at = [&](int x, int y) {
        return px[size_t(std::clamp(y, 0, int(kH) - 1)) * kW + size_t(std::min(x, int(kW) - 1))];
    };
    for (uint32_t i = 0; i < kW * kH; ++i)
        out.y[i] = int(std::lround(16 + 219 * (0.2126 * px[i].r + 0.7152 * px[i].g + 0.0722 * px[i].b)));
    for (int j = 0; j < int(kH) / 2; ++j)
        for (int i = 0; i < int(cw); ++i) {
            double r = 0, g = 0, b = 0;
            const int weight[4] = {1, 3, 3, 1};
            for (int k = 0; k < 4; ++k)
                for (int c = 0; c < 2; ++c) {
                    const DeepPixel p = at(2 * i + c, 2 * j - 1 + k);
                    r += weight[k] * p.r / 16, g += weight[k] * p.g / 16, b += weight[k] * p.b / 16;
                }
            const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
            out.u[size_t(j) * cw + i] = int(std::lround(128 + 224 * (b - luma) / 1.8556));
            out.v[size_t(j) * cw + i] = int(std::lround(128 + 224 * (r - luma) / 1.5748));
        }
    return out;
}

TEST(DeepConvert, EveryFormatWithinOneOfTheReferenceWithoutBanding)
{
    using Converter = int (*)(uint32_t, uint32_t, uint32_t, const uint8_t *, uint32_t, uint8_t *, uint8_t *, uint8_t *);
    for (uint32_t f : kDeepPacked) {
        SCOPED_TRACE(std::string(reinterpret_cast<const char *>(&f), 4));
        const uint32_t bytes = deep_packed_bytes(f), stride = bytes * kW + 24;
        std::vector<uint8_t> src(size_t(stride) * kH, 0xa5);
        std::vector<DeepPixel> held(size_t(kW) * kH);
        for (uint32_t y = 0; y < kH; ++y)
            for (uint32_t x = 0; x < kW; ++x)
                held[size_t(y) * kW + x] = deep_put(f, want(x, y), &src[size_t(y) * stride + bytes * x]);
        const Yuv ref = reference(held);
        const uint32_t cw = (kW + 1) / 2;
        std::vector<uint8_t> first;
        for (Converter convert : {Converter(deep_to_yuv420p_bt709), Converter(deep_to_yuv420p_bt709_portable)}) {
            std::vector<uint8_t> out(kW * kH + 2 * cw * kH / 2, 0);
            uint8_t *y = out.data(), *u = y + kW * kH, *v = u + cw * kH / 2;
            ASSERT_EQ(convert(f, kW, kH, src.data(), stride, y, u, v), 0);
            int worst = 0;
            for (size_t i = 0; i < ref.y.size(); ++i)
                worst = std::max(worst, std::abs(y[i] - ref.y[i]));
            for (size_t i = 0; i < ref.u.size(); ++i)
                worst = std::max({worst, std::abs(u[i] - ref.u[i]), std::abs(v[i] - ref.v[i])});
            EXPECT_LE(worst, 1);
            // The AVX2 build computes as the portable one does.
            if (first.empty())
                first = out;
            else
                EXPECT_TRUE(first == out);
            // Along the grey ramp Y climbs one code at a time through the whole range.
            for (uint32_t x = 1; x < kW; ++x) {
                ASSERT_GE(y[x], y[x - 1]) << x;
                if (f != DEEP_RG16) {
                    ASSERT_LE(y[x] - y[x - 1], 1) << x;
                }
            }
            EXPECT_EQ(y[0], 16);
            EXPECT_EQ(y[kW - 1], 235);
        }
    }
}

TEST(DeepConvert, RefusesWhatItCannotConvertAndWritesNothing)
{
    std::vector<uint8_t> src(8 * 64 * 4, 0), out(64 * 4 * 2, 7);
    uint8_t *y = out.data(), *u = y + 256, *v = u + 64;
    EXPECT_EQ(deep_to_yuv420p_bt709(DEEP_XR30, 64, 3, src.data(), 256, y, u, v), -1);  // odd height
    EXPECT_EQ(deep_to_yuv420p_bt709(DEEP_XR48, 64, 4, src.data(), 256, y, u, v), -1);  // stride < 8 x 64
    EXPECT_EQ(deep_to_yuv420p_bt709(deep_fourcc('X', 'R', '2', '4'), 64, 4, src.data(), 256, y, u, v), -1);
    EXPECT_EQ(deep_to_yuv420p_bt709(DEEP_P010, 64, 4, src.data(), 256, y, u, v), -1);  // planar
    EXPECT_EQ(deep_to_yuv420p_bt709(DEEP_RG16, 64, 4, nullptr, 256, y, u, v), -1);
    EXPECT_EQ(p010_to_yuv420p(63, 4, src.data(), 128, src.data(), 128, y, u, v), -1);  // odd width
    EXPECT_EQ(p010_to_yuv420p(64, 4, src.data(), 126, src.data(), 128, y, u, v), -1);  // short rows
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 7; }));
}

TEST(DeepConvert, P010SamplesRoundToEightBits)
{
    constexpr uint32_t w = 1024, h = 2;
    std::vector<uint16_t> luma(w * h), chroma(w);
    for (uint32_t i = 0; i < w * h; ++i)
        luma[i] = uint16_t((i % 1024) << 6 | 0x15);  // low bits are not part of the value
    for (uint32_t i = 0; i < w; ++i)
        chroma[i] = uint16_t(((i * 7) % 1024) << 6);
    std::vector<uint8_t> y(w * h), u(w / 2), v(w / 2);
    ASSERT_EQ(p010_to_yuv420p(w, h, reinterpret_cast<const uint8_t *>(luma.data()), 2 * w,
                              reinterpret_cast<const uint8_t *>(chroma.data()), 2 * w, y.data(), u.data(), v.data()),
              0);
    auto expect = [](uint32_t code) { return int(std::min(255L, std::lround(code / 4.0 + 1e-9))); };
    for (uint32_t i = 0; i < w * h; ++i)
        ASSERT_EQ(y[i], expect(i % 1024)) << i;
    for (uint32_t i = 0; i < w / 2; ++i) {
        ASSERT_EQ(u[i], expect((2 * i * 7) % 1024)) << i;
        ASSERT_EQ(v[i], expect(((2 * i + 1) * 7) % 1024)) << i;
    }
}

}  // namespace
