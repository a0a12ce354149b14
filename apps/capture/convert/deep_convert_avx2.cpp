// The deep-colour kernel built for AVX2 (and FMA-free, so it rounds as the
// portable build does). Only the code in the target region is built for
// AVX2: the standard headers come before it.
#include <cstddef>
#include <cstdint>
#include <immintrin.h>

#include "apps/capture/convert/deep_convert.h"
#include "apps/capture/convert/deep_convert_internal.h"

#pragma GCC push_options
#pragma GCC target("avx2")
namespace deep_avx2 {
#include "apps/capture/convert/deep_convert_kernel.h"

// 2:10:10:10 rows 16 pixels a step: decoded, Y stored and the pair sums
// written straight from registers, each value computed in the order the
// plain loops compute it (so the result is the same to the bit).
template <int r_shift, int b_shift>
uint32_t fused_2101010(const uint8_t *src, uint32_t n, uint8_t *y, float *const (&pairs)[3])
{
    const __m256i mask = _mm256_set1_epi32(1023);
    const __m256 k = _mm256_set1_ps(1.0f / 1023.0f);
    auto channel = [&](__m256i w, int shift) {
        return _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srl_epi32(w, _mm_cvtsi32_si128(shift)), mask)),
                             k);
    };
    auto luma = [&](__m256 r, __m256 g, __m256 b) {
        __m256 x = _mm256_add_ps(_mm256_set1_ps(16.5f), _mm256_mul_ps(_mm256_set1_ps(kYr), r));
        x = _mm256_add_ps(x, _mm256_mul_ps(_mm256_set1_ps(kYg), g));
        x = _mm256_add_ps(x, _mm256_mul_ps(_mm256_set1_ps(kYb), b));
        x = _mm256_min_ps(_mm256_max_ps(x, _mm256_setzero_ps()), _mm256_set1_ps(255.0f));
        return _mm256_cvttps_epi32(x);
    };
    auto pair = [](__m256 a, __m256 b, float *out) {
        const __m256d sums = _mm256_castps_pd(_mm256_hadd_ps(a, b));
        _mm256_storeu_ps(out, _mm256_castpd_ps(_mm256_permute4x64_pd(sums, 0xD8)));
    };
    uint32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 4 * size_t(i)));
        const __m256i w1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 4 * size_t(i) + 32));
        const __m256 r0 = channel(w0, r_shift), g0 = channel(w0, 10), b0 = channel(w0, b_shift);
        const __m256 r1 = channel(w1, r_shift), g1 = channel(w1, 10), b1 = channel(w1, b_shift);
        const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(luma(r0, g0, b0), luma(r1, g1, b1)), 0xD8);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(y + i), _mm256_castsi256_si128(bytes));
        pair(r0, r1, pairs[0] + i / 2);
        pair(g0, g1, pairs[1] + i / 2);
        pair(b0, b1, pairs[2] + i / 2);
    }
    return i;
}

}  // namespace deep_avx2

void deep_convert_detail::convert_avx2(uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src,
                                       uint32_t stride, const float *half, float *r, float *g, float *b,
                                       float *const (&pairs)[4][3], uint8_t *y, uint8_t *u, uint8_t *v)
{
    deep_avx2::Scratch s{r, g, b, {}};
    for (int i = 0; i < 4; ++i)
        for (int c = 0; c < 3; ++c)
            s.pairs[i][c] = pairs[i][c];
    deep_avx2::convert_picture(fourcc, width, height, src, stride, half, s, y, u, v,
                               [](uint32_t f, const uint8_t *row, uint32_t n, uint8_t *luma, float *const(&p)[3]) {
                                   if (f == DEEP_XR30 || f == DEEP_AR30)
                                       return deep_avx2::fused_2101010<20, 0>(row, n, luma, p);
                                   if (f == DEEP_XB30 || f == DEEP_AB30)
                                       return deep_avx2::fused_2101010<0, 20>(row, n, luma, p);
                                   return 0u;
                               });
}
#pragma GCC pop_options
