// The deep-colour kernel built for AVX2 and F16C (FMA-free, so it rounds as
// the portable build does). Only the code in the target region is built for
// AVX2: the standard headers come before it.
#include <cstddef>
#include <cstdint>
#include <immintrin.h>

#include "apps/capture/convert/deep_convert.h"
#include "apps/capture/convert/deep_convert_internal.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,f16c"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,f16c")
#endif
namespace deep_avx2 {
#include "apps/capture/convert/deep_convert_kernel.h"

#include "apps/capture/convert/avx2_rows.h"

// Rows 16 pixels a step: decoded, Y stored and the pair sums written
// straight from registers (avx2_rows.h). load(p) gives the R, G, B of
// pixels p to p + 7.
template <class Load>
inline uint32_t fused_rows(uint32_t n, uint8_t *y, float *const (&pairs)[3], Load load)
{
    return fused_rows(n, LumaWeights{16.5f, kYr, kYg, kYb, 255.0f}, y, pairs, load);
}

template <int r_shift, int b_shift>
uint32_t fused_2101010(const uint8_t *src, uint32_t n, uint8_t *y, float *const (&pairs)[3])
{
    const __m256i mask = _mm256_set1_epi32(1023);
    const __m256 k = _mm256_set1_ps(1.0f / 1023.0f);
    return fused_rows(n, y, pairs, [&](uint32_t p) {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 4 * size_t(p)));
        auto channel = [&](int shift) {
            const __m256i c = _mm256_and_si256(_mm256_srl_epi32(w, _mm_cvtsi32_si128(shift)), mask);
            return _mm256_mul_ps(_mm256_cvtepi32_ps(c), k);
        };
        return Rgb8{channel(r_shift), channel(10), channel(b_shift)};
    });
}

// 16-bit channels, integer or half float (converted by F16C and clamped
// to [0, 1], NaN to 0, the values of the portable table). Eight pixels are
// two vectors; a byte shuffle takes one channel of each pixel to a dword
// (the first vector's pixels to dwords 0-1 of each lane, the second's to
// 2-3), and a dword permute puts them in pixel order.
inline __m256i shuffle_for(int c, int first_dword)
{
    alignas(32) int8_t m[32];
    for (int lane = 0; lane < 2; ++lane)
        for (int d = 0; d < 4; ++d) {
            const int pixel = d - first_dword;  // of the lane's two
            const bool used = pixel == 0 || pixel == 1;
            int8_t *b = m + 16 * lane + 4 * d;
            b[0] = used ? int8_t(8 * pixel + 2 * c) : -1;
            b[1] = used ? int8_t(8 * pixel + 2 * c + 1) : -1;
            b[2] = b[3] = -1;
        }
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(m));
}

template <int ri, int bi, bool is_half>
uint32_t fused_16161616(const uint8_t *src, uint32_t n, uint8_t *y, float *const (&pairs)[3])
{
    const __m256i lo[3] = {shuffle_for(ri, 0), shuffle_for(1, 0), shuffle_for(bi, 0)};
    const __m256i hi[3] = {shuffle_for(ri, 2), shuffle_for(1, 2), shuffle_for(bi, 2)};
    const __m256i order = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    const __m256 k = _mm256_set1_ps(1.0f / 65535.0f);
    return fused_rows(n, y, pairs, [&](uint32_t p) {
        const uint8_t *px = src + 8 * size_t(p);
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px + 32));
        auto channel = [&](int c) {
            const __m256i code = _mm256_permutevar8x32_epi32(
                _mm256_or_si256(_mm256_shuffle_epi8(a, lo[c]), _mm256_shuffle_epi8(b, hi[c])), order);
            if constexpr (is_half) {
                const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(code, code), 0x08);
                const __m256 x = _mm256_cvtph_ps(_mm256_castsi256_si128(words));
                return _mm256_min_ps(_mm256_max_ps(x, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
            } else {
                return _mm256_mul_ps(_mm256_cvtepi32_ps(code), k);
            }
        };
        return Rgb8{channel(0), channel(1), channel(2)};
    });
}

// RGB565: eight 16-bit pixels widened to dwords, fields masked out.
inline uint32_t fused_565(const uint8_t *src, uint32_t n, uint8_t *y, float *const (&pairs)[3])
{
    return fused_rows(n, y, pairs, [&](uint32_t p) {
        const __m256i w =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * size_t(p))));
        auto field = [&](int shift, int mask, float k) {
            const __m256i c = _mm256_and_si256(_mm256_srli_epi32(w, shift), _mm256_set1_epi32(mask));
            return _mm256_mul_ps(_mm256_cvtepi32_ps(c), _mm256_set1_ps(k));
        };
        return Rgb8{field(11, 31, 1.0f / 31.0f), field(5, 63, 1.0f / 63.0f), field(0, 31, 1.0f / 31.0f)};
    });
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
                                   if (f == DEEP_XR48 || f == DEEP_AR48)
                                       return deep_avx2::fused_16161616<2, 0, false>(row, n, luma, p);
                                   if (f == DEEP_XB48 || f == DEEP_AB48)
                                       return deep_avx2::fused_16161616<0, 2, false>(row, n, luma, p);
                                   if (f == DEEP_XR4H || f == DEEP_AR4H)
                                       return deep_avx2::fused_16161616<2, 0, true>(row, n, luma, p);
                                   if (f == DEEP_XB4H || f == DEEP_AB4H)
                                       return deep_avx2::fused_16161616<0, 2, true>(row, n, luma, p);
                                   if (f == DEEP_RG16)
                                       return deep_avx2::fused_565(row, n, luma, p);
                                   return 0u;
                               });
}
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
