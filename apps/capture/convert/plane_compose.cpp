#include "apps/capture/convert/plane_compose.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <emmintrin.h>
#include <new>
#include <vector>

#include "apps/capture/convert/deep_convert.h"
#include "apps/capture/convert/plane_compose_internal.h"

bool plane_compose_supported(uint32_t fourcc)
{
    return fourcc == PLANE_COMPOSE_XR24 || fourcc == PLANE_COMPOSE_AR24 || fourcc == PLANE_COMPOSE_XB24 ||
           fourcc == PLANE_COMPOSE_AB24 || fourcc == PLANE_COMPOSE_NV12 || fourcc == DEEP_P010 ||
           deep_packed_bytes(fourcc) != 0;
}

namespace {

using namespace plane_compose_detail;

constexpr uint32_t kOne = kTapOne;

std::atomic<bool> avx2_allowed{true};

inline uint32_t load32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// One axis of the stream (its columns or its rows) mapped onto one axis of a
// buffer: the centre of stream pixel i lands on scale * (i + 0.5) + origin;
// samples stay inside [lo, hi) and the buffer's limit pixels; neighbours
// along the buffer's axis are step bytes apart.
struct AxisSpec {
    double scale, origin, lo, hi;
    uint32_t limit;
    int64_t step;
};

// The two taps of every stream pixel along one axis.
struct AxisTaps {
    std::vector<int64_t> offset;   // bytes from the buffer's start to the first tap
    std::vector<int64_t> next;     // bytes from the first tap to the second (0 where it is clamped)
    std::vector<uint32_t> weight;  // of the second tap, kOne = 1
    bool exact = true;             // every weight 0: each pixel is one buffer pixel
};

void build_taps(const AxisSpec &a, int32_t first, int32_t count, AxisTaps *t)
{
    t->offset.resize(size_t(count));
    t->next.resize(size_t(count));
    t->weight.resize(size_t(count));
    t->exact = true;
    // The sample point is the mapped centre less half a pixel (the buffer's
    // pixel k has its centre at k + 0.5), kept on the source rectangle's
    // pixel centres.
    double smin = a.lo, smax = a.hi - 1.0;
    if (smax < smin)
        smin = smax = (a.lo + a.hi) / 2.0 - 0.5;
    const double last = double(a.limit) - 1.0;
    smin = std::clamp(smin, 0.0, last);
    smax = std::clamp(smax, 0.0, last);
    const int64_t top = std::min<int64_t>(int64_t(a.limit) - 1, int64_t(std::ceil(a.hi)) - 1);
    for (int32_t i = 0; i < count; ++i) {
        const double s = std::clamp(a.scale * (double(first + i) + 0.5) + a.origin - 0.5, smin, smax);
        int64_t k = int64_t(std::floor(s));
        uint32_t w = uint32_t(std::lround((s - double(k)) * kOne));
        if (w >= kOne) {
            ++k;
            w = 0;
        }
        int64_t next = a.step;
        if (k >= top) {
            k = std::max<int64_t>(top, 0);
            w = 0;
            next = 0;
        }
        t->offset[size_t(i)] = k * a.step;
        t->next[size_t(i)] = w ? next : 0;
        t->weight[size_t(i)] = w;
        t->exact = t->exact && w == 0;
    }
}

// The blend of one layer.
struct Blend {
    uint32_t alpha = 0xffff;  // plane alpha
    uint32_t p15 = kUnit;     // the same in 1/32768 steps
    uint32_t mode = UDS_BLEND_PREMULTI;
    bool use_alpha = false;  // the pixel's alpha counts
    bool opaque = true;      // out = src
};

void blend_setup(const PlaneRecord &plane, Blend *b)
{
    b->alpha = std::min<uint32_t>(plane.alpha, 0xffff);
    b->p15 = uint32_t((uint64_t(b->alpha) * kUnit + 0x7fff) / 0xffff);
    b->mode = plane.blend;
    const bool has_alpha =
        plane.format == PLANE_COMPOSE_AR24 || plane.format == PLANE_COMPOSE_AB24 || deep_has_alpha(plane.format);
    b->use_alpha = has_alpha && plane.blend != UDS_BLEND_NONE;
    b->opaque = !b->use_alpha && b->p15 == kUnit;
}

inline uint32_t swap_rb(uint32_t p)
{
    return (p & 0xff00ff00u) | ((p & 0xffu) << 16) | ((p >> 16) & 0xffu);
}

// An opaque row: the buffer's pixels themselves.
void copy_row(const uint8_t *src, uint32_t n, bool swap, uint32_t *out)
{
    const __m128i x = _mm_set1_epi32(int32_t(0xff000000u)), ag = _mm_set1_epi32(int32_t(0xff00ff00u));
    const __m128i low = _mm_set1_epi32(0xff);
    uint32_t i = avx2_in_use() ? copy_row_avx2(src, n, swap, out) : 0;
    for (; i + 4 <= n; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * size_t(i)));
        if (swap)
            v = _mm_or_si128(_mm_and_si128(v, ag), _mm_or_si128(_mm_slli_epi32(_mm_and_si128(v, low), 16),
                                                                _mm_and_si128(_mm_srli_epi32(v, 16), low)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_or_si128(v, x));
    }
    for (; i < n; ++i) {
        const uint32_t v = load32(src + 4 * size_t(i));
        out[i] = (swap ? swap_rb(v) : v) | 0xff000000u;
    }
}

