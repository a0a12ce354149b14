#include "apps/capture/convert/hdr_convert.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "apps/capture/convert/hdr_convert_internal.h"
#include "apps/capture/convert/yuv_convert.h"

namespace hdr_portable {
#include "apps/capture/convert/hdr_convert_kernel.h"
}  // namespace hdr_portable

using namespace hdr_convert_detail;

namespace {

// The channel encodings a table is indexed by.
enum Kind {
    KIND_10,
    KIND_16,
    KIND_HALF,
    KIND_5,
    KIND_6,
    KIND_8,
    KIND_COUNT
};
constexpr uint32_t kKindSize[KIND_COUNT] = {1024, 65536, 65536, 32, 64, 256};

// A channel's raw code to its value in [0, 1] (half floats clamped, NaN 0).
double code_value(Kind kind, uint32_t c)
{
    switch (kind) {
    case KIND_10: return c / 1023.0;
    case KIND_16: return c / 65535.0;
    case KIND_5: return c / 31.0;
    case KIND_6: return c / 63.0;
    case KIND_8: return c / 255.0;
    default: break;
    }
    const uint32_t e = (c >> 10) & 31, m = c & 1023;
    if (e == 31 || (c & 0x8000))
        return e == 31 && !(c & 0x8000) && m == 0 ? 1.0 : 0.0;
    const double x = e == 0 ? std::ldexp(double(m), -24) : std::ldexp(double(m | 1024), int(e) - 25);
    return x > 1 ? 1.0 : x;
}

// The kinds of R, G and B of a fourcc; false for one the converters do not read.
bool kinds_of(uint32_t f, Kind (&k)[3])
{
    Kind one;
    if (f == DEEP_RG16) {
        k[0] = KIND_5, k[1] = KIND_6, k[2] = KIND_5;
        return true;
    }
    if (deep_packed_bytes(f) == 4)
        one = KIND_10;
    else if (f == DEEP_XR4H || f == DEEP_AR4H || f == DEEP_XB4H || f == DEEP_AB4H)
        one = KIND_HALF;
    else if (deep_packed_bytes(f) == 8)
        one = KIND_16;
    else if (f == HDR_XR24 || f == HDR_AR24 || f == HDR_XB24 || f == HDR_AB24)
        one = KIND_8;
    else
        return false;
    k[0] = k[1] = k[2] = one;
    return true;
}

template <class F>
std::vector<float> log_table(F f)
{
    std::vector<float> t(kLogSize);
    for (uint32_t i = 0; i < kLogSize; ++i) {
        const double x =
            std::ldexp(1 + (i & ((1u << kLogBits) - 1)) / double(1u << kLogBits), int(i >> kLogBits) - kLogOctaves);
        t[i] = float(f(x));
    }
    return t;
}

bool same_map(const HdrToneMap &a, const HdrToneMap &b)
{
    return a.transfer == b.transfer && a.bt2020 == b.bt2020 && a.source_peak == b.source_peak &&
           a.target_peak == b.target_peak && std::memcmp(a.to_709, b.to_709, sizeof a.to_709) == 0;
}

// The tables of one tone map (or of none: the values as they are), each
// kind's built when first asked for.
struct TableSet {
    HdrToneMap map{};
    int mode = MODE_PLAIN;
    std::vector<float> code[KIND_COUNT];
    std::vector<float> gain, eetf;

    void reset(const HdrToneMap &m)
    {
        map = m;
        mode = m.transfer == HDR_TRANSFER_PQ ? MODE_PQ : m.transfer == HDR_TRANSFER_HLG ? MODE_HLG : MODE_PLAIN;
        for (auto &c : code)
            c.clear();
        gain.clear();
        eetf.clear();
        if (mode == MODE_HLG) {
            gain = log_table([](double x) { return std::pow(x, 0.2); });
            eetf = log_table(
                [&](double x) { return hdr_pq_to_nits(hdr_eetf(map, hdr_nits_to_pq(1000 * x))) / map.target_peak; });
        }
    }

