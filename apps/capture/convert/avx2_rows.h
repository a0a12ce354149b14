// The AVX2 kernels' common row step: 16 pixels' R', G', B' (eight at a time
// from load) to 8-bit luma stored and column-pair sums written straight from
// registers, each value computed in the order the plain loops compute it.
// Included inside each file's AVX2 target region (after <immintrin.h>), into
// a namespace of its own.

struct Rgb8 {
    __m256 r, g, b;
};

// The luma's weights as the plain loops apply them: y0 + yr R' + yg G' + yb
// B', clamped to [0, top] and truncated (y0 holds the half that rounds).
struct LumaWeights {
    float y0, yr, yg, yb, top;
};

// Returns how many pixels it did (a multiple of 16); load(p) gives the R',
// G', B' of pixels p to p + 7.
template <class Load>
inline uint32_t fused_rows(uint32_t n, const LumaWeights &w, uint8_t *y, float *const (&pairs)[3], Load load)
{
    auto luma = [&](const Rgb8 &c) {
        __m256 x = _mm256_add_ps(_mm256_set1_ps(w.y0), _mm256_mul_ps(_mm256_set1_ps(w.yr), c.r));
        x = _mm256_add_ps(x, _mm256_mul_ps(_mm256_set1_ps(w.yg), c.g));
        x = _mm256_add_ps(x, _mm256_mul_ps(_mm256_set1_ps(w.yb), c.b));
        x = _mm256_min_ps(_mm256_max_ps(x, _mm256_setzero_ps()), _mm256_set1_ps(w.top));
        return _mm256_cvttps_epi32(x);
    };
    auto pair = [](__m256 a, __m256 b, float *out) {
        const __m256d sums = _mm256_castps_pd(_mm256_hadd_ps(a, b));
        _mm256_storeu_ps(out, _mm256_castpd_ps(_mm256_permute4x64_pd(sums, 0xD8)));
    };
    uint32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const Rgb8 a = load(i), b = load(i + 8);
        const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(luma(a), luma(b)), 0xD8);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(y + i), _mm256_castsi256_si128(bytes));
        pair(a.r, b.r, pairs[0] + i / 2);
        pair(a.g, b.g, pairs[1] + i / 2);
        pair(a.b, b.b, pairs[2] + i / 2);
    }
    return i;
}
