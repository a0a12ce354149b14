// The deep-colour converter's row functions, built twice: as they are
// (deep_convert.cpp) and for AVX2 (deep_convert_avx2.cpp, inside its target
// region). Included after the standard headers, into a namespace of each
// file's own: it includes nothing and calls no library code, so nothing of
// it is shared between the two builds.
//
// Rows are decoded into planar floats in [0, 1] and converted in float; the
// loops are plain so that the compiler widens them to the target's vectors.

// Row storage: the decoded row, then a ring of four rows of column-pair sums
// per channel (chroma row j weighs rows 2j-1 to 2j+2).
struct Scratch {
    float *r, *g, *b;    // width each
    float *pairs[4][3];  // (width + 1) / 2 each
};

template <int lo_shift, int hi_shift>
inline void decode_2101010(const uint8_t *__restrict src, uint32_t n, float *__restrict r, float *__restrict g,
                           float *__restrict b)
{
    const float k = 1.0f / 1023.0f;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t w;
        __builtin_memcpy(&w, src + 4 * size_t(i), 4);
        r[i] = float((w >> lo_shift) & 1023u) * k;
        g[i] = float((w >> 10) & 1023u) * k;
        b[i] = float((w >> hi_shift) & 1023u) * k;
    }
}

template <int ri, int bi>
inline void decode_16161616(const uint8_t *__restrict src, uint32_t n, float *__restrict r, float *__restrict g,
                            float *__restrict b)
{
    const float k = 1.0f / 65535.0f;
    for (uint32_t i = 0; i < n; ++i) {
        uint16_t c[4];
        __builtin_memcpy(c, src + 8 * size_t(i), 8);
        r[i] = float(c[ri]) * k;
        g[i] = float(c[1]) * k;
        b[i] = float(c[bi]) * k;
    }
}

template <int ri, int bi>
inline void decode_half(const uint8_t *__restrict src, uint32_t n, const float *__restrict half, float *__restrict r,
                        float *__restrict g, float *__restrict b)
{
    for (uint32_t i = 0; i < n; ++i) {
        uint16_t c[4];
        __builtin_memcpy(c, src + 8 * size_t(i), 8);
        r[i] = half[c[ri]];
        g[i] = half[c[1]];
        b[i] = half[c[bi]];
    }
}

inline void decode_565(const uint8_t *__restrict src, uint32_t n, float *__restrict r, float *__restrict g,
                       float *__restrict b)
{
    for (uint32_t i = 0; i < n; ++i) {
        uint16_t w;
        __builtin_memcpy(&w, src + 2 * size_t(i), 2);
        r[i] = float(w >> 11) * (1.0f / 31.0f);
        g[i] = float((w >> 5) & 63u) * (1.0f / 63.0f);
        b[i] = float(w & 31u) * (1.0f / 31.0f);
    }
}

// One row of a packed deep format into planar floats; false for another fourcc.
inline bool decode_row(uint32_t f, const uint8_t *src, uint32_t n, const float *half, float *r, float *g, float *b)
{
    if (f == DEEP_XR30 || f == DEEP_AR30)
        decode_2101010<20, 0>(src, n, r, g, b);
    else if (f == DEEP_XB30 || f == DEEP_AB30)
        decode_2101010<0, 20>(src, n, r, g, b);
    else if (f == DEEP_XR48 || f == DEEP_AR48)
        decode_16161616<2, 0>(src, n, r, g, b);
    else if (f == DEEP_XB48 || f == DEEP_AB48)
        decode_16161616<0, 2>(src, n, r, g, b);
    else if (f == DEEP_XR4H || f == DEEP_AR4H)
        decode_half<2, 0>(src, n, half, r, g, b);
    else if (f == DEEP_XB4H || f == DEEP_AB4H)
        decode_half<0, 2>(src, n, half, r, g, b);
    else if (f == DEEP_RG16)
        decode_565(src, n, r, g, b);
    else
        return false;
    return true;
}

// BT.709: Y' = 0.2126 R' + 0.7152 G' + 0.0722 B', Cb = (B' - Y') / 1.8556,
// Cr = (R' - Y') / 1.5748, scaled to 219 and 224 steps; a half added so
// that truncation rounds.
constexpr float kYr = float(219 * 0.2126), kYg = float(219 * 0.7152), kYb = float(219 * 0.0722);
constexpr float kUr = float(-224 * 0.2126 / 1.8556), kUg = float(-224 * 0.7152 / 1.8556),
                kUb = float(224 * (1 - 0.0722) / 1.8556);
