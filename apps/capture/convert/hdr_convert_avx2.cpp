// The HDR converter's kernel built for AVX2 (FMA-free, so it rounds as the
// portable build does; the table reads become gathers). Only the code in
// the target region is built for AVX2: the standard headers come before it.
#include <cstddef>
#include <cstdint>
#include <immintrin.h>

#include "apps/capture/convert/hdr_convert.h"
#include "apps/capture/convert/hdr_convert_internal.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace hdr_avx2 {
#include "apps/capture/convert/hdr_convert_kernel.h"
#include "apps/capture/convert/avx2_rows.h"

// Eight values of a log table at once, read as log_lut reads one.
inline __m256 log_lut8(const float *table, __m256 x)
{
    using hdr_convert_detail::kLogBits;
    x = _mm256_max_ps(x, _mm256_set1_ps(1.0f / float(1u << hdr_convert_detail::kLogOctaves)));
    x = _mm256_min_ps(x, _mm256_set1_ps(1.0f));
    const __m256i near = _mm256_add_epi32(_mm256_castps_si256(x), _mm256_set1_epi32(1 << (22 - kLogBits)));
    const __m256i i = _mm256_sub_epi32(_mm256_srli_epi32(near, 23 - kLogBits),
                                       _mm256_set1_epi32((127 - hdr_convert_detail::kLogOctaves) << kLogBits));
    return _mm256_i32gather_ps(table, i, 4);
}

inline __m256 horner(const float (&c)[5], __m256 v)
{
    __m256 p = _mm256_set1_ps(c[4]);
    for (int i = 3; i >= 0; --i)
        p = _mm256_add_ps(_mm256_mul_ps(p, v), _mm256_set1_ps(c[i]));
    return p;
}

// encode_gamma of eight values, each computed as it computes one.
inline __m256 encode_gamma8(__m256 x)
{
    x = _mm256_max_ps(x, _mm256_set1_ps(1.0f / float(1u << 28)));
    x = _mm256_min_ps(x, _mm256_set1_ps(1.0f));
    const __m256i bits = _mm256_castps_si256(x);
    const __m256i e = _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127 - 36));
    const __m256 s = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_slli_epi32(e, 2), e)),
                                   _mm256_set1_ps(1.0f / 12.0f));
    const __m256i whole = _mm256_cvttps_epi32(s);
    const __m256 f = _mm256_sub_ps(s, _mm256_cvtepi32_ps(whole));
    const __m256 m = _mm256_castsi256_ps(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x7fffff)), _mm256_set1_epi32(0x3f800000)));
    const __m256 y = _mm256_mul_ps(horner(kGammaPoly, _mm256_sub_ps(m, _mm256_set1_ps(1.5f))), horner(kExp2Poly, f));
    const __m256i scale = _mm256_slli_epi32(_mm256_sub_epi32(whole, _mm256_set1_epi32(15)), 23);
    return _mm256_castsi256_ps(_mm256_add_epi32(_mm256_castps_si256(y), scale));
}

inline __m256 dot8(const float *m, __m256 r, __m256 g, __m256 b)
{
    const __m256 x = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(m[0]), r), _mm256_mul_ps(_mm256_set1_ps(m[1]), g));
    return _mm256_add_ps(x, _mm256_mul_ps(_mm256_set1_ps(m[2]), b));
}

// The passes eight pixels a step, each value computed as the plain loops
// compute it.
struct Wide {
    uint32_t hlg(const Tables &t, uint32_t n, float *r, float *g, float *b) const
    {
        uint32_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m256 cr = _mm256_loadu_ps(r + i), cg = _mm256_loadu_ps(g + i), cb = _mm256_loadu_ps(b + i);
            const __m256 ys = dot8(t.ys, cr, cg, cb);
            const __m256 k = log_lut8(t.hlg_gain, ys);
            _mm256_storeu_ps(r + i, log_lut8(t.eetf, _mm256_mul_ps(k, cr)));
            _mm256_storeu_ps(g + i, log_lut8(t.eetf, _mm256_mul_ps(k, cg)));
            _mm256_storeu_ps(b + i, log_lut8(t.eetf, _mm256_mul_ps(k, cb)));
        }
        return i;
    }

    // light_to_signal of pixels i to i + 7, in registers.
    static Rgb8 signal8(const Tables &t, const float *r, const float *g, const float *b, uint32_t i)
    {
        __m256 cr = _mm256_loadu_ps(r + i), cg = _mm256_loadu_ps(g + i), cb = _mm256_loadu_ps(b + i);
        if (t.matrix) {
            const __m256 mr = dot8(t.m, cr, cg, cb), mg = dot8(t.m + 3, cr, cg, cb), mb = dot8(t.m + 6, cr, cg, cb);
            cr = mr, cg = mg, cb = mb;
        }
        return Rgb8{encode_gamma8(cr), encode_gamma8(cg), encode_gamma8(cb)};
    }

    uint32_t light(const Tables &t, uint32_t n, float *r, float *g, float *b) const
    {
        uint32_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const Rgb8 c = signal8(t, r, g, b, i);
            _mm256_storeu_ps(r + i, c.r);
            _mm256_storeu_ps(g + i, c.g);
            _mm256_storeu_ps(b + i, c.b);
        }
        return i;
    }

    // 16 pixels a step: R', G', B' made, the 8-bit luma stored and the pair
    // sums written straight from registers, in the plain loops' order.
    template <class T>
    uint32_t finish(const Tables &t, const Coeffs &k, uint32_t n, const float *r, const float *g, const float *b,
                    T *y, float *const (&pairs)[3]) const
    {
        if constexpr (sizeof(T) != 1)
            return 0;
        else
            return fused_rows(n, LumaWeights{k.y0, k.yr, k.yg, k.yb, k.top}, y, pairs,
                              [&](uint32_t i) { return signal8(t, r, g, b, i); });
    }
};
}  // namespace hdr_avx2

void hdr_convert_detail::signal_row_avx2(uint32_t fourcc, const Tables &t, const uint8_t *src, uint32_t n, float *r,
                                         float *g, float *b)
{
    hdr_avx2::signal_row(fourcc, t, src, n, r, g, b, hdr_avx2::Wide{});
}

void hdr_convert_detail::convert_avx2_8(uint32_t fourcc, const Tables &t, const Coeffs &k, uint32_t width,
                                        uint32_t height, const uint8_t *src, uint32_t stride, float *scratch,
                                        uint8_t *y, uint8_t *u, uint8_t *v)
{
    hdr_avx2::convert_rows<uint8_t>(fourcc, t, k, width, height, src, stride, scratch, y, u, v, hdr_avx2::Wide{});
}

void hdr_convert_detail::convert_avx2_16(uint32_t fourcc, const Tables &t, const Coeffs &k, uint32_t width,
                                         uint32_t height, const uint8_t *src, uint32_t stride, float *scratch,
                                         uint16_t *y, uint16_t *u, uint16_t *v)
{
    hdr_avx2::convert_rows<uint16_t>(fourcc, t, k, width, height, src, stride, scratch, y, u, v, hdr_avx2::Wide{});
}
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
