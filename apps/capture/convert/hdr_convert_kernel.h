// The HDR converter's row functions, built twice: as they are
// (hdr_convert.cpp) and for AVX2 (hdr_convert_avx2.cpp, inside its target
// region). Included after the standard headers and hdr_convert_internal.h,
// into a namespace of each file's own; it calls no library code.
//
// A row is decoded through the tables (a channel's raw code to a float),
// finished by the tables' mode into R', G', B' in [0, 1], then converted to
// Y'CbCr in float with the chroma rule of the deep-colour converter (column
// pairs summed, rows weighted 1, 3, 3, 1, clamped at the edges). The loops
// are plain so that the compiler widens them (table reads become gathers).

// The deep-colour converter's row storage and column-pair sums are this
// kernel's too (its names that differ from these are unused here).
#include "apps/capture/convert/deep_convert_kernel.h"

using hdr_convert_detail::Coeffs;
using hdr_convert_detail::Tables;

inline Scratch scratch_rows(float *p, uint32_t width)
{
    const uint32_t w = width + 8, cw = (width + 1) / 2 + 8;
    Scratch s{p, p + w, p + 2 * w, {}};
    p += 3 * w;
    for (auto &row : s.pairs)
        for (float *&c : row) {
            c = p;
            p += cw;
        }
    return s;
}

// Each decoder reads codes by code(i, c) (channel c of pixel i) and stores
// them scaled (when the tables' values are the codes' own) or through the
// tables.
template <class Code>
inline void decode_pixels(uint32_t n, const Tables &t, Code code, float *__restrict r, float *__restrict g,
                          float *__restrict b)
{
    if (t.scale[0] != 0.0f) {
        const float kr = t.scale[0], kg = t.scale[1], kb = t.scale[2];
        for (uint32_t i = 0; i < n; ++i) {
            r[i] = float(code(i, 0)) * kr;
            g[i] = float(code(i, 1)) * kg;
            b[i] = float(code(i, 2)) * kb;
        }
        return;
    }
    const float *tr = t.code[0], *tg = t.code[1], *tb = t.code[2];
    for (uint32_t i = 0; i < n; ++i) {
        r[i] = tr[code(i, 0)];
        g[i] = tg[code(i, 1)];
        b[i] = tb[code(i, 2)];
    }
}

// The code readers: channel c (R, G, B) of pixel i.
template <int r_shift, int b_shift>
struct Codes2101010 {
    const uint8_t *src;
    uint32_t operator()(uint32_t i, int c) const
    {
        uint32_t w;
        __builtin_memcpy(&w, src + 4 * size_t(i), 4);
        return (w >> (c == 0 ? r_shift : c == 1 ? 10 : b_shift)) & 1023u;
    }
};

// 16-bit channels (integer or half float: the tables tell), ri and bi the
// places of R and B among the four.
template <int ri, int bi>
struct Codes16161616 {
    const uint8_t *src;
    uint32_t operator()(uint32_t i, int c) const
    {
        uint16_t v;
        __builtin_memcpy(&v, src + 8 * size_t(i) + 2 * (c == 0 ? ri : c == 1 ? 1 : bi), 2);
        return v;
    }
};

struct Codes565 {
    const uint8_t *src;
    uint32_t operator()(uint32_t i, int c) const
    {
        uint16_t w;
        __builtin_memcpy(&w, src + 2 * size_t(i), 2);
        return c == 0 ? uint32_t(w >> 11) : c == 1 ? uint32_t(w >> 5) & 63u : uint32_t(w) & 31u;
    }
};

// 8-bit channels, ri and bi the bytes of R and B.
template <int ri, int bi>
struct Codes8888 {
    const uint8_t *src;
    uint32_t operator()(uint32_t i, int c) const { return src[4 * size_t(i) + (c == 0 ? ri : c == 1 ? 1 : bi)]; }
};

