#include "apps/capture/convert/plane_compose.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "apps/capture/convert/plane_compose_internal.h"

bool plane_compose_supported(uint32_t fourcc)
{
    return fourcc == PLANE_COMPOSE_XR24 || fourcc == PLANE_COMPOSE_AR24 || fourcc == PLANE_COMPOSE_XB24 ||
           fourcc == PLANE_COMPOSE_AB24 || fourcc == PLANE_COMPOSE_NV12;
}

namespace {

using namespace plane_compose_detail;

constexpr uint32_t kWeightBits = 12;
constexpr uint32_t kOne = 1u << kWeightBits;  // a tap weight of 1

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

// The blend of one layer, fixed point: factors in 1/32768 steps, sampled
// channels in 1/256 steps (255 is 65280).
struct Blend {
    uint32_t p15 = kUnit;  // plane alpha
    uint32_t mode = UDS_BLEND_PREMULTI;
    bool use_alpha = false;  // the pixel's alpha counts
    bool opaque = true;      // out = src
    uint16_t fs[256], fd[256];  // factors for a pixel alpha of 0..255
};

inline void blend_factors(const Blend &b, uint32_t sa, uint32_t *fs, uint32_t *fd)
{
    if (!b.use_alpha) {
        *fs = b.p15;
        *fd = kUnit - b.p15;
        return;
    }
    const uint32_t as = uint32_t((uint64_t(sa) * b.p15 + kFull / 2) / kFull);
    *fs = b.mode == UDS_BLEND_COVERAGE ? as : b.p15;
    *fd = kUnit - as;
}

void blend_setup(const PlaneRecord &plane, Blend *b)
{
    const uint32_t alpha = std::min<uint32_t>(plane.alpha, 0xffff);
    b->p15 = uint32_t((uint64_t(alpha) * kUnit + 0x7fff) / 0xffff);
    b->mode = plane.blend;
    const bool has_alpha = plane.format == PLANE_COMPOSE_AR24 || plane.format == PLANE_COMPOSE_AB24;
    b->use_alpha = has_alpha && plane.blend != UDS_BLEND_NONE;
    b->opaque = !b->use_alpha && b->p15 == kUnit;
    for (uint32_t a = 0; a < 256; ++a) {
        uint32_t fs, fd;
        blend_factors(*b, a << 8, &fs, &fd);
        b->fs[a] = uint16_t(fs);
        b->fd[a] = uint16_t(fd);
    }
}

inline uint32_t swap_rb(uint32_t p)
{
    return (p & 0xff00ff00u) | ((p & 0xffu) << 16) | ((p >> 16) & 0xffu);
}

// An opaque row: the buffer's pixels themselves.
void copy_row(const uint8_t *src, uint32_t n, bool swap, uint32_t *out)
{
    if (swap) {
        for (uint32_t i = 0; i < n; ++i)
            out[i] = swap_rb(load32(src + 4 * size_t(i))) | 0xff000000u;
    } else {
        for (uint32_t i = 0; i < n; ++i)
            out[i] = load32(src + 4 * size_t(i)) | 0xff000000u;
    }
}

// A translucent row of whole buffer pixels.
void blend_row8(const uint8_t *src, uint32_t n, bool swap, const Blend &b, uint32_t *out)
{
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t s = load32(src + 4 * size_t(i));
        if (swap)
            s = swap_rb(s);
        const uint32_t a = b.use_alpha ? s >> 24 : 255;
        const uint32_t fs = b.fs[a], fd = b.fd[a], d = out[i];
        uint32_t px = 0xff000000u;
        for (uint32_t c = 0; c < 24; c += 8) {
            const uint32_t v = (((s >> c) & 0xff) * fs + ((d >> c) & 0xff) * fd + kUnit / 2) >> 15;
            px |= std::min<uint32_t>(v, 255) << c;
        }
        out[i] = px;
    }
}

}  // namespace

