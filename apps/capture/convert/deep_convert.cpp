#include <cpuid.h>
#include "apps/capture/convert/deep_convert.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "apps/capture/convert/deep_convert_internal.h"
#include "apps/capture/convert/yuv_convert.h"

namespace deep_portable {
#include "apps/capture/convert/deep_convert_kernel.h"
}  // namespace deep_portable

namespace {

// Every half float as a float clamped to [0, 1] (NaN to 0), made once.
const float *half_table()
{
    static const std::vector<float> table = [] {
        std::vector<float> t(65536);
        for (uint32_t h = 0; h < 65536; ++h) {
            const uint32_t e = (h >> 10) & 31, m = h & 1023;
            float x = e == 0    ? std::ldexp(float(m), -24)
                      : e == 31 ? (m ? NAN : INFINITY)
                                : std::ldexp(float(m | 1024), int(e) - 25);
            x = h & 0x8000 ? -x : x;
            t[h] = std::isnan(x) ? 0.0f : x < 0.0f ? 0.0f : x > 1.0f ? 1.0f : x;
        }
        return t;
    }();
    return table.data();
}

// The decoded row and four pair-sum rows; grows to the widest picture seen.
bool scratch_for(uint32_t width, deep_portable::Scratch *s)
{
    static thread_local std::vector<float> store;
    const size_t cw = (size_t(width) + 1) / 2 + 8, w = size_t(width) + 8;
    try {
        if (store.size() < 3 * w + 12 * cw)
            store.resize(3 * w + 12 * cw);
    } catch (const std::bad_alloc &) {
        return false;
    }
    float *p = store.data();
    s->r = p;
    s->g = p + w;
    s->b = p + 2 * w;
    p += 3 * w;
    for (auto &row : s->pairs)
        for (float *&c : row) {
            c = p;
            p += cw;
        }
    return true;
}

bool args_ok(uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y,
             uint8_t *u, uint8_t *v)
{
    const uint32_t bytes = deep_packed_bytes(fourcc);
    return bytes && height % 2 == 0 && src && y && u && v && uint64_t(stride) >= uint64_t(bytes) * width;
}

}  // namespace

namespace {

int convert(bool avx2, uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
            uint8_t *y, uint8_t *u, uint8_t *v)
{
    if (!args_ok(fourcc, width, height, src, stride, y, u, v))
        return -1;
    if (width == 0 || height == 0)
        return 0;
    deep_portable::Scratch s;
    if (!scratch_for(width, &s))
        return -1;
    if (avx2)
        deep_convert_detail::convert_avx2(fourcc, width, height, src, stride, half_table(), s.r, s.g, s.b, s.pairs, y,
                                          u, v);
    else
        deep_portable::convert_picture(
            fourcc, width, height, src, stride, half_table(), s, y, u, v,
            [](uint32_t, const uint8_t *, uint32_t, uint8_t *, float *const(&)[3]) { return 0u; });
    return 0;
}

}  // namespace

int deep_to_yuv420p_bt709_portable(uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src,
                                   uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v)
{
    return convert(false, fourcc, width, height, src, stride, y, u, v);
}

int deep_to_yuv420p_bt709(uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                          uint8_t *y, uint8_t *u, uint8_t *v)
{
    // Every processor with AVX2 has F16C; both are asked for all the same
    // (through cpuid: not every compiler's builtin knows F16C).
    static const bool avx2 = yuv_convert_have_avx2() && [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C) != 0;
    }();
    return convert(avx2, fourcc, width, height, src, stride, y, u, v);
}

void deep_row_to_bgra8(uint32_t f, const uint8_t *src, uint32_t n, uint8_t *out)
{
    const uint32_t bytes = deep_packed_bytes(f);
    const bool alpha = deep_has_alpha(f), is_half = f == DEEP_AR4H || f == DEEP_AB4H;
    const float *half = half_table();
    // Pixels in runs, through the float decoder; each loop plain enough to widen.
    constexpr uint32_t kRun = 256;
    float r[kRun], g[kRun], b[kRun];
    uint8_t a[kRun];
    for (uint32_t done = 0; done < n; done += kRun) {
        const uint32_t m = n - done < kRun ? n - done : kRun;
        const uint8_t *px = src + size_t(done) * bytes;
        deep_portable::decode_row(f, px, m, half, r, g, b);
        if (!alpha) {
            std::memset(a, 255, m);
        } else if (bytes == 4) {
            for (uint32_t i = 0; i < m; ++i) {
                uint32_t w;
                std::memcpy(&w, px + 4 * size_t(i), 4);
                a[i] = uint8_t((w >> 30) * 85);
            }
        } else {
            for (uint32_t i = 0; i < m; ++i) {
                uint16_t c;
                std::memcpy(&c, px + 8 * size_t(i) + 6, 2);
                a[i] = uint8_t((is_half ? half[c] : float(c) * (1.0f / 65535.0f)) * 255.0f + 0.5f);
            }
        }
        uint8_t *o = out + 4 * size_t(done);
        for (uint32_t i = 0; i < m; ++i) {
            const uint32_t pixel = uint32_t(b[i] * 255.0f + 0.5f) | uint32_t(g[i] * 255.0f + 0.5f) << 8 |
                                   uint32_t(r[i] * 255.0f + 0.5f) << 16 | uint32_t(a[i]) << 24;
            std::memcpy(o + 4 * size_t(i), &pixel, 4);
        }
    }
}

void p010_row_to_8(const uint8_t *src, uint32_t n, uint8_t *out)
{
    for (uint32_t i = 0; i < n; ++i) {
        uint16_t s;
        std::memcpy(&s, src + 2 * size_t(i), 2);
        const uint32_t q = ((s >> 6) + 2) >> 2;
        out[i] = uint8_t(q > 255 ? 255 : q);
    }
}

int p010_to_yuv420p(uint32_t width, uint32_t height, const uint8_t *luma, uint32_t luma_stride, const uint8_t *chroma,
                    uint32_t chroma_stride, uint8_t *y, uint8_t *u, uint8_t *v)
{
    if (width % 2 || height % 2 || !luma || !chroma || !y || !u || !v || uint64_t(luma_stride) < 2ull * width ||
        uint64_t(chroma_stride) < 2ull * width)
        return -1;
    const uint32_t cw = width / 2;
    std::vector<uint8_t> pairs(width);
    for (uint32_t row = 0; row < height; ++row)
        p010_row_to_8(luma + size_t(row) * luma_stride, width, y + size_t(row) * width);
    for (uint32_t row = 0; row < height / 2; ++row) {
        p010_row_to_8(chroma + size_t(row) * chroma_stride, width, pairs.data());
        for (uint32_t i = 0; i < cw; ++i) {
            u[size_t(row) * cw + i] = pairs[2 * i];
            v[size_t(row) * cw + i] = pairs[2 * i + 1];
        }
    }
    return 0;
}