// x's bits, x clamped to [lo, 1] as integers (a negative float, NaN
// included, is a negative integer), so that the compiler needs no float
// compare it cannot widen.
inline uint32_t clamped_bits(float x, float lo)
{
    int32_t v, low, one;
    const float top = 1.0f;
    __builtin_memcpy(&v, &x, 4);
    __builtin_memcpy(&low, &lo, 4);
    __builtin_memcpy(&one, &top, 4);
    v = v < low ? low : v;
    return uint32_t(v > one ? one : v);
}

// A log table's value at x (clamped to [2^-28, 1]): the entry nearest x.
inline float log_lut(const float *__restrict table, float x)
{
    using hdr_convert_detail::kLogBits;
    const uint32_t bits = clamped_bits(x, 1.0f / float(1u << hdr_convert_detail::kLogOctaves));
    const uint32_t base = uint32_t(127 - hdr_convert_detail::kLogOctaves) << kLogBits;
    return table[((bits + (1u << (22 - kLogBits))) >> (23 - kLogBits)) - base];
}

// x^(1/2.4) for x in [2^-28, 1] (clamped), within 2e-5 of its value:
// x = 2^e m with m in [1, 2), so x^(5/12) = 2^(5e/12) m^(5/12); 5e/12 is
// split into its whole part (added to the result's exponent) and its
// fraction f, and 2^f and m^(5/12) are polynomials (in f, and in m - 1.5).
// Plain arithmetic, so that the loops widen.
constexpr float kGammaPoly[5] = {1.1840535402297974f, 0.3288050889968872f, -0.06390290707349777f,
                                 0.024054285138845444f, -0.0104832099750638f};
constexpr float kExp2Poly[5] = {1.000003457069397f, 0.6929728984832764f, 0.24160435795783997f,
                                0.05174499750137329f, 0.013670309446752071f};

inline float encode_gamma(float x)
{
    uint32_t bits = clamped_bits(x, 1.0f / float(1u << 28));
    // e + 36 (8..36) keeps the product positive: 5 (e + 36) / 12 = 5e/12 + 15.
    const float s = float(5 * (int32_t(bits >> 23) - 127 + 36)) * (1.0f / 12.0f);
    const int32_t whole = int32_t(s);
    const float f = s - float(whole);
    const float step = (((kExp2Poly[4] * f + kExp2Poly[3]) * f + kExp2Poly[2]) * f + kExp2Poly[1]) * f + kExp2Poly[0];
    const uint32_t mbits = (bits & 0x7fffffu) | 0x3f800000u;
    float m;
    __builtin_memcpy(&m, &mbits, 4);
    const float t = m - 1.5f;
    const float poly =
        (((kGammaPoly[4] * t + kGammaPoly[3]) * t + kGammaPoly[2]) * t + kGammaPoly[1]) * t + kGammaPoly[0];
    float y = poly * step;
    __builtin_memcpy(&bits, &y, 4);
    bits += uint32_t(whole - 15) << 23;
    __builtin_memcpy(&y, &bits, 4);
    return y;
}

// Linear light to BT.709 (when the tables say so), clipped, gamma-encoded.
inline void light_to_signal(const Tables &t, uint32_t n, float *__restrict r, float *__restrict g, float *__restrict b)
{
    if (t.matrix) {
        const float m0 = t.m[0], m1 = t.m[1], m2 = t.m[2], m3 = t.m[3], m4 = t.m[4], m5 = t.m[5], m6 = t.m[6],
                    m7 = t.m[7], m8 = t.m[8];
        for (uint32_t i = 0; i < n; ++i) {
            const float lr = r[i], lg = g[i], lb = b[i];
            r[i] = encode_gamma(m0 * lr + m1 * lg + m2 * lb);
            g[i] = encode_gamma(m3 * lr + m4 * lg + m5 * lb);
            b[i] = encode_gamma(m6 * lr + m7 * lg + m8 * lb);
        }
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            r[i] = encode_gamma(r[i]);
            g[i] = encode_gamma(g[i]);
            b[i] = encode_gamma(b[i]);
        }
    }
}