// A translucent row of whole buffer pixels. Factors in 1/16384 steps: a * p
// is the pixel's alpha times 257 (a / 255 in 1/65535 steps) times the plane
// alpha, over 2^18; out = (src * fs + dst * fd) / 16384, at most 255.
void blend_row8(const uint8_t *src, uint32_t n, bool swap, const Blend &b, uint32_t *out)
{
    const uint32_t p14 = (b.alpha * 16384 + 0x7fff) / 0xffff;
    const bool coverage = b.mode == UDS_BLEND_COVERAGE;
    uint32_t i = 0;
    {
        const __m128i zero = _mm_setzero_si128(), x = _mm_set1_epi32(int32_t(0xff000000u));
        const __m128i plane = _mm_set1_epi16(int16_t(b.alpha)), p = _mm_set1_epi16(int16_t(p14));
        const __m128i one = _mm_set1_epi16(16384), a257 = _mm_set1_epi16(257), round = _mm_set1_epi32(1 << 13);
        // Two pixels as 16-bit channels: the factors for each, then the mix.
        auto mix = [&](__m128i s16, __m128i d16) {
            if (swap)
                s16 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(s16, _MM_SHUFFLE(3, 0, 1, 2)), _MM_SHUFFLE(3, 0, 1, 2));
            __m128i fs = p, fd = _mm_sub_epi16(one, p);
            if (b.use_alpha) {
                const __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(s16, 0xff), 0xff);
                const __m128i as = _mm_srli_epi16(_mm_mulhi_epu16(_mm_mullo_epi16(a, a257), plane), 2);
                fd = _mm_sub_epi16(one, as);
                if (coverage)
                    fs = as;
            }
            const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(s16, d16), _mm_unpacklo_epi16(fs, fd));
            const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(s16, d16), _mm_unpackhi_epi16(fs, fd));
            return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, round), 14),
                                   _mm_srai_epi32(_mm_add_epi32(hi, round), 14));
        };
        for (; i + 4 <= n; i += 4) {
            const __m128i s8 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * size_t(i)));
            const __m128i d8 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(out + i));
            const __m128i lo = mix(_mm_unpacklo_epi8(s8, zero), _mm_unpacklo_epi8(d8, zero));
            const __m128i hi = mix(_mm_unpackhi_epi8(s8, zero), _mm_unpackhi_epi8(d8, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_or_si128(_mm_packus_epi16(lo, hi), x));
        }
    }
    for (; i < n; ++i) {
        uint32_t s = load32(src + 4 * size_t(i));
        if (swap)
            s = swap_rb(s);
        uint32_t fs = p14, fd = 16384 - p14;
        if (b.use_alpha) {
            const uint32_t as = (((s >> 24) * 257 * b.alpha) >> 16) >> 2;
            fd = 16384 - as;
            if (coverage)
                fs = as;
        }
        const uint32_t d = out[i];
        uint32_t px = 0xff000000u;
        for (uint32_t c = 0; c < 24; c += 8) {
            const uint32_t v = (((s >> c) & 0xff) * fs + ((d >> c) & 0xff) * fd + (1u << 13)) >> 14;
            px |= std::min<uint32_t>(v, 255) << c;
        }
        out[i] = px;
    }
}

}  // namespace

namespace plane_compose_detail {

void set_avx2_allowed(bool allowed)
{
    avx2_allowed.store(allowed, std::memory_order_relaxed);
}

bool avx2_in_use()
{
    static const bool have = __builtin_cpu_supports("avx2");
    return have && avx2_allowed.load(std::memory_order_relaxed);
}

void blend_row16(const uint16_t *s, uint32_t n, const Blend16 &b, uint32_t *out)
{
    uint32_t i = 0;
    if (!b.use_alpha && b.p15 == kUnit) {
        // Opaque: the filtered pixel itself, rounded.
        const __m128i half = _mm_set1_epi16(128), x = _mm_set1_epi32(int32_t(0xff000000u));
        for (; i + 4 <= n; i += 4, s += 16) {
            const __m128i a =
                _mm_srli_epi16(_mm_adds_epu16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s)), half), 8);
            const __m128i c =
                _mm_srli_epi16(_mm_adds_epu16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 8)), half), 8);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_or_si128(_mm_packus_epi16(a, c), x));
        }
    }
    for (; i < n; ++i, s += 4) {
        uint32_t fs, fd;
        if (b.use_alpha) {
            const uint32_t as = (uint32_t(s[3]) * b.p15 + kFull / 2) / kFull;
            fs = b.coverage ? as : b.p15;
            fd = kUnit - as;
        } else {
            fs = b.p15;
            fd = kUnit - b.p15;
        }
        // fs and fd are at most 1 each: the sum stays below 2^32.
        const uint32_t d = out[i];
        uint32_t px = 0xff000000u;
        for (uint32_t c = 0; c < 3; ++c) {
            const uint32_t v = (uint32_t(s[c]) * fs + ((d >> (8 * c)) & 0xff) * 256 * fd + (1u << 22)) >> 23;
            px |= std::min<uint32_t>(v, 255) << (8 * c);
        }
        out[i] = px;
    }
}

}  // namespace plane_compose_detail

