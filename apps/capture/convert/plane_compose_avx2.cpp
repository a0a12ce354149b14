// The composer's filter passes 256 bits wide. Only these functions are built
// for AVX2; the composer calls them where the processor has it, and its
// portable passes finish what they leave (each returns how far it got).
#include <immintrin.h>

#include "apps/capture/convert/plane_compose_internal.h"

namespace plane_compose_detail {

#define VISTREL_AVX2 __attribute__((target("avx2")))

VISTREL_AVX2 size_t filter_down_avx2(const uint8_t *top, const uint8_t *bottom, uint32_t wy, size_t count, int16_t *dst)
{
    const __m256i w = _mm256_set1_epi32(int32_t((wy << 16) | (kTapOne - wy)));
    const __m256i zero = _mm256_setzero_si256(), round = _mm256_set1_epi32(16);
    auto mix = [&](__m256i pairs)
                   VISTREL_AVX2 { return _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(pairs, w), round), 5); };
    size_t j = 0;
    for (; j + 32 <= count; j += 32) {
        const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(top + j));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bottom + j));
        const __m256i tl = _mm256_unpacklo_epi8(t, zero), th = _mm256_unpackhi_epi8(t, zero);
        const __m256i bl = _mm256_unpacklo_epi8(b, zero), bh = _mm256_unpackhi_epi8(b, zero);
        // Per 128-bit half: bytes 0-7 then 8-15 of that half.
        const __m256i lo = _mm256_packs_epi32(mix(_mm256_unpacklo_epi16(tl, bl)), mix(_mm256_unpackhi_epi16(tl, bl)));
        const __m256i hi = _mm256_packs_epi32(mix(_mm256_unpacklo_epi16(th, bh)), mix(_mm256_unpackhi_epi16(th, bh)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + j), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + j + 16), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    return j;
}

namespace {

template <bool Swap, bool KeepAlpha, bool Opaque>
VISTREL_AVX2 uint32_t across_packed(const int16_t *row, const uint32_t *index, const int32_t *weight, uint32_t n,
                                    uint16_t *line, uint32_t *out)
{
    const __m256i round = _mm256_set1_epi32(1024), bias = _mm256_set1_epi32(32768);
    const __m256i flip = _mm256_set1_epi16(int16_t(0x8000)), half = _mm256_set1_epi16(128);
    const __m256i colour = _mm256_setr_epi16(-1, -1, -1, 0, -1, -1, -1, 0, -1, -1, -1, 0, -1, -1, -1, 0);
    const __m256i opaque = _mm256_setr_epi16(0, 0, 0, int16_t(kFull), 0, 0, 0, int16_t(kFull), 0, 0, 0, int16_t(kFull),
                                             0, 0, 0, int16_t(kFull));
    const __m128i x = _mm_set1_epi32(int32_t(0xff000000u));
    auto pairs = [&](uint32_t i) VISTREL_AVX2 {
        const int16_t *p = row + 4 * size_t(index[i]);
        return _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 4)));
    };
    // Two pixels, one per 128-bit half.
    auto two = [&](uint32_t i) VISTREL_AVX2 {
        const __m256i w = _mm256_setr_epi32(weight[i], weight[i], weight[i], weight[i], weight[i + 1], weight[i + 1],
                                            weight[i + 1], weight[i + 1]);
        const __m256i p = _mm256_inserti128_si256(_mm256_castsi128_si256(pairs(i)), pairs(i + 1), 1);
        return _mm256_sub_epi32(_mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(p, w), round), 11), bias);
    };
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        // Pixels 0 2 | 1 3, put in order.
        __m256i v = _mm256_permute4x64_epi64(_mm256_xor_si256(_mm256_packs_epi32(two(i), two(i + 2)), flip),
                                             _MM_SHUFFLE(3, 1, 2, 0));
        if (Swap)
            v = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(v, _MM_SHUFFLE(3, 0, 1, 2)), _MM_SHUFFLE(3, 0, 1, 2));
        if (Opaque) {
            const __m256i b =
                _mm256_packus_epi16(_mm256_srli_epi16(_mm256_adds_epu16(v, half), 8), _mm256_setzero_si256());
            const __m256i px = _mm256_permute4x64_epi64(b, _MM_SHUFFLE(3, 1, 2, 0));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_or_si128(_mm256_castsi256_si128(px), x));
            continue;
        }
        if (!KeepAlpha)
            v = _mm256_or_si256(_mm256_and_si256(v, colour), opaque);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(line + 4 * size_t(i)), v);
    }
    return i;
}

}  // namespace

VISTREL_AVX2 uint32_t filter_across_packed_avx2(bool swap, bool keep_alpha, bool opaque, const int16_t *row,
                                                const uint32_t *index, const int32_t *weight, uint32_t n,
                                                uint16_t *line, uint32_t *out)
{
    if (opaque)
        return swap ? across_packed<true, false, true>(row, index, weight, n, line, out)
                    : across_packed<false, false, true>(row, index, weight, n, line, out);
    if (keep_alpha)
        return swap ? across_packed<true, true, false>(row, index, weight, n, line, out)
                    : across_packed<false, true, false>(row, index, weight, n, line, out);
    return swap ? across_packed<true, false, false>(row, index, weight, n, line, out)
                : across_packed<false, false, false>(row, index, weight, n, line, out);
}

}  // namespace plane_compose_detail

namespace plane_compose_detail {

VISTREL_AVX2 uint32_t copy_row_avx2(const uint8_t *src, uint32_t n, bool swap, uint32_t *out)
{
    const __m256i x = _mm256_set1_epi32(int32_t(0xff000000u));
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3, 6, 5, 4, 7,
                                           10, 9, 8, 11, 14, 13, 12, 15);
    uint32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 4 * size_t(i)));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 4 * size_t(i) + 32));
        if (swap) {
            a = _mm256_shuffle_epi8(a, order);
            b = _mm256_shuffle_epi8(b, order);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), _mm256_or_si256(a, x));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i + 8), _mm256_or_si256(b, x));
    }
    return i;
}

}  // namespace plane_compose_detail