// HLG scene light to target light: the OOTF's gain Ys^0.2 (relative to the
// 1000 cd/m2 display), then the EETF per channel. Ys is 0 only where every
// channel is (the weights are positive), so the gain needs no case for it.
inline void hlg_to_light(const Tables &t, uint32_t n, float *__restrict r, float *__restrict g, float *__restrict b)
{
    const float *gain = t.hlg_gain, *eetf = t.eetf;
    const float kr = t.ys[0], kg = t.ys[1], kb = t.ys[2];
    for (uint32_t i = 0; i < n; ++i) {
        const float ys = kr * r[i] + kg * g[i] + kb * b[i];
        const float k = log_lut(gain, ys);
        r[i] = log_lut(eetf, k * r[i]);
        g[i] = log_lut(eetf, k * g[i]);
        b[i] = log_lut(eetf, k * b[i]);
    }
}

// One row of fourcc's pixels decoded through the tables; false for a
// fourcc it does not read.
inline bool decode_codes(uint32_t f, const Tables &t, const uint8_t *src, uint32_t n, float *r, float *g, float *b)
{
    if (f == DEEP_XR30 || f == DEEP_AR30)
        decode_pixels(n, t, Codes2101010<20, 0>{src}, r, g, b);
    else if (f == DEEP_XB30 || f == DEEP_AB30)
        decode_pixels(n, t, Codes2101010<0, 20>{src}, r, g, b);
    else if (f == DEEP_XR48 || f == DEEP_AR48 || f == DEEP_XR4H || f == DEEP_AR4H)
        decode_pixels(n, t, Codes16161616<2, 0>{src}, r, g, b);
    else if (f == DEEP_XB48 || f == DEEP_AB48 || f == DEEP_XB4H || f == DEEP_AB4H)
        decode_pixels(n, t, Codes16161616<0, 2>{src}, r, g, b);
    else if (f == DEEP_RG16)
        decode_pixels(n, t, Codes565{src}, r, g, b);
    else if (f == HDR_XR24 || f == HDR_AR24)
        decode_pixels(n, t, Codes8888<2, 0>{src}, r, g, b);
    else if (f == HDR_XB24 || f == HDR_AB24)
        decode_pixels(n, t, Codes8888<0, 2>{src}, r, g, b);
    else
        return false;
    return true;
}

// Rows done by the plain loops alone: the portable build's Wide. The AVX2
// build has its own, whose passes do the first pixels of a row (a multiple
// of 8, or of 16 for finish) and say how many.
struct PlainWide {
    uint32_t hlg(const Tables &, uint32_t, float *, float *, float *) const { return 0; }
    uint32_t light(const Tables &, uint32_t, float *, float *, float *) const { return 0; }
    // light_to_signal, the luma and the column-pair sums at once.
    template <class T>
    uint32_t finish(const Tables &, const Coeffs &, uint32_t, const float *, const float *, const float *, T *,
                    float *const (&)[3]) const
    {
        return 0;
    }
};

// One row of fourcc's pixels decoded, HLG's light made: what light_to_signal
// takes (the R', G', B' themselves in MODE_PLAIN); false for a fourcc it
// does not read.
template <class Wide>
inline bool light_row(uint32_t f, const Tables &t, const uint8_t *src, uint32_t n, float *r, float *g, float *b,
                      Wide wide)
{
    if (!decode_codes(f, t, src, n, r, g, b))
        return false;
    if (t.mode == hdr_convert_detail::MODE_HLG) {
        const uint32_t d = wide.hlg(t, n, r, g, b);
        hlg_to_light(t, n - d, r + d, g + d, b + d);
    }
    return true;
}

// One row of fourcc's pixels to R', G', B' in [0, 1]; false for a fourcc it
// does not read.
template <class Wide = PlainWide>
inline bool signal_row(uint32_t f, const Tables &t, const uint8_t *src, uint32_t n, float *r, float *g, float *b,
                       Wide wide = {})
{
    if (!light_row(f, t, src, n, r, g, b, wide))
        return false;
    if (t.mode != hdr_convert_detail::MODE_PLAIN) {
        const uint32_t d = wide.light(t, n, r, g, b);
        light_to_signal(t, n - d, r + d, g + d, b + d);
    }
    return true;
}