namespace {

// YCbCr to RGB for values in 1/128 steps, coefficients in 1/8192 steps
// (each fits 16 bits): R = cy * (Y - y_offset) + cr_r * Cr, and so on with
// Cb and Cr centred on 0.
struct YuvCoefficients16 {
    int16_t y_offset, cy, cr_r, cb_g, cr_g, cb_b;
};

YuvCoefficients16 yuv_coefficients(uint32_t encoding, uint32_t range)
{
    double kr = 0.299, kb = 0.114;  // BT.601, also for a value the kernel does not define
    if (encoding == UDS_ENCODING_BT709) {
        kr = 0.2126;
        kb = 0.0722;
    } else if (encoding == UDS_ENCODING_BT2020) {
        kr = 0.2627;
        kb = 0.0593;
    }
    const double kg = 1.0 - kr - kb;
    const bool full = range == UDS_RANGE_FULL;
    const double ys = full ? 1.0 : 255.0 / 219.0, cs = full ? 1.0 : 255.0 / 224.0;
    auto fixed = [](double v) { return int16_t(std::lround(v * 8192.0)); };
    return {int16_t(full ? 0 : 16 * 128),
            fixed(ys),
            fixed(2.0 * (1.0 - kr) * cs),
            fixed(-2.0 * kb * (1.0 - kb) / kg * cs),
            fixed(-2.0 * kr * (1.0 - kr) / kg * cs),
            fixed(2.0 * (1.0 - kb) * cs)};
}

// n pixels from a Y row and an interleaved CbCr row in 1/128 steps to B G R A
// in 1/256 steps (dst), or for an opaque layer to the stream's pixels
// (opaque_out).
void yuv_row(const int16_t *y, const int16_t *cbcr, uint32_t n, const YuvCoefficients16 &k, uint16_t *dst,
             uint32_t *opaque_out)
{
    const __m128i yo = _mm_set1_epi16(k.y_offset), co = _mm_set1_epi16(16384);
    auto pair = [](int16_t a, int16_t b) {
        return _mm_set1_epi32(int32_t(uint16_t(a)) | int32_t(uint32_t(uint16_t(b)) << 16));
    };
    const __m128i wr = pair(k.cy, k.cr_r), wb = pair(k.cy, k.cb_b), wg = pair(k.cy, k.cb_g), wgr = pair(k.cr_g, 0);
    const __m128i round = _mm_set1_epi32(1 << 12), zero = _mm_setzero_si128(), top = _mm_set1_epi16(int16_t(kFull / 2));
    const __m128i alpha = _mm_set1_epi16(int16_t(kFull));
    const __m128i half = _mm_set1_epi16(128), ones = _mm_set1_epi8(-1);
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i vy = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(y + i)), yo);
        const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cbcr + 2 * size_t(i)));
        const __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cbcr + 2 * size_t(i) + 8));
        const __m128i vb = _mm_sub_epi16(
            _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(c0, 16), 16), _mm_srai_epi32(_mm_slli_epi32(c1, 16), 16)),
            co);
        const __m128i vr = _mm_sub_epi16(_mm_packs_epi32(_mm_srai_epi32(c0, 16), _mm_srai_epi32(c1, 16)), co);
        const __m128i yb_lo = _mm_unpacklo_epi16(vy, vb), yb_hi = _mm_unpackhi_epi16(vy, vb);
        const __m128i yr_lo = _mm_unpacklo_epi16(vy, vr), yr_hi = _mm_unpackhi_epi16(vy, vr);
        const __m128i r0_lo = _mm_unpacklo_epi16(vr, zero), r0_hi = _mm_unpackhi_epi16(vr, zero);
        // Each channel in 1/128 steps, clamped to 0..255, then in 1/256 steps.
        auto finish = [&](__m128i lo, __m128i hi) {
            const __m128i v = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, round), 13),
                                              _mm_srai_epi32(_mm_add_epi32(hi, round), 13));
            return _mm_slli_epi16(_mm_min_epi16(_mm_max_epi16(v, zero), top), 1);
        };
        const __m128i b = finish(_mm_madd_epi16(yb_lo, wb), _mm_madd_epi16(yb_hi, wb));
        const __m128i g = finish(_mm_add_epi32(_mm_madd_epi16(yb_lo, wg), _mm_madd_epi16(r0_lo, wgr)),
                                 _mm_add_epi32(_mm_madd_epi16(yb_hi, wg), _mm_madd_epi16(r0_hi, wgr)));
        const __m128i r = finish(_mm_madd_epi16(yr_lo, wr), _mm_madd_epi16(yr_hi, wr));
        if (opaque_out) {
            // Bytes, rounded as an opaque blend rounds: B G R 0xff.
            auto bytes = [&](__m128i v) { return _mm_packus_epi16(_mm_srli_epi16(_mm_adds_epu16(v, half), 8), zero); };
            const __m128i bg = _mm_unpacklo_epi8(bytes(b), bytes(g));
            const __m128i ra = _mm_unpacklo_epi8(bytes(r), ones);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(opaque_out + i), _mm_unpacklo_epi16(bg, ra));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(opaque_out + i + 4), _mm_unpackhi_epi16(bg, ra));
            continue;
        }
        const __m128i bg_lo = _mm_unpacklo_epi16(b, g), bg_hi = _mm_unpackhi_epi16(b, g);
        const __m128i ra_lo = _mm_unpacklo_epi16(r, alpha), ra_hi = _mm_unpackhi_epi16(r, alpha);
        __m128i *o = reinterpret_cast<__m128i *>(dst + 4 * size_t(i));
        _mm_storeu_si128(o, _mm_unpacklo_epi32(bg_lo, ra_lo));
        _mm_storeu_si128(o + 1, _mm_unpackhi_epi32(bg_lo, ra_lo));
        _mm_storeu_si128(o + 2, _mm_unpacklo_epi32(bg_hi, ra_hi));
        _mm_storeu_si128(o + 3, _mm_unpackhi_epi32(bg_hi, ra_hi));
    }
    const uint32_t tail = i;
    for (; i < n; ++i) {
        const int32_t vy = y[i] - k.y_offset, vb = cbcr[2 * size_t(i)] - 16384, vr = cbcr[2 * size_t(i) + 1] - 16384;
        auto finish = [](int32_t v) { return uint16_t(std::clamp((v + (1 << 12)) >> 13, 0, int32_t(kFull / 2)) << 1); };
        uint16_t *o = dst + 4 * size_t(i);
        o[0] = finish(k.cy * vy + k.cb_b * vb);
        o[1] = finish(k.cy * vy + k.cb_g * vb + k.cr_g * vr);
        o[2] = finish(k.cy * vy + k.cr_r * vr);
        o[3] = uint16_t(kFull);
    }
    if (opaque_out && tail < n)
        blend_row16(dst + 4 * size_t(tail), n - tail, Blend16{kUnit, false, false}, opaque_out + tail);
}

