// Deep-colour pixels for the tests: channel values in [0, 1] (beyond it for
// half floats) quantised to a format's codes and stored in its layout, as
// the layouts of deep_convert.h describe them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "apps/capture/convert/deep_convert.h"

inline constexpr uint32_t kDeepPacked[] = {DEEP_XR30, DEEP_AR30, DEEP_XB30, DEEP_AB30, DEEP_XR48, DEEP_AR48, DEEP_XB48,
                                           DEEP_AB48, DEEP_XR4H, DEEP_AR4H, DEEP_XB4H, DEEP_AB4H, DEEP_RG16};

struct DeepPixel {
    double r, g, b, a;
};

inline uint16_t deep_half_of(double v)
{
    const uint16_t sign = v < 0 ? 0x8000 : 0;
    const double a = std::fabs(v);
    if (a == 0)
        return sign;
    int e;
    std::frexp(a, &e);  // a = m 2^e, m in [0.5, 1)
    int biased = e + 14;
    if (biased <= 0)
        return uint16_t(sign | uint16_t(std::lround(a * 16777216.0)));
    long f = std::lround((std::ldexp(a, 1 - e) - 1) * 1024);
    if (f == 1024)
        f = 0, ++biased;
    return uint16_t(sign | biased << 10 | f);
}

inline double deep_value_of_half(uint16_t h)
{
    const int e = (h >> 10) & 31, m = h & 1023;
    const double x = e == 0 ? std::ldexp(double(m), -24) : std::ldexp(double(m | 1024), e - 25);
    return std::clamp(h & 0x8000 ? -x : x, 0.0, 1.0);
}

// Stores want at px and returns the values a reader gets back (quantised,
// clamped to [0, 1]; alpha 1 for formats without it).
inline DeepPixel deep_put(uint32_t f, DeepPixel want, uint8_t *px)
{
    auto code = [](double v, uint32_t max) { return uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * max)); };
    const bool alpha = deep_has_alpha(f);
    if (deep_packed_bytes(f) == 4) {
        const uint32_t r = code(want.r, 1023), g = code(want.g, 1023), b = code(want.b, 1023);
        const uint32_t a = alpha ? code(want.a, 3) : 0;
        const bool red_low = f == DEEP_XB30 || f == DEEP_AB30;
        const uint32_t w = a << 30 | (red_low ? b : r) << 20 | g << 10 | (red_low ? r : b);
        std::memcpy(px, &w, 4);
        return {r / 1023.0, g / 1023.0, b / 1023.0, alpha ? a / 3.0 : 1.0};
    }
    if (f == DEEP_RG16) {
        const uint32_t r = code(want.r, 31), g = code(want.g, 63), b = code(want.b, 31);
        const uint16_t w = uint16_t(r << 11 | g << 5 | b);
        std::memcpy(px, &w, 2);
        return {r / 31.0, g / 63.0, b / 31.0, 1.0};
    }
    const bool half = f == DEEP_XR4H || f == DEEP_AR4H || f == DEEP_XB4H || f == DEEP_AB4H;
    const bool red_first = f == DEEP_XB48 || f == DEEP_AB48 || f == DEEP_XB4H || f == DEEP_AB4H;
    const double in[4] = {red_first ? want.r : want.b, want.g, red_first ? want.b : want.r, want.a};
    uint16_t c[4];
    double got[4];
    for (int i = 0; i < 4; ++i) {
        c[i] = half ? deep_half_of(in[i]) : uint16_t(code(in[i], 65535));
        got[i] = half ? deep_value_of_half(c[i]) : c[i] / 65535.0;
    }
    std::memcpy(px, c, 8);
    return {red_first ? got[0] : got[2], got[1], red_first ? got[2] : got[0], alpha ? got[3] : 1.0};
}