    const float *kind(Kind k)
    {
        std::vector<float> &t = code[k];
        if (t.empty()) {
            t.resize(kKindSize[k]);
            for (uint32_t c = 0; c < kKindSize[k]; ++c) {
                const double e = code_value(k, c);
                t[c] = float(mode == MODE_PQ    ? hdr_pq_to_nits(hdr_eetf(map, e)) / map.target_peak
                             : mode == MODE_HLG ? hdr_hlg_inverse_oetf(e)
                                                : e);
            }
        }
        return t.data();
    }

    bool tables_for(uint32_t fourcc, Tables *t)
    {
        Kind k[3];
        if (!kinds_of(fourcc, k))
            return false;
        t->mode = mode;
        static const float scales[KIND_COUNT] = {1.0f / 1023, 1.0f / 65535, 0, 1.0f / 31, 1.0f / 63, 1.0f / 255};
        for (int c = 0; c < 3; ++c) {
            t->code[c] = kind(k[c]);
            t->scale[c] = mode == MODE_PLAIN ? scales[k[c]] : 0.0f;
        }
        t->hlg_gain = gain.data();
        t->eetf = eetf.data();
        t->matrix = map.bt2020;
        std::memcpy(t->m, map.to_709, sizeof t->m);
        t->ys[0] = 0.2627f, t->ys[1] = 0.6780f, t->ys[2] = 0.0593f;
        return true;
    }
};

// This thread's tables for map: one set for the values as they are, and
// the last two PQ or HLG maps (a picture and its composed overlay's may
// alternate).
bool tables_for(const HdrToneMap &map, uint32_t fourcc, Tables *t)
{
    struct Slot {
        TableSet set;
        bool made = false;
        uint64_t used = 0;
    };
    static thread_local TableSet plain;
    static thread_local Slot tone[2];
    static thread_local uint64_t clock = 0;
    const bool tones = map.transfer == HDR_TRANSFER_PQ || map.transfer == HDR_TRANSFER_HLG;
    try {
        if (!tones)
            return plain.tables_for(fourcc, t);
        Slot *slot = &tone[0];
        for (Slot &s : tone)
            if (s.made && same_map(s.set.map, map))
                slot = &s;
            else if (!(slot->made && same_map(slot->set.map, map)) && s.used < slot->used)
                slot = &s;
        if (!slot->made || !same_map(slot->set.map, map)) {
            slot->made = false;
            slot->set.reset(map);
            slot->made = true;
        }
        slot->used = ++clock;
        return slot->set.tables_for(fourcc, t);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

float *scratch_for(uint32_t width)
{
    static thread_local std::vector<float> store;
    const size_t need = 3 * (size_t(width) + 8) + 12 * ((size_t(width) + 1) / 2 + 8);
    try {
        if (store.size() < need)
            store.resize(need);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    return store.data();
}

uint32_t bytes_of(uint32_t fourcc)
{
    const uint32_t deep = deep_packed_bytes(fourcc);
    return deep ? deep : fourcc == HDR_XR24 || fourcc == HDR_AR24 || fourcc == HDR_XB24 || fourcc == HDR_AB24 ? 4 : 0;
}

bool args_ok(uint32_t fourcc, uint32_t width, uint32_t height, const void *src, uint32_t stride, const void *y,
             const void *u, const void *v)
{
    const uint32_t bytes = bytes_of(fourcc);
    return bytes && height % 2 == 0 && src && y && u && v && uint64_t(stride) >= uint64_t(bytes) * width;
}

Coeffs coeffs(double kr, double kb, double luma_steps, double chroma_steps, double black, uint32_t top)
{
    const double kg = 1 - kr - kb, cb = chroma_steps / (2 * (1 - kb)), cr = chroma_steps / (2 * (1 - kr));
    return {float(luma_steps * kr), float(luma_steps * kg), float(luma_steps * kb),     float(-cb * kr),
            float(-cb * kg),        float(cb * (1 - kb)),   float(cr * (1 - kr)),       float(-cr * kg),
            float(-cr * kb),        float(black + 0.5),     float((top + 1) / 2 + 0.5), float(top)};
}

bool use_avx2()
{
    static const bool avx2 = yuv_convert_have_avx2();
    return avx2;
}

template <class T>
int convert(bool avx2, const HdrToneMap &map, const Coeffs &k, uint32_t fourcc, uint32_t width, uint32_t height,
            const uint8_t *src, uint32_t stride, T *y, T *u, T *v)
{
    if (!args_ok(fourcc, width, height, src, stride, y, u, v))
        return -1;
    if (width == 0 || height == 0)
        return 0;
    Tables t;
    float *scratch = scratch_for(width);
    if (!scratch || !tables_for(map, fourcc, &t))
        return -1;
    if (!avx2)
        hdr_portable::convert_rows<T>(fourcc, t, k, width, height, src, stride, scratch, y, u, v);
    else if constexpr (sizeof(T) == 1)
        convert_avx2_8(fourcc, t, k, width, height, src, stride, scratch, y, u, v);
    else
        convert_avx2_16(fourcc, t, k, width, height, src, stride, scratch, y, u, v);
    return 0;
}

const Coeffs &coeffs_709_8()
{
    static const Coeffs k = coeffs(0.2126, 0.0722, 219, 224, 16, 255);
    return k;
}

const Coeffs &coeffs_10(bool bt2020)
{
    static const Coeffs k2020 = coeffs(0.2627, 0.0593, 876, 896, 64, 1023);
    static const Coeffs k709 = coeffs(0.2126, 0.0722, 876, 896, 64, 1023);
    return bt2020 ? k2020 : k709;
}

}  // namespace

int hdr_convert_to_yuv420p_bt709(const HdrToneMap &map, uint32_t fourcc, uint32_t width, uint32_t height,
                                 const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v)
{
    return convert<uint8_t>(use_avx2(), map, coeffs_709_8(), fourcc, width, height, src, stride, y, u, v);
}

int hdr_convert_to_yuv420p_bt709_portable(const HdrToneMap &map, uint32_t fourcc, uint32_t width, uint32_t height,
                                          const uint8_t *src, uint32_t stride, uint8_t *y, uint8_t *u, uint8_t *v)
{
    return convert<uint8_t>(false, map, coeffs_709_8(), fourcc, width, height, src, stride, y, u, v);
}

int hdr_convert_to_yuv420p10(bool bt2020, uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src,
                             uint32_t stride, uint16_t *y, uint16_t *u, uint16_t *v)
{
    return convert<uint16_t>(use_avx2(), HdrToneMap{}, coeffs_10(bt2020), fourcc, width, height, src, stride, y, u, v);
}

int hdr_convert_to_yuv420p10_portable(bool bt2020, uint32_t fourcc, uint32_t width, uint32_t height, const uint8_t *src,
                                      uint32_t stride, uint16_t *y, uint16_t *u, uint16_t *v)
{
    return convert<uint16_t>(false, HdrToneMap{}, coeffs_10(bt2020), fourcc, width, height, src, stride, y, u, v);
}

int hdr_p010_to_yuv420p10(uint32_t width, uint32_t height, const uint8_t *luma, uint32_t luma_stride,
                          const uint8_t *chroma, uint32_t chroma_stride, uint16_t *y, uint16_t *u, uint16_t *v)
{
    if (width % 2 || height % 2 || !luma || !chroma || !y || !u || !v || uint64_t(luma_stride) < 2ull * width ||
        uint64_t(chroma_stride) < 2ull * width)
        return -1;
    const uint32_t cw = width / 2;
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *in = luma + size_t(row) * luma_stride;
        uint16_t *out = y + size_t(row) * width;
        for (uint32_t i = 0; i < width; ++i) {
            uint16_t s;
            std::memcpy(&s, in + 2 * size_t(i), 2);
            out[i] = uint16_t(s >> 6);
        }
    }
    for (uint32_t row = 0; row < height / 2; ++row) {
        const uint8_t *in = chroma + size_t(row) * chroma_stride;
        for (uint32_t i = 0; i < cw; ++i) {
            uint16_t s[2];
            std::memcpy(s, in + 4 * size_t(i), 4);
            u[size_t(row) * cw + i] = uint16_t(s[0] >> 6);
            v[size_t(row) * cw + i] = uint16_t(s[1] >> 6);
        }
    }
    return 0;
}

int hdr_convert_xrgb_in_place(const HdrToneMap &map, uint32_t fourcc, uint32_t width, uint32_t height, uint8_t *pixels,
                              uint32_t stride)
{
    if (bytes_of(fourcc) != 4 || deep_packed_bytes(fourcc) || !pixels || uint64_t(stride) < 4ull * width)
        return -1;
    if (width == 0 || height == 0 || (map.transfer != HDR_TRANSFER_PQ && map.transfer != HDR_TRANSFER_HLG))
        return 0;
    Tables t;
    float *scratch = scratch_for(width);
    if (!scratch || !tables_for(map, fourcc, &t))
        return -1;
    const hdr_portable::Scratch s = hdr_portable::scratch_rows(scratch, width);
    const bool red_first = fourcc == HDR_XB24 || fourcc == HDR_AB24;
    const int ri = red_first ? 0 : 2, bi = red_first ? 2 : 0;
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *px = pixels + size_t(row) * stride;
        if (use_avx2())
            signal_row_avx2(fourcc, t, px, width, s.r, s.g, s.b);
        else
            hdr_portable::signal_row(fourcc, t, px, width, s.r, s.g, s.b);
        for (uint32_t i = 0; i < width; ++i) {
            uint8_t *p = px + 4 * size_t(i);
            p[ri] = uint8_t(s.r[i] * 255.0f + 0.5f);
            p[1] = uint8_t(s.g[i] * 255.0f + 0.5f);
            p[bi] = uint8_t(s.b[i] * 255.0f + 0.5f);
        }
    }
    return 0;
}

void hdr_cursor_for_stream(const HdrSignal &signal, const CursorYuv &sdr, CursorYuv *out)
{
    *out = sdr;
    if (!hdr_signal_is_hdr(signal))
        return;
    // Linear BT.709 to BT.2020: the inverse of the tone map's matrix.
    double to_2020[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (signal.bt2020) {
        const HdrToneMap map = hdr_tone_map_for(signal);
        const float *m = map.to_709;
        const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                           m[2] * (m[3] * m[7] - m[4] * m[6]);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                const int r0 = (c + 1) % 3, r1 = (c + 2) % 3, c0 = (r + 1) % 3, c1 = (r + 2) % 3;
                to_2020[3 * r + c] =
                    (double(m[3 * r0 + c0]) * m[3 * r1 + c1] - double(m[3 * r0 + c1]) * m[3 * r1 + c0]) / det;
            }
    }
    for (size_t i = 0; i < sdr.a.size(); ++i) {
        const double a = sdr.a[i] / 255.0;
        if (a == 0)
            continue;
        // The pixel's own limited-range Y'CbCr (the premultiplied values over
        // its coverage), then its BT.709 R', G', B'.
        const double y = (sdr.y[i] / 256.0 / a - 16) / 219, cb = (sdr.u[i] / 256.0 / a - 128) / 224,
                     cr = (sdr.v[i] / 256.0 / a - 128) / 224;
        const double r = y + 1.5748 * cr, b = y + 1.8556 * cb, g = (y - 0.2126 * r - 0.0722 * b) / 0.7152;
        const double light[3] = {std::pow(std::clamp(r, 0.0, 1.0), 2.4), std::pow(std::clamp(g, 0.0, 1.0), 2.4),
                                 std::pow(std::clamp(b, 0.0, 1.0), 2.4)};
        double code[3], ycc[3];
        for (int c = 0; c < 3; ++c) {
            const double l = to_2020[3 * c] * light[0] + to_2020[3 * c + 1] * light[1] + to_2020[3 * c + 2] * light[2];
            code[c] = signal.transfer == HDR_TRANSFER_PQ ? hdr_nits_to_pq(203 * l)
                                                         : hdr_hlg_oetf(hdr_hlg_inverse_oetf(0.75) * l);
        }
        hdr_rgb_to_ycbcr10(code, signal.bt2020, ycc);
        out->y[i] = int32_t(std::lround(ycc[0] / 4 * a * 256));
        out->u[i] = int32_t(std::lround(ycc[1] / 4 * a * 256));
        out->v[i] = int32_t(std::lround(ycc[2] / 4 * a * 256));
    }
}
