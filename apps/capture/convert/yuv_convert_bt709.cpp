// BT.709 limited-range conversion from full-range packed RGB with the same
// chroma filter as the libswscale path: each chroma sample averages the two
// pixels of its column pair, then weights four rows 1, 3, 3, 1 around its
// row pair (the outer rows clamped at the picture's edges).
//
// The work is done in two passes that share a ring of four rows of
// horizontal pair sums: every source row gives its Y row and its pair sums
// once, and every chroma row is made from the four rows around it while they
// are still in the first-level cache.
#include "apps/capture/convert/yuv_convert.h"

#include <immintrin.h>
#include <new>
#include <vector>

namespace {

#define VISTREL_AVX2 __attribute__((target("avx2")))

// Luma weights in 1/32768, the 219/255 range scaling folded in. Chroma
// weights in 1/524288 of a 16-pixel weighted sum (2 columns x rows 1, 3, 3,
// 1), the 224/255 scaling folded in; each chroma row sums to zero so grey
// stays at 128.
constexpr int kYShift = 15;
constexpr int16_t kYR = 5983, kYG = 20127, kYB = 2032;
constexpr int32_t kYBias = (16 << kYShift) + (1 << (kYShift - 1));
constexpr int kCShift = 19;
constexpr int16_t kUR = -3298, kUG = -11094, kUB = 14392;
constexpr int16_t kVR = 14392, kVG = -13073, kVB = -1319;
constexpr int32_t kCBias = (128 << kCShift) + (1 << (kCShift - 1));

struct ByteOffsets {
    int r, g, b, x;
};

ByteOffsets offsets_of(PackedOrder order)
{
    switch (order) {
    case PACKED_RGBA: return {0, 1, 2, 3};
    case PACKED_BGRA: return {2, 1, 0, 3};
    case PACKED_ARGB: return {1, 2, 3, 0};
    case PACKED_ABGR: return {3, 2, 1, 0};
    }
    return {0, 1, 2, 3};
}

inline uint8_t luma_of(int32_t r, int32_t g, int32_t b)
{
    return uint8_t((kYR * r + kYG * g + kYB * b + kYBias) >> kYShift);
}

// Sums of one chroma sample's 16 weighted pixels per channel.
inline void chroma_of(int32_t r, int32_t g, int32_t b, uint8_t *u, uint8_t *v)
{
    *u = uint8_t((kUR * r + kUG * g + kUB * b + kCBias) >> kCShift);
    *v = uint8_t((kVR * r + kVG * g + kVB * b + kCBias) >> kCShift);
}

// One row of pair sums per channel, cw samples each.
struct PairRow {
    int16_t *r, *g, *b;
};

struct Layout {
    uint32_t width, cw;
    ByteOffsets at;
};

// Y and pair sums of pixels from column `from` to the row's end. An odd
// width's last pair repeats its pixel.
void row_tail(const Layout &l, const uint8_t *row, uint32_t from, uint8_t *y, PairRow pairs)
{
    for (uint32_t c = from; c < l.width; c += 2) {
        const uint8_t *p = row + 4 * size_t(c);
        const uint8_t *q = c + 1 < l.width ? p + 4 : p;
        y[c] = luma_of(p[l.at.r], p[l.at.g], p[l.at.b]);
        if (c + 1 < l.width)
            y[c + 1] = luma_of(q[l.at.r], q[l.at.g], q[l.at.b]);
        pairs.r[c / 2] = int16_t(p[l.at.r] + q[l.at.r]);
        pairs.g[c / 2] = int16_t(p[l.at.g] + q[l.at.g]);
        pairs.b[c / 2] = int16_t(p[l.at.b] + q[l.at.b]);
    }
}

void chroma_tail(uint32_t from, uint32_t cw, const PairRow rows[4], uint8_t *u, uint8_t *v)
{
    for (uint32_t i = from; i < cw; ++i) {
        auto weigh = [&](int16_t *PairRow::*ch) {
            return int32_t((rows[0].*ch)[i]) + 3 * ((rows[1].*ch)[i] + (rows[2].*ch)[i]) + (rows[3].*ch)[i];
        };
        chroma_of(weigh(&PairRow::r), weigh(&PairRow::g), weigh(&PairRow::b), u + i, v + i);
    }
}

// 16 Y bytes of 16 pixels given as 16-bit R, G, B in pixel order.
VISTREL_AVX2 inline __m128i luma16(__m256i r16, __m256i g16, __m256i b16)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i wrg = _mm256_set1_epi32(int32_t(uint16_t(kYR)) | (int32_t(kYG) << 16));
    const __m256i wb = _mm256_set1_epi32(int32_t(uint16_t(kYB)));
    const __m256i k = _mm256_set1_epi32(kYBias);
    const __m256i rg_lo = _mm256_unpacklo_epi16(r16, g16), rg_hi = _mm256_unpackhi_epi16(r16, g16);
    const __m256i b_lo = _mm256_unpacklo_epi16(b16, zero), b_hi = _mm256_unpackhi_epi16(b16, zero);
    __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(rg_lo, wrg), _mm256_madd_epi16(b_lo, wb));
    __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(rg_hi, wrg), _mm256_madd_epi16(b_hi, wb));
    lo = _mm256_srai_epi32(_mm256_add_epi32(lo, k), kYShift);
    hi = _mm256_srai_epi32(_mm256_add_epi32(hi, k), kYShift);
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(lo, hi), zero);
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(bytes, 0x08));
}