// The upright filter in two passes. First down: bytes of two buffer rows
// mixed by the row's weight, in 1/128 steps (at most 32640):
// dst[j] = (top[j] * (1 - wy) + bottom[j] * wy) for j < count.
void filter_down(const uint8_t *top, const uint8_t *bottom, uint32_t wy, size_t count, int16_t *dst)
{
    const __m128i w = _mm_set1_epi32(int32_t((wy << 16) | (kOne - wy)));
    const __m128i zero = _mm_setzero_si128(), round = _mm_set1_epi32(16);
    size_t j = avx2_in_use() ? filter_down_avx2(top, bottom, wy, count, dst) : 0;
    for (; j + 16 <= count; j += 16) {
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top + j));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bottom + j));
        const __m128i tl = _mm_unpacklo_epi8(t, zero), th = _mm_unpackhi_epi8(t, zero);
        const __m128i bl = _mm_unpacklo_epi8(b, zero), bh = _mm_unpackhi_epi8(b, zero);
        auto mix = [&](__m128i pairs) { return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, w), round), 5); };
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + j),
                         _mm_packs_epi32(mix(_mm_unpacklo_epi16(tl, bl)), mix(_mm_unpackhi_epi16(tl, bl))));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + j + 8),
                         _mm_packs_epi32(mix(_mm_unpacklo_epi16(th, bh)), mix(_mm_unpackhi_epi16(th, bh))));
    }
    for (; j < count; ++j)
        dst[j] = int16_t((top[j] * (kOne - wy) + bottom[j] * wy + 16) >> 5);
}

// Across, one channel: two values of a filtered row mixed by the weight, in 1/128 steps.
inline int16_t filter_across128(int32_t left, int32_t right, uint32_t wx)
{
    return int16_t((left * int32_t(kOne - wx) + right * int32_t(wx) + 2048) >> 12);
}

// The weights of a row's taps as the pairs a 16-bit multiply-add takes.
std::vector<int32_t> weight_pairs(const AxisTaps &t)
{
    std::vector<int32_t> pairs(t.weight.size());
    for (size_t i = 0; i < pairs.size(); ++i)
        pairs[i] = int32_t((t.weight[i] << 16) | (kOne - t.weight[i]));
    return pairs;
}

// Across for NV12, four pixels at a time: Y out of the filtered luma row
// (unless ys is null: the row is the stream's own), Cb and Cr (interleaved)
// out of the filtered chroma row, in 1/128 steps.
void filter_across_nv12(const int16_t *luma, const uint32_t *li, const int32_t *lw, const int16_t *chroma,
                        const uint32_t *ci, const int32_t *cw, uint32_t n, int16_t *ys, int16_t *cbcr)
{
    const __m128i round = _mm_set1_epi32(2048);
    auto pair = [](const int16_t *p) {
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    // Two pixels' Cb0 Cr0 Cb1 Cr1 as Cb0 Cb1 Cr0 Cr1, mixed by their weights.
    auto chroma2 = [&](uint32_t j) {
        const __m128i v =
            _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(chroma + 2 * size_t(ci[j]))),
                               _mm_loadl_epi64(reinterpret_cast<const __m128i *>(chroma + 2 * size_t(ci[j + 1]))));
        const __m128i pairs =
            _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
        const __m128i w = _mm_setr_epi32(cw[j], cw[j], cw[j + 1], cw[j + 1]);
        return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, w), round), 12);
    };
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(cbcr + 2 * size_t(i)),
                         _mm_packs_epi32(chroma2(i), chroma2(i + 2)));
        if (!ys)
            continue;
        const __m128i lp =
            _mm_setr_epi32(pair(luma + li[i]), pair(luma + li[i + 1]), pair(luma + li[i + 2]), pair(luma + li[i + 3]));
        const __m128i y = _mm_srai_epi32(
            _mm_add_epi32(_mm_madd_epi16(lp, _mm_loadu_si128(reinterpret_cast<const __m128i *>(lw + i))), round), 12);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(ys + i), _mm_packs_epi32(y, y));
    }
    for (; i < n; ++i) {
        const int16_t *l = luma + li[i], *c = chroma + 2 * size_t(ci[i]);
        const uint32_t w = uint32_t(lw[i]) >> 16, wc = uint32_t(cw[i]) >> 16;
        if (ys)
            ys[i] = filter_across128(l[0], l[1], w);
        cbcr[2 * size_t(i)] = filter_across128(c[0], c[2], wc);
        cbcr[2 * size_t(i) + 1] = filter_across128(c[1], c[3], wc);
    }
}

// Across for packed pixels, two at a time: the four channels of each in
// buffer order, B G R A out in 1/256 steps (line), or for an opaque layer
// the stream's pixels themselves (out). index[i]: the pixel's first tap in
// the filtered row (its second follows it); weight: weight_pairs.
template <bool Swap, bool KeepAlpha, bool Opaque>
void filter_across_packed_as(const int16_t *row, const uint32_t *index, const int32_t *weight, uint32_t n,
                             uint16_t *line, uint32_t *out)
{
    const __m128i round = _mm_set1_epi32(1024), bias = _mm_set1_epi32(32768), flip = _mm_set1_epi16(int16_t(0x8000));
    const __m128i colour = _mm_setr_epi16(-1, -1, -1, 0, -1, -1, -1, 0);
    const __m128i opaque = _mm_setr_epi16(0, 0, 0, int16_t(kFull), 0, 0, 0, int16_t(kFull));
    const __m128i half = _mm_set1_epi16(128), x = _mm_set1_epi32(int32_t(0xff000000u));
    auto one = [&](uint32_t i) {
        const int16_t *p = row + 4 * size_t(index[i]);
        const __m128i pairs = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)),
                                                 _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 4)));
        return _mm_sub_epi32(_mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, _mm_set1_epi32(weight[i])), round), 11),
                             bias);
    };
    for (uint32_t i = 0; i < n; i += 2) {
        const bool two = i + 1 < n;
        __m128i v = _mm_xor_si128(_mm_packs_epi32(one(i), two ? one(i + 1) : _mm_setzero_si128()), flip);
        if (Swap)
            v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 0, 1, 2)), _MM_SHUFFLE(3, 0, 1, 2));
        if (Opaque) {
            const __m128i px = _mm_or_si128(_mm_packus_epi16(_mm_srli_epi16(_mm_adds_epu16(v, half), 8), v), x);
            if (two)
                _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i), px);
            else
                out[i] = uint32_t(_mm_cvtsi128_si32(px));
            continue;
        }
        if (!KeepAlpha)
            v = _mm_or_si128(_mm_and_si128(v, colour), opaque);
        if (two)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(line + 4 * size_t(i)), v);
        else
            _mm_storel_epi64(reinterpret_cast<__m128i *>(line + 4 * size_t(i)), v);
    }
}

