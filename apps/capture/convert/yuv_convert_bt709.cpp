// BT.709 limited-range conversion from full-range packed RGB with the same
// chroma filter as the libswscale path: each chroma sample averages the two
// pixels of its column pair, then weights four rows 1, 3, 3, 1 around its
// row pair (the outer rows clamped at the picture's edges).
//
// The picture is walked in row pairs, 32 columns a step, every source row
// loaded once. Luma comes from 8-bit multiplies on the packed pixels as they
// are. Each row's column-pair sums (16 bits per channel) are weighted into
// the chroma row below it and into a carried partial sum for the next one,
// so a chroma row needs one partial-sum row and no ring of source rows. The
// pair sums are kept in a fixed shuffled column order that the chroma store
// puts right once.
#include "apps/capture/convert/yuv_convert.h"

#include <cstring>
#include <immintrin.h>
#include <new>
#include <vector>

namespace {

#define VISTREL_AVX2 __attribute__((target("avx2")))
// The per-block steps are folded into the row loop.
#define VISTREL_AVX2_INLINE __attribute__((target("avx2"), always_inline))

// Luma weights in 1/256 with the 219/255 range scaling folded in, taken
// against channels centred on 128 (so that the multiply-add of unsigned
// weights and signed channels cannot saturate): Y = (sum + kYBias) >> 8,
// where kYBias brings back 128 x (47 + 157 + 16), adds 16 and rounds (the
// rounding term set where the fewest colours differ from libswscale; none
// by more than one).
constexpr uint8_t kYR = 47, kYG = 157, kYB = 16;
constexpr uint16_t kYBias = 32368;

// Chroma weights in 1/65536 per unit of a 16-pixel weighted sum (2 columns x
// rows 1, 3, 3, 1), the 224/255 scaling folded in; each row sums to zero so
// grey stays at 128. Each term is rounded to 1/32 (a rounding multiply), the
// three are added and 128 and a half are added before the final shift.
constexpr int kCShift = 5;
constexpr int16_t kUR = -6596, kUG = -22189, kUB = 28785;
constexpr int16_t kVR = 28785, kVG = -26145, kVB = -2640;
constexpr int16_t kCBias = (128 << kCShift) + (1 << (kCShift - 1));

constexpr uint32_t kBlock = 32;  // pixels per step, 16 chroma columns

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

// Constants of one byte order.
struct Kernel {
    __m256i y_weights;  // per pixel: the luma weight of each byte
    __m256i gather[4];  // per source vector: channel bytes into lane slots
};

// Source vector k (pixels 8k to 8k+7) puts, in each 128-bit lane, the four
// R bytes of its pixels into dword slot k, G into slot k+1 and B into slot
// k+2 (mod 4), so that three blends of the four vectors give one channel
// each: R with vector k's pixels in slot k, G and B rotated by one and two
// slots, which the chroma step turns back.
VISTREL_AVX2 Kernel kernel_for(PackedOrder order)
{
    const ByteOffsets o = offsets_of(order);
    alignas(32) uint8_t w[32];
    for (int p = 0; p < 8; ++p) {
        w[4 * p + o.r] = kYR;
        w[4 * p + o.g] = kYG;
        w[4 * p + o.b] = kYB;
        w[4 * p + o.x] = 0;
    }
    Kernel k;
    k.y_weights = _mm256_load_si256(reinterpret_cast<const __m256i *>(w));
    const int channel[3] = {o.r, o.g, o.b};
    for (int v = 0; v < 4; ++v) {
        alignas(32) uint8_t g[32];
        std::memset(g, 0x80, sizeof g);  // zero
        for (int lane = 0; lane < 2; ++lane)
            for (int c = 0; c < 3; ++c) {
                const int slot = (c + v) % 4;
                for (int p = 0; p < 4; ++p)
                    g[16 * lane + 4 * slot + p] = uint8_t(4 * p + channel[c]);
            }
        k.gather[v] = _mm256_load_si256(reinterpret_cast<const __m256i *>(g));
    }
    return k;
}

// Column-pair sums of one row's 32 pixels, per channel 16 words.
struct Pairs {
    __m256i r, g, b;
};

// 32 Y bytes of the row at px (four 256-bit loads), and the row's pair sums.
VISTREL_AVX2_INLINE inline Pairs row_block(const Kernel &k, const uint8_t *px, uint8_t *y)
{
    const __m256i in0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px));
    const __m256i in1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px + 32));
    const __m256i in2 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px + 64));
    const __m256i in3 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px + 96));
    const __m256i centre = _mm256_set1_epi8(char(0x80));
    auto weigh = [&](__m256i in)
                     VISTREL_AVX2_INLINE { return _mm256_maddubs_epi16(k.y_weights, _mm256_xor_si256(in, centre)); };
    // Per lane: pixels 0-3 of the first vector, then of the second.
    const __m256i bias = _mm256_set1_epi16(int16_t(kYBias));
    const __m256i ab = _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(weigh(in0), weigh(in1)), bias), 8);
    const __m256i cd = _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(weigh(in2), weigh(in3)), bias), 8);
    const __m256i bytes = _mm256_packus_epi16(ab, cd);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(y), _mm256_permutevar8x32_epi32(bytes, order));

    const __m256i s0 = _mm256_shuffle_epi8(in0, k.gather[0]), s1 = _mm256_shuffle_epi8(in1, k.gather[1]);
    const __m256i s2 = _mm256_shuffle_epi8(in2, k.gather[2]), s3 = _mm256_shuffle_epi8(in3, k.gather[3]);
    const __m256i t1 = _mm256_blend_epi32(s0, s1, 0xAA), t2 = _mm256_blend_epi32(s2, s3, 0xAA);
    const __m256i u1 = _mm256_blend_epi32(s0, s1, 0x55), u2 = _mm256_blend_epi32(s2, s3, 0x55);
    const __m256i ones = _mm256_set1_epi8(1);
    return Pairs{_mm256_maddubs_epi16(_mm256_blend_epi32(t1, t2, 0xCC), ones),
                 _mm256_maddubs_epi16(_mm256_blend_epi32(u1, u2, 0x99), ones),
                 _mm256_maddubs_epi16(_mm256_blend_epi32(t1, t2, 0x33), ones)};
}