// One source row: Y for every pixel and the pair sums, 32 pixels a step.
VISTREL_AVX2 void row_pass(const Layout &l, const uint8_t *row, uint8_t *y, PairRow pairs)
{
    const ByteOffsets &o = l.at;
    // Per 128-bit lane: R0-3 G0-3 B0-3 X0-3; the dword permute and the
    // unpacks below then give R|B and G|X halves.
    alignas(32) int8_t mask[32];
    for (int lane = 0; lane < 2; ++lane)
        for (int k = 0; k < 4; ++k) {
            mask[16 * lane + k] = int8_t(o.r + 4 * k);
            mask[16 * lane + 4 + k] = int8_t(o.g + 4 * k);
            mask[16 * lane + 8 + k] = int8_t(o.b + 4 * k);
            mask[16 * lane + 12 + k] = int8_t(o.x + 4 * k);
        }
    const __m256i gather = _mm256_load_si256(reinterpret_cast<const __m256i *>(mask));
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i ones = _mm256_set1_epi8(1);

    uint32_t c = 0;
    for (; c + 32 <= l.width; c += 32) {
        const uint8_t *px = row + 4 * size_t(c);
        __m256i rb[2], gx[2];
        for (int half = 0; half < 2; ++half) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px + 64 * half));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px + 64 * half + 32));
            const __m256i pa = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(a, gather), order);
            const __m256i pb = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(b, gather), order);
            rb[half] = _mm256_unpacklo_epi64(pa, pb);  // R0-15 | B0-15
            gx[half] = _mm256_unpackhi_epi64(pa, pb);  // G0-15 | X0-15
            const __m256i r16 = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(rb[half]));
            const __m256i b16 = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(rb[half], 1));
            const __m256i g16 = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(gx[half]));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(y + c + 16 * half), luma16(r16, g16, b16));
        }
        // Adjacent byte pairs summed into 16 bits: R pairs | B pairs, G | X.
        const __m256i s_rb0 = _mm256_maddubs_epi16(rb[0], ones), s_rb1 = _mm256_maddubs_epi16(rb[1], ones);
        const __m256i s_gx0 = _mm256_maddubs_epi16(gx[0], ones), s_gx1 = _mm256_maddubs_epi16(gx[1], ones);
        const uint32_t i = c / 2;
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pairs.r + i), _mm256_permute2x128_si256(s_rb0, s_rb1, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pairs.b + i), _mm256_permute2x128_si256(s_rb0, s_rb1, 0x31));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pairs.g + i), _mm256_permute2x128_si256(s_gx0, s_gx1, 0x20));
    }
    row_tail(l, row, c, y, pairs);
}

VISTREL_AVX2 inline __m256i weigh16(const int16_t *a, const int16_t *b, const int16_t *c, const int16_t *d)
{
    const __m256i mid = _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(b)),
                                         _mm256_loadu_si256(reinterpret_cast<const __m256i *>(c)));
    const __m256i outer = _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(a)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i *>(d)));
    return _mm256_add_epi16(outer, _mm256_add_epi16(mid, _mm256_add_epi16(mid, mid)));
}

// 16 results of one chroma matrix row, as 16-bit values in sample order.
VISTREL_AVX2 inline __m256i chroma16(__m256i rg_lo, __m256i rg_hi, __m256i b_lo, __m256i b_hi, int16_t wr, int16_t wg,
                                     int16_t wb)
{
    const __m256i wrg = _mm256_set1_epi32(int32_t(uint16_t(wr)) | (int32_t(wg) << 16));
    const __m256i wbv = _mm256_set1_epi32(int32_t(uint16_t(wb)));
    const __m256i k = _mm256_set1_epi32(kCBias);
    __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(rg_lo, wrg), _mm256_madd_epi16(b_lo, wbv));
    __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(rg_hi, wrg), _mm256_madd_epi16(b_hi, wbv));
    lo = _mm256_srai_epi32(_mm256_add_epi32(lo, k), kCShift);
    hi = _mm256_srai_epi32(_mm256_add_epi32(hi, k), kCShift);
    return _mm256_packs_epi32(lo, hi);
}