using FilterAcrossPacked = void (*)(const int16_t *, const uint32_t *, const int32_t *, uint32_t, uint16_t *,
                                    uint32_t *);

// The variant for a layer: its byte order, whether its alpha counts, whether it is opaque.
FilterAcrossPacked filter_across_packed(bool swap, bool keep_alpha, bool opaque)
{
    if (opaque)
        return swap ? filter_across_packed_as<true, false, true> : filter_across_packed_as<false, false, true>;
    if (keep_alpha)
        return swap ? filter_across_packed_as<true, true, false> : filter_across_packed_as<false, true, false>;
    return swap ? filter_across_packed_as<true, false, false> : filter_across_packed_as<false, false, false>;
}

// The columns an upright layer reads, as pixel indices in its filtered row.
struct ColumnSpan {
    int64_t first = 0;            // buffer pixel of the filtered row's start
    size_t pixels = 0;            // pixels filtered per row
    std::vector<uint32_t> index;  // of each stream pixel's first tap
};

void column_span(const AxisTaps &cols, int64_t bytes, ColumnSpan *span)
{
    int64_t lo = INT64_MAX, hi = 0;
    for (size_t i = 0; i < cols.offset.size(); ++i) {
        lo = std::min(lo, cols.offset[i]);
        hi = std::max(hi, cols.offset[i] + cols.next[i]);
    }
    span->first = lo / bytes;
    span->pixels = size_t((hi - lo) / bytes + 1);
    span->index.resize(cols.offset.size());
    for (size_t i = 0; i < cols.offset.size(); ++i)
        span->index[i] = uint32_t(cols.offset[i] / bytes - span->first);
}

char printable(uint32_t c)
{
    return c >= 0x20 && c < 0x7f ? char(c) : '?';
}

// A layer ready to draw.
struct Prepared {
    LayerMapping map{};
    Blend blend;
};

// The buffer's rows run along the stream's rows (no quarter turn between them).
bool is_upright(const LayerMapping &map)
{
    return std::fabs(map.m[1]) < 1e-9 && std::fabs(map.m[3]) < 1e-9;
}

// 1: draw it; 0: it shows nothing in the stream; -1: refused (one line on stderr).
int prepare_layer(const ComposeLayer &layer, uint32_t crtc_width, uint32_t crtc_height, uint32_t turns, Prepared *p)
{
    const PlaneRecord &pl = layer.plane;
    const uint32_t f = pl.format;
    if (pl.buffer_id == 0)
        return 0;
    if (!plane_compose_supported(f)) {
        std::fprintf(stderr, "plane_compose: plane %u: cannot read format %c%c%c%c (0x%08x)\n", pl.plane_id,
                     printable(f & 0xff), printable((f >> 8) & 0xff), printable((f >> 16) & 0xff), printable(f >> 24),
                     f);
        return -1;
    }
    const bool nv12 = f == PLANE_COMPOSE_NV12 || f == DEEP_P010;
    const uint64_t sample = f == DEEP_P010 ? 2 : 1, bytes = deep_packed_bytes(f) ? deep_packed_bytes(f) : 4;
    const bool short_rows =
        nv12 ? layer.stride[0] < sample * pl.width || layer.stride[1] < sample * 2 * ((pl.width + 1) / 2)
             : uint64_t(layer.stride[0]) < bytes * uint64_t(pl.width);
    if (!layer.data[0] || (nv12 && !layer.data[1]) || short_rows) {
        std::fprintf(stderr, "plane_compose: plane %u: no buffer or rows too short for %ux%u (stride %u)\n",
                     pl.plane_id, pl.width, pl.height, layer.stride[0]);
        return -1;
    }
    if (!plane_layer_mapping(pl, crtc_width, crtc_height, turns, &p->map))
        return 0;
    const double *m = p->map.m;
    if (!is_upright(p->map) && !(std::fabs(m[0]) < 1e-9 && std::fabs(m[4]) < 1e-9)) {
        std::fprintf(stderr, "plane_compose: plane %u: rotation 0x%x is not a quarter turn\n", pl.plane_id,
                     pl.rotation);
        return -1;
    }
    blend_setup(pl, &p->blend);
    return 1;
}

// The column and row axes of the stream on one plane of a buffer whose
// pixels are bytes apart and whose coordinates are the luma's over div.
void layer_axes(const LayerMapping &map, double div, uint32_t width, uint32_t height, int64_t bytes, int64_t stride,
                AxisSpec *cols, AxisSpec *rows)
{
    const double *m = map.m;
    const AxisSpec u{0.0, m[2] / div, map.src_x0 / div, map.src_x1 / div, width, bytes};
    const AxisSpec v{0.0, m[5] / div, map.src_y0 / div, map.src_y1 / div, height, stride};
    const bool upright = is_upright(map);
    *cols = upright ? u : v;
    *rows = upright ? v : u;
    cols->scale = (upright ? m[0] : m[3]) / div;
    rows->scale = (upright ? m[4] : m[1]) / div;
}