VISTREL_AVX2_INLINE inline __m256i load16(const int16_t *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

VISTREL_AVX2_INLINE inline void store16(int16_t *p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}

// Partial sums carried from one chroma row to the next, per channel, in the
// pair sums' column order; each row holds whole blocks of 16.
struct Carry {
    int16_t *r, *g, *b;
};

// One channel of rows a and b: returns carry + 3a + b and leaves a + 3b.
VISTREL_AVX2_INLINE inline __m256i carry_over(int16_t *carry, __m256i a, __m256i b)
{
    const __m256i both = _mm256_add_epi16(a, b);
    const __m256i sum = _mm256_add_epi16(_mm256_add_epi16(load16(carry), both), _mm256_add_epi16(a, a));
    store16(carry, _mm256_add_epi16(both, _mm256_add_epi16(b, b)));
    return sum;
}

// 16 U and 16 V bytes from the weighted sums of 16 chroma columns.
VISTREL_AVX2_INLINE inline void chroma_block(__m256i r, __m256i g, __m256i b, uint8_t *u, uint8_t *v)
{
    g = _mm256_shuffle_epi32(g, 0x39);
    b = _mm256_shuffle_epi32(b, 0x4E);
    const __m256i bias = _mm256_set1_epi16(kCBias);
    auto row = [&](int16_t wr, int16_t wg, int16_t wb) VISTREL_AVX2_INLINE {
        const __m256i sum = _mm256_add_epi16(_mm256_mulhrs_epi16(r, _mm256_set1_epi16(wr)),
                                             _mm256_add_epi16(_mm256_mulhrs_epi16(g, _mm256_set1_epi16(wg)),
                                                              _mm256_mulhrs_epi16(b, _mm256_set1_epi16(wb))));
        return _mm256_srai_epi16(_mm256_add_epi16(sum, bias), kCShift);
    };
    // Per lane: U then V, columns 0 1 4 5 8 9 12 13 | 2 3 6 7 10 11 14 15;
    // the lanes become U | V and the byte shuffle restores column order.
    const __m256i uv = _mm256_permute4x64_epi64(_mm256_packus_epi16(row(kUR, kUG, kUB), row(kVR, kVG, kVB)), 0xD8);
    const __m256i order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3, 10,
                                           11, 4, 5, 12, 13, 6, 7, 14, 15);
    const __m256i out = _mm256_shuffle_epi8(uv, order);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(u), _mm256_castsi256_si128(out));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(v), _mm256_extracti128_si256(out, 1));
}