namespace plane_compose_detail {

void blend_row16(const uint16_t *s, uint32_t n, const Blend16 &b, uint32_t *out)
{
    for (uint32_t i = 0; i < n; ++i, s += 4) {
        uint32_t fs, fd;
        if (b.use_alpha) {
            const uint32_t as = uint32_t((uint64_t(s[3]) * b.p15 + kFull / 2) / kFull);
            fs = b.coverage ? as : b.p15;
            fd = kUnit - as;
        } else {
            fs = b.p15;
            fd = kUnit - b.p15;
        }
        const uint32_t d = out[i];
        uint32_t px = 0xff000000u;
        for (uint32_t c = 0; c < 3; ++c) {
            const uint64_t v =
                (uint64_t(s[c]) * fs + uint64_t((d >> (8 * c)) & 0xff) * 256 * fd + (1u << 22)) >> 23;
            px |= uint32_t(std::min<uint64_t>(v, 255)) << (8 * c);
        }
        out[i] = px;
    }
}

}  // namespace plane_compose_detail

namespace {

inline uint32_t bilerp(uint32_t c00, uint32_t c01, uint32_t c10, uint32_t c11, uint32_t wx, uint32_t wy)
{
    // At most 255 * 4096 * 4096 + 32768: fits 32 bits.
    return (((c00 * (kOne - wx) + c01 * wx) * (kOne - wy)) + ((c10 * (kOne - wx) + c11 * wx) * wy) + (1u << 15)) >>
           16;
}

// A row of filtered pixels of a packed buffer, B G R A in 1/256 steps.
void sample_packed_row(const uint8_t *row, int64_t row_next, uint32_t wy, const AxisTaps &cols, uint32_t n, bool swap,
                       bool use_alpha, uint16_t *dst)
{
    const uint32_t shift[4] = {swap ? 16u : 0u, 8u, swap ? 0u : 16u, 24u};
    for (uint32_t i = 0; i < n; ++i, dst += 4) {
        const uint8_t *p = row + cols.offset[i];
        const int64_t nx = cols.next[i];
        const uint32_t wx = cols.weight[i];
        const uint32_t p00 = load32(p), p01 = load32(p + nx), p10 = load32(p + row_next),
                       p11 = load32(p + row_next + nx);
        for (uint32_t c = 0; c < 4; ++c) {
            const uint32_t k = shift[c];
            dst[c] = uint16_t(bilerp((p00 >> k) & 0xff, (p01 >> k) & 0xff, (p10 >> k) & 0xff, (p11 >> k) & 0xff, wx,
                                     wy));
        }
        if (!use_alpha)
            dst[3] = uint16_t(kFull);
    }
}

// YCbCr to RGB, 1/65536 steps: R = cy * (Y - y_offset) + cr_r * Cr, and so on
// with Cb and Cr centred on 0.
struct YuvCoefficients {
    int64_t y_offset, cy, cr_r, cb_g, cr_g, cb_b;
};

YuvCoefficients yuv_coefficients(uint32_t encoding, uint32_t range)
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
    auto fixed = [](double v) { return int64_t(std::llround(v * 65536.0)); };
    return {full ? 0 : 16 * 256,
            fixed(ys),
            fixed(2.0 * (1.0 - kr) * cs),
            fixed(-2.0 * kb * (1.0 - kb) / kg * cs),
            fixed(-2.0 * kr * (1.0 - kr) / kg * cs),
            fixed(2.0 * (1.0 - kb) * cs)};
}

inline uint16_t clamp_channel(int64_t v)
{
    return uint16_t(std::clamp<int64_t>((v + 32768) >> 16, 0, kFull));
}