// Copies pixels [u0, u1) x [v0, v1) of a plane (bytes B each) turned: row
// u - u0 of dst holds column u of the plane. Tile by tile, so that both
// sides are read and written along their rows.
template <uint32_t B>
void turn_region(const uint8_t *src, size_t stride, uint32_t u0, uint32_t u1, uint32_t v0, uint32_t v1, uint8_t *dst,
                 size_t dst_stride)
{
    constexpr uint32_t kTile = 16;
    for (uint32_t vt = v0; vt < v1; vt += kTile)
        for (uint32_t ut = u0; ut < u1; ut += kTile) {
            const uint32_t ve = std::min(vt + kTile, v1), ue = std::min(ut + kTile, u1);
            for (uint32_t v = vt; v < ve; ++v) {
                const uint8_t *from = src + size_t(v) * stride + size_t(ut) * B;
                uint8_t *to = dst + size_t(ut - u0) * dst_stride + size_t(v - v0) * B;
                for (uint32_t u = ut; u < ue; ++u, from += B, to += dst_stride)
                    std::memcpy(to, from, B);
            }
        }
}

// A layer turned a quarter against the stream is read from a turned copy of
// the part of its plane that its source rectangle covers, so that the
// stream's rows run along the copy's rows: *data and the axes then describe
// the copy (kept in store).
void turn_plane(uint32_t bytes, const uint8_t **data, uint32_t stride, AxisSpec *cols, AxisSpec *rows,
                std::vector<uint8_t> *store)
{
    // The columns axis runs down the plane (v), the rows axis across it (u).
    const uint32_t v0 = uint32_t(std::max(0.0, std::floor(cols->lo)));
    const uint32_t v1 = std::max(v0 + 1, std::min(cols->limit, uint32_t(std::ceil(cols->hi))));
    const uint32_t u0 = uint32_t(std::max(0.0, std::floor(rows->lo)));
    const uint32_t u1 = std::max(u0 + 1, std::min(rows->limit, uint32_t(std::ceil(rows->hi))));
    const size_t turned_stride = size_t(v1 - v0) * bytes;
    store->resize(turned_stride * (u1 - u0));
    if (bytes == 1)
        turn_region<1>(*data, stride, u0, u1, v0, v1, store->data(), turned_stride);
    else if (bytes == 2)
        turn_region<2>(*data, stride, u0, u1, v0, v1, store->data(), turned_stride);
    else
        turn_region<4>(*data, stride, u0, u1, v0, v1, store->data(), turned_stride);
    *data = store->data();
    auto shift = [](AxisSpec *a, uint32_t first, uint32_t last, int64_t step) {
        a->origin -= first;
        a->lo -= first;
        a->hi -= first;
        a->limit = last - first;
        a->step = step;
    };
    shift(cols, v0, v1, bytes);
    shift(rows, u0, u1, int64_t(turned_stride));
}

void draw_nv12(const ComposeLayer &layer, const Prepared &p, uint8_t *out, uint32_t out_stride)
{
    const PlaneRecord &pl = layer.plane;
    const LayerMapping &map = p.map;
    const uint32_t n = uint32_t(map.x1 - map.x0);
    const int32_t count = map.y1 - map.y0;
    AxisSpec ca, ra, cca, cra;
    AxisTaps cols, rows, ccols, crows;
    layer_axes(map, 1.0, pl.width, pl.height, 1, layer.stride[0], &ca, &ra);
    layer_axes(map, 2.0, (pl.width + 1) / 2, (pl.height + 1) / 2, 2, layer.stride[1], &cca, &cra);
    const uint8_t *luma_plane = layer.data[0], *chroma_plane = layer.data[1];
    std::vector<uint8_t> turned_luma, turned_chroma;
    if (!is_upright(map)) {
        turn_plane(1, &luma_plane, layer.stride[0], &ca, &ra, &turned_luma);
        turn_plane(2, &chroma_plane, layer.stride[1], &cca, &cra, &turned_chroma);
    }
    build_taps(ca, map.x0, int32_t(n), &cols);
    build_taps(ra, map.y0, count, &rows);
    build_taps(cca, map.x0, int32_t(n), &ccols);
    build_taps(cra, map.y0, count, &crows);
    const YuvCoefficients16 k16 = yuv_coefficients(pl.color_encoding, pl.color_range);
    const Blend16 b16{p.blend.p15, p.blend.use_alpha, p.blend.mode == UDS_BLEND_COVERAGE};
    ColumnSpan span, cspan;
    column_span(cols, 1, &span);
    column_span(ccols, 2, &cspan);
    std::vector<int16_t> luma(span.pixels + 1, 0), chroma(2 * (cspan.pixels + 1), 0), ys(n), cbcr(2 * size_t(n));
    const std::vector<int32_t> lw = weight_pairs(cols), cw = weight_pairs(ccols);
    // Whole luma pixels in order (unscaled, unreflected): the filtered row is the stream's.
    bool luma_in_order = cols.exact;
    for (uint32_t i = 1; luma_in_order && i < n; ++i)
        luma_in_order = span.index[i] == span.index[0] + i;
    std::vector<uint16_t> line(size_t(n) * 4);
    for (int32_t r = 0; r < count; ++r) {
        const uint8_t *lrow = luma_plane + rows.offset[size_t(r)] + span.first;
        const uint8_t *crow = chroma_plane + crows.offset[size_t(r)] + 2 * cspan.first;
        filter_down(lrow, lrow + rows.next[size_t(r)], rows.weight[size_t(r)], span.pixels, luma.data());
        filter_down(crow, crow + crows.next[size_t(r)], crows.weight[size_t(r)], 2 * cspan.pixels, chroma.data());
        filter_across_nv12(luma.data(), span.index.data(), lw.data(), chroma.data(), cspan.index.data(), cw.data(), n,
                           luma_in_order ? nullptr : ys.data(), cbcr.data());
        uint32_t *o = reinterpret_cast<uint32_t *>(out + size_t(map.y0 + r) * out_stride) + map.x0;
        yuv_row(luma_in_order ? luma.data() + span.index[0] : ys.data(), cbcr.data(), n, k16, line.data(),
                p.blend.opaque ? o : nullptr);
        if (!p.blend.opaque)
            blend_row16(line.data(), n, b16, o);
    }
}