// The three kinds of step over a block of columns:
//   kFirst: a row that starts a chroma row: Y, and the carry = 4 x its pairs
//           (the row above it is clamped to it);
//   kPair:  rows a and b = a + 1, the lower two of a chroma row's four: Y of
//           both, the chroma row from carry + 3a + b, then carry = a + 3b;
//   kLast:  the picture's last row: Y, and the chroma row from carry + 4a
//           (the row below it is clamped to it).
enum Step {
    kFirst,
    kPair,
    kLast
};

template <Step step>
VISTREL_AVX2_INLINE inline void block(const Kernel &k, const uint8_t *a, const uint8_t *b, uint8_t *ya, uint8_t *yb,
                                      Carry carry, uint8_t *u, uint8_t *v)
{
    const Pairs pa = row_block(k, a, ya);
    if constexpr (step == kFirst) {
        store16(carry.r, _mm256_slli_epi16(pa.r, 2));
        store16(carry.g, _mm256_slli_epi16(pa.g, 2));
        store16(carry.b, _mm256_slli_epi16(pa.b, 2));
    } else if constexpr (step == kLast) {
        chroma_block(_mm256_add_epi16(load16(carry.r), _mm256_slli_epi16(pa.r, 2)),
                     _mm256_add_epi16(load16(carry.g), _mm256_slli_epi16(pa.g, 2)),
                     _mm256_add_epi16(load16(carry.b), _mm256_slli_epi16(pa.b, 2)), u, v);
    } else {
        const Pairs pb = row_block(k, b, yb);
        chroma_block(carry_over(carry.r, pa.r, pb.r), carry_over(carry.g, pa.g, pb.g), carry_over(carry.b, pa.b, pb.b),
                     u, v);
    }
}

// One step over a whole row (or row pair): the full blocks straight from the
// picture, then the last partial block through copies whose padding repeats
// the row's last pixel (an odd width's last pair is that pixel twice).
template <Step step>
VISTREL_AVX2 void pass(const Kernel &k, uint32_t width, const uint8_t *a, const uint8_t *b, uint8_t *ya, uint8_t *yb,
                       Carry carry, uint8_t *u, uint8_t *v)
{
    uint32_t c = 0;
    for (; c + kBlock <= width; c += kBlock) {
        const uint32_t i = c / 2;
        const bool two = step == kPair;
        block<step>(k, a + 4 * size_t(c), two ? b + 4 * size_t(c) : nullptr, ya + c, two ? yb + c : nullptr,
                    Carry{carry.r + i, carry.g + i, carry.b + i}, step == kFirst ? nullptr : u + i,
                    step == kFirst ? nullptr : v + i);
    }
    if (c == width)
        return;
    const uint32_t n = width - c, i = c / 2, cn = (n + 1) / 2;
    alignas(32) uint8_t pa[4 * kBlock], pb[4 * kBlock], ta[kBlock], tb[kBlock], tu[kBlock / 2], tv[kBlock / 2];
    auto pad = [n](uint8_t *to, const uint8_t *from) {
        std::memcpy(to, from, 4 * size_t(n));
        for (uint32_t p = n; p < kBlock; ++p)
            std::memcpy(to + 4 * p, from + 4 * (n - 1), 4);
    };
    pad(pa, a + 4 * size_t(c));
    if constexpr (step == kPair)
        pad(pb, b + 4 * size_t(c));
    block<step>(k, pa, pb, ta, tb, Carry{carry.r + i, carry.g + i, carry.b + i}, tu, tv);
    std::memcpy(ya + c, ta, n);
    if constexpr (step == kPair)
        std::memcpy(yb + c, tb, n);
    if constexpr (step != kFirst) {
        std::memcpy(u + i, tu, cn);
        std::memcpy(v + i, tv, cn);
    }
}