// A row of an NV12 buffer filtered and converted, B G R A in 1/256 steps.
void sample_nv12_row(const uint8_t *luma_row, int64_t luma_next, uint32_t wy, const AxisTaps &cols,
                     const uint8_t *chroma_row, int64_t chroma_next, uint32_t cwy, const AxisTaps &ccols, uint32_t n,
                     const YuvCoefficients &k, uint16_t *dst)
{
    for (uint32_t i = 0; i < n; ++i, dst += 4) {
        const uint8_t *p = luma_row + cols.offset[i];
        const int64_t nx = cols.next[i];
        const int64_t y = bilerp(p[0], p[nx], p[luma_next], p[luma_next + nx], cols.weight[i], wy) - k.y_offset;
        const uint8_t *q = chroma_row + ccols.offset[i];
        const int64_t cx = ccols.next[i];
        const uint32_t cwx = ccols.weight[i];
        const int64_t cb = int64_t(bilerp(q[0], q[cx], q[chroma_next], q[chroma_next + cx], cwx, cwy)) - 32768;
        const int64_t cr =
            int64_t(bilerp(q[1], q[cx + 1], q[chroma_next + 1], q[chroma_next + cx + 1], cwx, cwy)) - 32768;
        const int64_t luma = k.cy * y;
        dst[0] = clamp_channel(luma + k.cb_b * cb);
        dst[1] = clamp_channel(luma + k.cb_g * cb + k.cr_g * cr);
        dst[2] = clamp_channel(luma + k.cr_r * cr);
        dst[3] = uint16_t(kFull);
    }
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

// 1: draw it; 0: it shows nothing in the stream; -1: refused (one line on stderr).
int prepare_layer(const ComposeLayer &layer, uint32_t crtc_width, uint32_t crtc_height, uint32_t turns, Prepared *p)
{
    const PlaneRecord &pl = layer.plane;
    const uint32_t f = pl.format;
    if (!plane_compose_supported(f)) {
        std::fprintf(stderr, "plane_compose: plane %u: cannot read format %c%c%c%c (0x%08x)\n", pl.plane_id,
                     printable(f & 0xff), printable((f >> 8) & 0xff), printable((f >> 16) & 0xff), printable(f >> 24),
                     f);
        return -1;
    }
    const bool nv12 = f == PLANE_COMPOSE_NV12;
    const bool short_rows = nv12 ? layer.stride[0] < pl.width || layer.stride[1] < 2 * ((pl.width + 1) / 2)
                                 : uint64_t(layer.stride[0]) < 4 * uint64_t(pl.width);
    if (!layer.data[0] || (nv12 && !layer.data[1]) || short_rows) {
        std::fprintf(stderr, "plane_compose: plane %u: no buffer or rows too short for %ux%u (stride %u)\n",
                     pl.plane_id, pl.width, pl.height, layer.stride[0]);
        return -1;
    }
    if (!plane_layer_mapping(pl, crtc_width, crtc_height, turns, &p->map))
        return 0;
    const double *m = p->map.m;
    const bool upright = std::fabs(m[1]) < 1e-9 && std::fabs(m[3]) < 1e-9;
    const bool transposed = std::fabs(m[0]) < 1e-9 && std::fabs(m[4]) < 1e-9;
    if (!upright && !transposed) {
        std::fprintf(stderr, "plane_compose: plane %u: rotation 0x%x is not a quarter turn\n", pl.plane_id,
                     pl.rotation);
        return -1;
    }
    blend_setup(pl, &p->blend);
    return 1;
}

// The column and row axes of the stream on one plane of a buffer whose
// pixels are bytes apart and whose coordinates are the luma's over div.
void layer_axes(const LayerMapping &map, double div, uint32_t width, uint32_t height,
                int64_t bytes, int64_t stride, AxisSpec *cols, AxisSpec *rows)
{
    const double *m = map.m;
    const AxisSpec u{0.0, m[2] / div, map.src_x0 / div, map.src_x1 / div, width, bytes};
    const AxisSpec v{0.0, m[5] / div, map.src_y0 / div, map.src_y1 / div, height, stride};
    const bool upright = std::fabs(m[1]) < 1e-9 && std::fabs(m[3]) < 1e-9;
    *cols = upright ? u : v;
    *rows = upright ? v : u;
    cols->scale = (upright ? m[0] : m[3]) / div;
    rows->scale = (upright ? m[4] : m[1]) / div;
}

void draw_layer(const ComposeLayer &layer, const Prepared &p, uint8_t *out, uint32_t out_stride)
{
    const PlaneRecord &pl = layer.plane;
    const LayerMapping &map = p.map;
    const uint32_t n = uint32_t(map.x1 - map.x0);
    const int32_t rows_count = map.y1 - map.y0;
    AxisSpec ca, ra;
    AxisTaps cols, rows;
    std::vector<uint16_t> line(size_t(n) * 4);
    if (pl.format == PLANE_COMPOSE_NV12) {
        AxisSpec cca, cra;
        AxisTaps ccols, crows;
        layer_axes(map, 1.0, pl.width, pl.height, 1, layer.stride[0], &ca, &ra);
        layer_axes(map, 2.0, (pl.width + 1) / 2, (pl.height + 1) / 2, 2, layer.stride[1], &cca, &cra);
        build_taps(ca, map.x0, int32_t(n), &cols);
        build_taps(ra, map.y0, rows_count, &rows);
        build_taps(cca, map.x0, int32_t(n), &ccols);
        build_taps(cra, map.y0, rows_count, &crows);
        const YuvCoefficients k = yuv_coefficients(pl.color_encoding, pl.color_range);
        const Blend16 b16{p.blend.p15, p.blend.use_alpha, p.blend.mode == UDS_BLEND_COVERAGE};
        for (int32_t r = 0; r < rows_count; ++r) {
            sample_nv12_row(layer.data[0] + rows.offset[size_t(r)], rows.next[size_t(r)], rows.weight[size_t(r)],
                            cols, layer.data[1] + crows.offset[size_t(r)], crows.next[size_t(r)],
                            crows.weight[size_t(r)], ccols, n, k, line.data());
            uint32_t *o = reinterpret_cast<uint32_t *>(out + size_t(map.y0 + r) * out_stride) + map.x0;
            blend_row16(line.data(), n, b16, o);
        }
        return;
    }

    layer_axes(map, 1.0, pl.width, pl.height, 4, layer.stride[0], &ca, &ra);
    build_taps(ca, map.x0, int32_t(n), &cols);
    build_taps(ra, map.y0, rows_count, &rows);
    const bool swap = pl.format == PLANE_COMPOSE_XB24 || pl.format == PLANE_COMPOSE_AB24;
    // Whole pixels in buffer order along the row: the row is read as it stands.
    bool contiguous = cols.exact;
    for (uint32_t i = 1; contiguous && i < n; ++i)
        contiguous = cols.offset[i] == cols.offset[0] + 4 * int64_t(i);
    std::vector<uint8_t> gathered;
    if (cols.exact && !contiguous)
        gathered.resize(size_t(n) * 4);
    const Blend16 b16{p.blend.p15, p.blend.use_alpha, p.blend.mode == UDS_BLEND_COVERAGE};
    for (int32_t r = 0; r < rows_count; ++r) {
        const uint8_t *row = layer.data[0] + rows.offset[size_t(r)];
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
        sample_packed_row(row, rows.next[size_t(r)], rows.weight[size_t(r)], cols, n, swap, p.blend.use_alpha,
                          line.data());
        blend_row16(line.data(), n, b16, o);
    }
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
        for (uint32_t y = 0; y < height; ++y)
            std::fill_n(reinterpret_cast<uint32_t *>(out + size_t(y) * out_stride), width, 0xff000000u);
    }
    for (uint32_t i = first; i < count; ++i)
        if (state[i] > 0)
            draw_layer(layers[i], prepared[i], out, out_stride);
    return rc;
}