void draw_packed(const ComposeLayer &layer, const Prepared &p, uint8_t *out, uint32_t out_stride)
{
    const PlaneRecord &pl = layer.plane;
    const LayerMapping &map = p.map;
    const uint32_t n = uint32_t(map.x1 - map.x0);
    const int32_t count = map.y1 - map.y0;
    AxisSpec ca, ra;
    AxisTaps cols, rows;
    layer_axes(map, 1.0, pl.width, pl.height, 4, layer.stride[0], &ca, &ra);
    build_taps(ca, map.x0, int32_t(n), &cols);
    build_taps(ra, map.y0, count, &rows);
    const bool swap = pl.format == PLANE_COMPOSE_XB24 || pl.format == PLANE_COMPOSE_AB24;
    // Whole pixels in buffer order along the row: the row is read as it stands.
    auto in_order = [&] {
        bool contiguous = cols.exact;
        for (uint32_t i = 1; contiguous && i < n; ++i)
            contiguous = cols.offset[i] == cols.offset[0] + 4 * int64_t(i);
        return contiguous;
    };
    bool contiguous = in_order();
    if (cols.exact && rows.exact && !contiguous) {
        // Whole pixels out of order (a turned or reflected layer): four rows
        // at a time, gathered column by column so that each buffer row is
        // read along its length; four by four where the stream's rows run
        // along the buffer's rows.
        constexpr int32_t kBand = 4;
        std::vector<uint32_t> band(size_t(n) * kBand);
        const int32_t step = count > 1 ? int32_t(rows.offset[1] - rows.offset[0]) : 0;
        bool blocks = step == 4 || step == -4;
        for (int32_t r = 1; blocks && r < count; ++r)
            blocks = rows.offset[size_t(r)] - rows.offset[size_t(r - 1)] == step;
        for (int32_t r0 = 0; r0 < count; r0 += kBand) {
            const int32_t rn = std::min(kBand, count - r0);
            uint32_t i = 0;
            if (blocks && rn == kBand) {
                const int64_t first = rows.offset[size_t(step > 0 ? r0 : r0 + 3)];
                for (; i + 4 <= n; i += 4) {
                    __m128i v[4];
                    for (uint32_t j = 0; j < 4; ++j) {
                        v[j] = _mm_loadu_si128(
                            reinterpret_cast<const __m128i *>(layer.data[0] + cols.offset[i + j] + first));
                        if (step < 0)
                            v[j] = _mm_shuffle_epi32(v[j], _MM_SHUFFLE(0, 1, 2, 3));
                    }
                    const __m128i t0 = _mm_unpacklo_epi32(v[0], v[1]), t1 = _mm_unpacklo_epi32(v[2], v[3]);
                    const __m128i t2 = _mm_unpackhi_epi32(v[0], v[1]), t3 = _mm_unpackhi_epi32(v[2], v[3]);
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(&band[i]), _mm_unpacklo_epi64(t0, t1));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(&band[n + i]), _mm_unpackhi_epi64(t0, t1));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(&band[2 * size_t(n) + i]), _mm_unpacklo_epi64(t2, t3));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(&band[3 * size_t(n) + i]), _mm_unpackhi_epi64(t2, t3));
                }
            }
            for (; i < n; ++i) {
                const uint8_t *column = layer.data[0] + cols.offset[i];
                for (int32_t k = 0; k < rn; ++k)
                    band[size_t(k) * n + i] = load32(column + rows.offset[size_t(r0 + k)]);
            }
            for (int32_t k = 0; k < rn; ++k) {
                const uint8_t *src = reinterpret_cast<const uint8_t *>(&band[size_t(k) * n]);
                uint32_t *o = reinterpret_cast<uint32_t *>(out + size_t(map.y0 + r0 + k) * out_stride) + map.x0;
                if (p.blend.opaque)
                    copy_row(src, n, swap, o);
                else
                    blend_row8(src, n, swap, p.blend, o);
            }
        }
        return;
    }
    const uint8_t *plane = layer.data[0];
    std::vector<uint8_t> turned;
    if (!is_upright(map)) {
        turn_plane(4, &plane, layer.stride[0], &ca, &ra, &turned);
        build_taps(ca, map.x0, int32_t(n), &cols);
        build_taps(ra, map.y0, count, &rows);
        contiguous = in_order();
    }
    std::vector<uint8_t> gathered;
    if (cols.exact && !contiguous)
        gathered.resize(size_t(n) * 4);
    std::vector<uint16_t> line(size_t(n) * 4);
    ColumnSpan span;
    column_span(cols, 4, &span);
    std::vector<int16_t> filtered(4 * (span.pixels + 1), 0);
    const std::vector<int32_t> weights = weight_pairs(cols);
    const FilterAcrossPacked across = filter_across_packed(swap, p.blend.use_alpha, p.blend.opaque);
    const bool avx2 = avx2_in_use();
    const Blend16 b16{p.blend.p15, p.blend.use_alpha, p.blend.mode == UDS_BLEND_COVERAGE};
    for (int32_t r = 0; r < count; ++r) {
        const uint8_t *row = plane + rows.offset[size_t(r)];
        uint32_t *o = reinterpret_cast<uint32_t *>(out + size_t(map.y0 + r) * out_stride) + map.x0;
        if (cols.exact && rows.weight[size_t(r)] == 0) {
            const uint8_t *src = row + cols.offset[0];
            if (!contiguous) {
                for (uint32_t i = 0; i < n; ++i)
                    std::memcpy(&gathered[4 * size_t(i)], row + cols.offset[i], 4);
                src = gathered.data();
            }
            if (p.blend.opaque)
                copy_row(src, n, swap, o);
            else
                blend_row8(src, n, swap, p.blend, o);
            continue;
        }
        const int64_t start = 4 * span.first;
        filter_down(row + start, row + rows.next[size_t(r)] + start, rows.weight[size_t(r)], 4 * span.pixels,
                    filtered.data());
        const uint32_t done = avx2 ? filter_across_packed_avx2(swap, p.blend.use_alpha, p.blend.opaque, filtered.data(),
                                                               span.index.data(), weights.data(), n, line.data(), o)
                                   : 0;
        across(filtered.data(), span.index.data() + done, weights.data() + done, n - done,
               line.data() + 4 * size_t(done), o + done);
        if (!p.blend.opaque)
            blend_row16(line.data(), n, b16, o);
    }
}