constexpr float kVr = float(224 * (1 - 0.2126) / 1.5748), kVg = float(-224 * 0.7152 / 1.5748),
                kVb = float(-224 * 0.0722 / 1.5748);

inline uint8_t to_byte(float x)
{
    x = x < 0.0f ? 0.0f : x;
    x = x > 255.0f ? 255.0f : x;
    return uint8_t(int32_t(x));
}

inline void luma_row(const float *__restrict r, const float *__restrict g, const float *__restrict b, uint32_t n,
                     uint8_t *__restrict y)
{
    for (uint32_t i = 0; i < n; ++i)
        y[i] = to_byte(16.5f + kYr * r[i] + kYg * g[i] + kYb * b[i]);
}

inline void pair_row(const float *__restrict c, uint32_t n, float *__restrict out)
{
    const uint32_t half = n / 2;
    for (uint32_t i = 0; i < half; ++i)
        out[i] = c[2 * i] + c[2 * i + 1];
    if (n % 2)
        out[half] = 2.0f * c[n - 1];
}

// Chroma of one row from the pair sums of rows a, b, c, d (weights 1, 3, 3, 1).
inline void chroma_row(float *const (&a)[3], float *const (&b)[3], float *const (&c)[3], float *const (&d)[3],
                       uint32_t cw, uint8_t *__restrict u, uint8_t *__restrict v)
{
    const float k = 1.0f / 16.0f;
    const float *ar = a[0], *ag = a[1], *ab = a[2], *br = b[0], *bg = b[1], *bb = b[2];
    const float *cr = c[0], *cg = c[1], *cb = c[2], *dr = d[0], *dg = d[1], *db = d[2];
    for (uint32_t i = 0; i < cw; ++i) {
        const float r = (ar[i] + 3.0f * (br[i] + cr[i]) + dr[i]) * k;
        const float g = (ag[i] + 3.0f * (bg[i] + cg[i]) + dg[i]) * k;
        const float bl = (ab[i] + 3.0f * (bb[i] + cb[i]) + db[i]) * k;
        u[i] = to_byte(128.5f + kUr * r + kUg * g + kUb * bl);
        v[i] = to_byte(128.5f + kVr * r + kVg * g + kVb * bl);
    }
}

// The whole picture (checked by the caller: packed deep fourcc, even height).
// fused(fourcc, row, width, y, pairs) may do the first pixels of a row
// itself (decoded, luma and pair sums) and returns how many (an even count);
// the plain loops do the rest.
template <class Fused>
inline void convert_picture(uint32_t f, uint32_t width, uint32_t height, const uint8_t *src, uint32_t stride,
                            const float *half, const Scratch &s, uint8_t *y, uint8_t *u, uint8_t *v, Fused fused)
{
    const uint32_t cw = (width + 1) / 2, bytes = deep_packed_bytes(f);
    auto slot = [&](int64_t row) -> float *const(&)[3] {
        row = row < 0 ? 0 : row >= int64_t(height) ? int64_t(height) - 1 : row;
        return s.pairs[row % 4];
    };
    auto emit = [&](uint32_t j) {
        const int64_t t = 2 * int64_t(j);
        chroma_row(slot(t - 1), slot(t), slot(t + 1), slot(t + 2), cw, u + size_t(j) * cw, v + size_t(j) * cw);
    };
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *in = src + size_t(row) * stride;
        uint8_t *luma = y + size_t(row) * width;
        float *const(&p)[3] = s.pairs[row % 4];
        const uint32_t done = fused(f, in, width, luma, p);
        const uint32_t n = width - done, i = done / 2;
        decode_row(f, in + size_t(done) * bytes, n, half, s.r, s.g, s.b);
        luma_row(s.r, s.g, s.b, n, luma + done);
        pair_row(s.r, n, p[0] + i);
        pair_row(s.g, n, p[1] + i);
        pair_row(s.b, n, p[2] + i);
        if (row % 2 == 0 && row >= 2)
            emit(row / 2 - 1);
    }
    emit(height / 2 - 1);
}
