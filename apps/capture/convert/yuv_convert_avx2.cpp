// The two 256-bit converters. Only these functions are built for AVX2, so the
// rest of the program runs on any x86-64; each refuses to run (-1) on a
// processor without it.
#include "apps/capture/convert/yuv_convert.h"

#include <cstring>
#include <immintrin.h>

namespace {

#define VISTREL_AVX2 __attribute__((target("avx2")))

// Converts 16 pixels: 16 Y bytes and, when chroma is wanted, 8 U and 8 V bytes
// from pixels 0, 2, ..., 14. The offsets are folded into the biases.
VISTREL_AVX2 inline void convert_block(const uint8_t *px, int32_t y_bias, int32_t c_bias, uint8_t *y, uint8_t *u,
                                       uint8_t *v)
{
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px + 32));
    // Per lane: R0-3 G0-3 B0-3 X0-3.
    const __m256i gather = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9,
                                            13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i pa = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(a, gather), order);
    const __m256i pb = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(b, gather), order);
    const __m256i rb = _mm256_unpacklo_epi64(pa, pb);  // R0-15 | B0-15
    const __m256i gx = _mm256_unpackhi_epi64(pa, pb);  // G0-15 | X0-15
    const __m256i r16 = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(rb));
    const __m256i b16 = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(rb, 1));
    const __m256i g16 = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(gx));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i rg_lo = _mm256_unpacklo_epi16(r16, g16), rg_hi = _mm256_unpackhi_epi16(r16, g16);
    const __m256i b_lo = _mm256_unpacklo_epi16(b16, zero), b_hi = _mm256_unpackhi_epi16(b16, zero);

    auto channel = [&](int16_t wr, int16_t wg, int16_t wb, int32_t bias) VISTREL_AVX2 {
        const __m256i wrg =
            _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(wr)) | (static_cast<int32_t>(wg) << 16));
        const __m256i wbv = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(wb)));
        const __m256i k = _mm256_set1_epi32(bias);
        __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(rg_lo, wrg), _mm256_madd_epi16(b_lo, wbv));
        __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(rg_hi, wrg), _mm256_madd_epi16(b_hi, wbv));
        lo = _mm256_srai_epi32(_mm256_add_epi32(lo, k), 8);
        hi = _mm256_srai_epi32(_mm256_add_epi32(hi, k), 8);
        const __m256i w16 = _mm256_packs_epi32(lo, hi);  // pixel order 0-15
        return _mm256_packus_epi16(w16, zero);           // lane0 p0-7, lane1 p8-15
    };

    const __m256i y8 = channel(66, 129, 25, y_bias);
    const __m256i y_all = _mm256_permute4x64_epi64(y8, 0x08);  // qwords 0, 2
    _mm_storeu_si128(reinterpret_cast<__m128i *>(y), _mm256_castsi256_si128(y_all));
    if (!u)
        return;
    const __m256i evens = _mm256_setr_epi8(0, 2, 4, 6, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 2, 4, 6, -1,
                                           -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i pick = _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0);
    const __m256i u8 = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(channel(-38, -74, 112, c_bias), evens), pick);
    const __m256i v8 = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(channel(112, -94, -18, c_bias), evens), pick);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(u), _mm256_castsi256_si128(u8));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(v), _mm256_castsi256_si128(v8));
}

VISTREL_AVX2 void convert_rows(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y,
                               uint8_t *u, uint8_t *v, int32_t y_bias, int32_t c_bias)
{
    const size_t half = width / 2;
    for (uint32_t r = 0; r < height; ++r) {
        const uint8_t *row = src + static_cast<size_t>(r) * stride;
        uint8_t *yrow = y + static_cast<size_t>(r) * width;
        const bool chroma = (r & 1) == 0;
        uint8_t *urow = u + static_cast<size_t>(r / 2) * half;
        uint8_t *vrow = v + static_cast<size_t>(r / 2) * half;
        for (uint32_t x = 0; x < width; x += 16)
            convert_block(row + 4 * static_cast<size_t>(x), y_bias, c_bias, yrow + x, chroma ? urow + x / 2 : nullptr,
                          vrow + x / 2);
    }
}

}  // namespace

int rgba_to_yuv420p_avx2(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u,
                         uint8_t *v)
{
    if (width % 16 != 0 || !yuv_convert_have_avx2())
        return -1;
    if (width == 0 || height == 0)
        return 0;
    if (!src || !y || !u || !v)
        return -1;
    convert_rows(width, height, src, stride, y, u, v, 16 * 256 + 128, 128 * 256 + 128);
    return 0;
}

int abgr2101010_to_yuv420p_avx2(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y,
                                uint8_t *u, uint8_t *v)
{
    if (width % 16 != 0 || height % 2 != 0 || !yuv_convert_have_avx2())
        return -1;
    if (width == 0 || height == 0)
        return 0;
    if (!src || !y || !u || !v)
        return -1;
    // Rows come in pairs; the upper row of each pair carries the chroma.
    convert_rows(width, height, src, stride, y, u, v, 16 * 256, 128 * 256);
    return 0;
}