template <class T>
inline T to_code(float x, float top)
{
    x = x < 0.0f ? 0.0f : x;
    x = x > top ? top : x;
    return T(int32_t(x));
}

template <class T>
inline void luma_row_of(const Coeffs &k, const float *__restrict r, const float *__restrict g,
                        const float *__restrict b, uint32_t n, T *__restrict y)
{
    const float yr = k.yr, yg = k.yg, yb = k.yb, y0 = k.y0, top = k.top;
    for (uint32_t i = 0; i < n; ++i)
        y[i] = to_code<T>(y0 + yr * r[i] + yg * g[i] + yb * b[i], top);
}

// Chroma of one row from the pair sums of rows a, b, c, d (weights 1, 3, 3, 1).
template <class T>
inline void chroma_row_of(const Coeffs &k, float *const (&a)[3], float *const (&b)[3], float *const (&c)[3],
                          float *const (&d)[3], uint32_t cw, T *__restrict u, T *__restrict v)
{
    const float s = 1.0f / 16.0f;
    const float ur = k.ur, ug = k.ug, ub = k.ub, vr = k.vr, vg = k.vg, vb = k.vb, c0 = k.c0, top = k.top;
    const float *ar = a[0], *ag = a[1], *ab = a[2], *br = b[0], *bg = b[1], *bb = b[2];
    const float *cr = c[0], *cg = c[1], *cb = c[2], *dr = d[0], *dg = d[1], *db = d[2];
    for (uint32_t i = 0; i < cw; ++i) {
        const float r = (ar[i] + 3.0f * (br[i] + cr[i]) + dr[i]) * s;
        const float g = (ag[i] + 3.0f * (bg[i] + cg[i]) + dg[i]) * s;
        const float bl = (ab[i] + 3.0f * (bb[i] + cb[i]) + db[i]) * s;
        u[i] = to_code<T>(c0 + ur * r + ug * g + ub * bl, top);
        v[i] = to_code<T>(c0 + vr * r + vg * g + vb * bl, top);
    }
}

// The whole picture (checked by the caller: a fourcc signal_row reads, even
// height); planes tightly packed.
template <class T, class Wide = PlainWide>
inline void convert_rows(uint32_t f, const Tables &t, const Coeffs &k, uint32_t width, uint32_t height,
                         const uint8_t *src, uint32_t stride, float *scratch, T *y, T *u, T *v, Wide wide = {})
{
    const Scratch s = scratch_rows(scratch, width);
    const uint32_t cw = (width + 1) / 2;
    auto slot = [&](int64_t row) -> float *const(&)[3] {
        row = row < 0 ? 0 : row >= int64_t(height) ? int64_t(height) - 1 : row;
        return s.pairs[row % 4];
    };
    auto emit = [&](uint32_t j) {
        const int64_t r = 2 * int64_t(j);
        chroma_row_of<T>(k, slot(r - 1), slot(r), slot(r + 1), slot(r + 2), cw, u + size_t(j) * cw, v + size_t(j) * cw);
    };
    for (uint32_t row = 0; row < height; ++row) {
        float *const(&p)[3] = s.pairs[row % 4];
        T *luma = y + size_t(row) * width;
        light_row(f, t, src + size_t(row) * stride, width, s.r, s.g, s.b, wide);
        uint32_t done = 0;
        if (t.mode != hdr_convert_detail::MODE_PLAIN) {
            done = wide.finish(t, k, width, s.r, s.g, s.b, luma, p);
            light_to_signal(t, width - done, s.r + done, s.g + done, s.b + done);
        }
        const uint32_t n = width - done, i = done / 2;
        luma_row_of<T>(k, s.r + done, s.g + done, s.b + done, n, luma + done);
        pair_row(s.r + done, n, p[0] + i);
        pair_row(s.g + done, n, p[1] + i);
        pair_row(s.b + done, n, p[2] + i);
        if (row % 2 == 0 && row >= 2)
            emit(row / 2 - 1);
    }
    emit(height / 2 - 1);
}