void draw_layer(const ComposeLayer &layer, const Prepared &p, uint8_t *out, uint32_t out_stride)
{
    if (layer.plane.format == PLANE_COMPOSE_NV12)
        draw_nv12(layer, p, out, out_stride);
    else
        draw_packed(layer, p, out, out_stride);
}

// A deep-colour layer as the composer's 8-bit one: its rows reduced into
// store (AR24 with its alpha, XR24 without; P010 to NV12). Other layers are
// drawn as they are. False after a line when there is no memory for it.
bool reduce_layer(const ComposeLayer &layer, std::vector<uint8_t> *store, ComposeLayer *reduced)
{
    const PlaneRecord &pl = layer.plane;
    const uint32_t f = pl.format, w = pl.width, h = pl.height;
    *reduced = layer;
    if (f != DEEP_P010 && !deep_packed_bytes(f))
        return true;
    ComposeLayer &out = *reduced;
    const bool p010 = f == DEEP_P010;
    const uint32_t chroma_width = 2 * ((w + 1) / 2), chroma_rows = (h + 1) / 2;
    const size_t luma_bytes = size_t(p010 ? w : 4 * size_t(w)) * h;
    try {
        store->resize(luma_bytes + (p010 ? size_t(chroma_width) * chroma_rows : 0));
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "plane_compose: plane %u: out of memory for its 8-bit copy\n", pl.plane_id);
        return false;
    }
    uint8_t *to = store->data();
    for (uint32_t r = 0; r < h; ++r) {
        const uint8_t *from = layer.data[0] + size_t(r) * layer.stride[0];
        if (p010)
            p010_row_to_8(from, w, to + size_t(r) * w);
        else
            deep_row_to_bgra8(f, from, w, to + size_t(r) * 4 * w);
    }
    out.data[0] = to;
    out.stride[0] = p010 ? w : 4 * w;
    out.plane.format = p010 ? PLANE_COMPOSE_NV12 : deep_has_alpha(f) ? PLANE_COMPOSE_AR24 : PLANE_COMPOSE_XR24;
    if (p010) {
        for (uint32_t r = 0; r < chroma_rows; ++r)
            p010_row_to_8(layer.data[1] + size_t(r) * layer.stride[1], chroma_width,
                          to + luma_bytes + size_t(r) * chroma_width);
        out.data[1] = to + luma_bytes;
        out.stride[1] = chroma_width;
    }
    return true;
}

// True when the layer hides everything under it.
bool covers_stream(const Prepared &p, uint32_t width, uint32_t height)
{
    return p.blend.opaque && p.map.x0 == 0 && p.map.y0 == 0 && uint32_t(p.map.x1) == width &&
           uint32_t(p.map.y1) == height;
}

}  // namespace

int plane_compose_xrgb(const ComposeLayer *layers, uint32_t count, uint32_t crtc_width, uint32_t crtc_height,
                       uint32_t turns, uint8_t *out, uint32_t out_stride)
{
    uint32_t width = 0, height = 0;
    plane_stream_size(crtc_width, crtc_height, turns, &width, &height);
    if (!out || uint64_t(out_stride) < 4 * uint64_t(width) || (count > 0 && !layers)) {
        std::fprintf(stderr, "plane_compose: no picture of %ux%u to draw into (stride %u)\n", width, height,
                     out_stride);
        return -1;
    }
    int rc = 0;
    std::vector<Prepared> prepared(count);
    std::vector<int> state(count);
    for (uint32_t i = 0; i < count; ++i) {
        state[i] = prepare_layer(layers[i], crtc_width, crtc_height, turns, &prepared[i]);
        if (state[i] < 0)
            rc = -1;
    }
    // Black, unless an opaque layer hides it all: drawing starts at the top-most such layer.
    uint32_t first = 0;
    for (uint32_t i = count; i-- > 0;) {
        if (state[i] > 0 && covers_stream(prepared[i], width, height)) {
            first = i;
            break;
        }
    }
    if (first == 0 && !(count > 0 && state[0] > 0 && covers_stream(prepared[0], width, height))) {
        for (uint32_t y = 0; y < height; ++y) {
            uint32_t *row = reinterpret_cast<uint32_t *>(out + size_t(y) * out_stride);
            uint32_t x = 0;
            for (const __m128i black = _mm_set1_epi32(int32_t(0xff000000u)); x + 4 <= width; x += 4)
                _mm_storeu_si128(reinterpret_cast<__m128i *>(row + x), black);
            std::fill(row + x, row + width, 0xff000000u);
        }
    }
    // The reduced copies of deep-colour layers; kept from call to call so
    // that a steady stream allocates nothing here.
    static thread_local std::vector<std::vector<uint8_t>> stores;
    if (stores.size() < count)
        stores.resize(count);
    for (uint32_t i = first; i < count; ++i) {
        ComposeLayer reduced;
        if (state[i] <= 0)
            continue;
        if (reduce_layer(layers[i], &stores[i], &reduced))
            draw_layer(reduced, prepared[i], out, out_stride);
        else
            rc = -1;
    }
    return rc;
}