// One chroma row from the pair sums of its four rows, 16 samples a step.
VISTREL_AVX2 void chroma_pass(uint32_t cw, const PairRow rows[4], uint8_t *u, uint8_t *v)
{
    const __m256i zero = _mm256_setzero_si256();
    uint32_t i = 0;
    for (; i + 16 <= cw; i += 16) {
        const __m256i r = weigh16(rows[0].r + i, rows[1].r + i, rows[2].r + i, rows[3].r + i);
        const __m256i g = weigh16(rows[0].g + i, rows[1].g + i, rows[2].g + i, rows[3].g + i);
        const __m256i b = weigh16(rows[0].b + i, rows[1].b + i, rows[2].b + i, rows[3].b + i);
        const __m256i rg_lo = _mm256_unpacklo_epi16(r, g), rg_hi = _mm256_unpackhi_epi16(r, g);
        const __m256i b_lo = _mm256_unpacklo_epi16(b, zero), b_hi = _mm256_unpackhi_epi16(b, zero);
        const __m256i u16 = chroma16(rg_lo, rg_hi, b_lo, b_hi, kUR, kUG, kUB);
        const __m256i v16 = chroma16(rg_lo, rg_hi, b_lo, b_hi, kVR, kVG, kVB);
        // u0-7 v0-7 | u8-15 v8-15, then u0-15 | v0-15.
        const __m256i uv = _mm256_permute4x64_epi64(_mm256_packus_epi16(u16, v16), 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(u + i), _mm256_castsi256_si128(uv));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(v + i), _mm256_extracti128_si256(uv, 1));
    }
    chroma_tail(i, cw, rows, u, v);
}

VISTREL_AVX2 void convert_picture(const Layout &l, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y,
                                  uint8_t *u, uint8_t *v, int16_t *scratch)
{
    // Four rows of pair sums, slot = source row mod 4; each row rounded up
    // to whole vectors so the three channels never share a line.
    const size_t span = (size_t(l.cw) + 15) & ~size_t(15);
    PairRow ring[4];
    for (int s = 0; s < 4; ++s)
        ring[s] = PairRow{scratch + (3 * s) * span, scratch + (3 * s + 1) * span, scratch + (3 * s + 2) * span};
    auto pass_row = [&](uint32_t r)
                        VISTREL_AVX2 { row_pass(l, src + size_t(r) * stride, y + size_t(r) * l.width, ring[r % 4]); };

    // Chroma row j needs rows 2j-1 to 2j+2, clamped to the picture.
    pass_row(0);
    for (uint32_t j = 0; j < height / 2; ++j) {
        const uint32_t top = 2 * j, bottom = 2 * j + 1;
        pass_row(bottom);  // the top row came in with the previous chroma row
        const bool last = bottom + 1 >= height;
        if (!last)
            pass_row(bottom + 1);
        uint32_t pick[4] = {j == 0 ? top : top - 1, top, bottom, last ? bottom : bottom + 1};
        // libswscale narrows its filter on pictures this short: two rows
        // take the lower row alone, four rows average each pair evenly.
        if (height == 2)
            pick[0] = pick[1] = pick[2] = pick[3] = 1;
        else if (height == 4)
            pick[0] = top, pick[3] = bottom;
        const PairRow rows[4] = {ring[pick[0] % 4], ring[pick[1] % 4], ring[pick[2] % 4], ring[pick[3] % 4]};
        chroma_pass(l.cw, rows, u + size_t(j) * l.cw, v + size_t(j) * l.cw);
    }
}

}  // namespace

int packed_to_yuv420p_bt709_avx2(PackedOrder order, uint32_t width, uint32_t height, const uint8_t *src,
                                 uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v)
{
    if (height % 2 != 0 || height == 6 || !yuv_convert_have_avx2())
        return -1;
    if (width == 0 || height == 0)
        return 0;
    if (!src || !y || !u || !v || stride < 4 * uint64_t(width))
        return -1;
    const Layout layout{width, (width + 1) / 2, offsets_of(order)};
    // The ring grows to the widest picture seen and then stays, so a steady
    // stream allocates nothing here.
    static thread_local std::vector<int16_t> scratch;
    const size_t need = 12 * ((size_t(layout.cw) + 15) & ~size_t(15));
    if (scratch.size() < need) {
        try {
            scratch.resize(need);
        } catch (const std::bad_alloc &) {
            return -1;
        }
    }
    convert_picture(layout, height, src, stride, y, u, v, scratch.data());
    return 0;
}

int rgba_to_yuv420p_bt709(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u,
                          uint8_t *v)
{
    // An odd width keeps libswscale too: its chroma rows are laid out at
    // width / 2, as the caller's planes are.
    if (width % 2 == 0 && height % 2 == 0 && height != 6 && yuv_convert_have_avx2())
        return packed_to_yuv420p_bt709_avx2(PACKED_RGBA, width, height, src, stride, y, u, v);
    return rgba_to_yuv420p_libav(width, height, src, stride, y, u, v);
}