VISTREL_AVX2 void convert_picture(PackedOrder order, uint32_t width, uint32_t height, const uint8_t *src,
                                  uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v, Carry carry)
{
    const Kernel k = kernel_for(order);
    const uint32_t cw = (width + 1) / 2;
    auto row = [&](uint32_t r) { return src + size_t(r) * stride; };
    auto luma = [&](uint32_t r) { return y + size_t(r) * width; };
    auto first = [&](uint32_t r) VISTREL_AVX2 {
        pass<kFirst>(k, width, row(r), nullptr, luma(r), nullptr, carry, nullptr, nullptr);
    };
    auto last = [&](uint32_t r, uint32_t j) VISTREL_AVX2 {
        pass<kLast>(k, width, row(r), nullptr, luma(r), nullptr, carry, u + size_t(j) * cw, v + size_t(j) * cw);
    };
    // libswscale narrows its filter on pictures this short: two rows take
    // the lower row alone, four rows average each pair evenly.
    if (height == 2) {
        first(0);
        first(1);
        last(1, 0);
        return;
    }
    if (height == 4) {
        first(0);
        last(1, 0);
        first(2);
        last(3, 1);
        return;
    }
    // Chroma row j weighs rows 2j-1, 2j, 2j+1, 2j+2, clamped to the picture.
    first(0);
    for (uint32_t j = 0; j + 1 < height / 2; ++j) {
        const uint32_t r = 2 * j + 1;
        pass<kPair>(k, width, row(r), row(r + 1), luma(r), luma(r + 1), carry, u + size_t(j) * cw, v + size_t(j) * cw);
    }
    last(height - 1, height / 2 - 1);
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
    // One carried row per channel, in whole blocks. It grows to the widest
    // picture seen and then stays, so a steady stream allocates nothing here.
    static thread_local std::vector<int16_t> scratch;
    const size_t span = (size_t(width) + kBlock - 1) / kBlock * (kBlock / 2);
    if (scratch.size() < 3 * span) {
        try {
            scratch.resize(3 * span);
        } catch (const std::bad_alloc &) {
            return -1;
        }
    }
    int16_t *s = scratch.data();
    convert_picture(order, width, height, src, stride, y, u, v, Carry{s, s + span, s + 2 * span});
    return 0;
}

int packed_to_yuv420p_bt709(PackedOrder order, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                            uint8_t *y, uint8_t *u, uint8_t *v)
{
    // An odd width keeps libswscale too: its chroma rows are laid out at
    // width / 2, as the caller's planes are.
    if (width % 2 == 0 && height % 2 == 0 && height != 6 && yuv_convert_have_avx2())
        return packed_to_yuv420p_bt709_avx2(order, width, height, src, stride, y, u, v);
    return packed_to_yuv420p_libav(order, width, height, src, stride, y, u, v);
}

int rgba_to_yuv420p_bt709(uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u,
                          uint8_t *v)
{
    return packed_to_yuv420p_bt709(PACKED_RGBA, width, height, src, stride, y, u, v);
}
